#ifndef SLOWFILEOPFUNC_H
#define SLOWFILEOPFUNC_H

#include "asyncfunc.h"

// The worker of a slow file operation: holds its own copies of the paths and runs in a pool
// thread. Subclasses implement run().
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString& src, const QString& dst);
    SlowFileOpFunc(const QString& src, const QString& middle, const QString& dst);

protected:
    // Passes on, as a message, the link SafePath last refused in this thread, if any.
    void reportRefusal();

    QString src;
    QString middle;
    QString dst;
};

#endif // SLOWFILEOPFUNC_H
