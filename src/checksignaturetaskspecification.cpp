#include "checksignaturetaskspecification.h"

#include "checksigfunc.h"

#include <QDebug>

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString& file,
                                                                 const QString& sha512,
                                                                 bool failOnMismatch,
                                                                 QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , file(file)
    , sha512(sha512)
    , failOnMismatch(failOnMismatch)
{
}

ASyncFunc* CheckSignatureTaskSpecification::createFunc()
{
    return new CheckSigFunc(file, sha512);
}

void CheckSignatureTaskSpecification::runDone(bool ok)
{
    if (state != TASK_RUNNING)
        return;
    if (ok) {
        emit checkDone(true, this);
        succeed();
        return;
    }
    qDebug() << "Signature check failed for" << file;
    emit message(QString("Signature check failed for %1").arg(file));
    emit checkDone(false, this);
    if (failOnMismatch)
        fail();
    else
        succeed();
}
