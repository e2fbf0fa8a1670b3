#ifndef FILEINSTALLFUNC_H
#define FILEINSTALLFUNC_H

#include "asyncfunc.h"

// Readies a staged file for taking the place of `dst`, in a pool thread: gives it the owner and
// mode it will have at `dst` (see StagedFile::modeFor), flushes it to the device and, when
// `checked`, checks it against its listed SHA-512, or without one against the RSA signature in
// dst + ".sig". On failure it reports `failText`, or "Signature check failed for %1" with `dst`
// for a failed check, and returns false.
class FileInstallFunc : public ASyncFunc
{
    Q_OBJECT
public:
    FileInstallFunc(const QString& staged, const QString& dst, bool checked, const QString& sha512,
                    const QString& failText);

    bool run() override;

private:
    bool setOwnerAndMode(int fd);
    bool flush(int fd);

    QString staged;
    QString dst;
    bool checked;
    QString sha512;
    QString failText;
};

#endif // FILEINSTALLFUNC_H
