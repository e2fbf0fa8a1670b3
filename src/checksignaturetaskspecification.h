#ifndef CHECKSIGNATURETASKSPECIFICATION_H
#define CHECKSIGNATURETASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QString>

// Checks one file on the global thread pool (see CheckSigFunc) and reports the verdict through
// checkDone before the task ends. With failOnMismatch a failed check fails the task; without it
// the failure is only reported and the task succeeds. Lives in the GUI thread like every task.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // An empty sha512 selects the check against the signature file file + ".sig".
    CheckSignatureTaskSpecification(const QString& file, const QString& sha512, bool failOnMismatch,
                                    QObject* parent, qreal weight);

    ASyncFunc* createFunc() override;
    // Emits checkDone, then ends the task; ignores a result that arrives when not running.
    void runDone(bool ok) override;

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);

private:
    QString file;
    QString sha512;
    bool failOnMismatch;
};

#endif // CHECKSIGNATURETASKSPECIFICATION_H
