#include "asyncfunc.h"

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}
