#include "slowfileopfunc.h"

#include "safepath.h"

SlowFileOpFunc::SlowFileOpFunc(const QString& src, const QString& dst)
    : SlowFileOpFunc(src, QString(), dst)
{
}

SlowFileOpFunc::SlowFileOpFunc(const QString& src, const QString& middle, const QString& dst)
    : src(src)
    , middle(middle)
    , dst(dst)
{
}

void SlowFileOpFunc::reportRefusal()
{
    const QString refusal = SafePath::takeRefusal();
    if (!refusal.isEmpty())
        emit message(refusal);
}
