#include "asyncrun.h"

#include "asyncfunc.h"

ASyncRun::ASyncRun(ASyncFunc* func)
    : func(func)
{
}

ASyncRun::~ASyncRun()
{
    delete func;
}

void ASyncRun::run()
{
    const bool res = func->run();
    emit func->runResult(res);
}
