#include "asyncrun.h"

#include "asyncfunc.h"

#include <openssl/crypto.h>

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
    // OpenSSL frees what it keeps for a thread when the thread ends, and at the process's exit
    // frees that of every thread still known to it. A pool thread that is still ending while
    // the program exits would free the same blocks a second time. Freed here, before the
    // result is out, nothing of OpenSSL is left for the thread's end.
    OPENSSL_thread_stop();
    emit func->runResult(res);
}
