#ifndef FILEINSTALLFUNC_H
#define FILEINSTALLFUNC_H

#include "asyncfunc.h"

#include <sys/stat.h>

// Readies a staged file for taking the place of `dst`, in a pool thread: gives it the owner and
// mode it will have at `dst` (see StagedFile::modeFor), flushes it to the device and, when
// `checked`, checks it against its listed SHA-512, or without one against the RSA signature in
// dst + ".sig". All of it is done on one descriptor of the staged file, whose status goes to
// `identity`, so that the commit can tell whether the name still holds that very file. On failure
// it reports `failText`, or "Signature check failed for %1" with `dst` for a failed check, and
// returns false. `identity` is borrowed and written only by run().
class FileInstallFunc : public ASyncFunc
{
    Q_OBJECT
public:
    FileInstallFunc(const QString& staged, const QString& dst, bool checked, const QString& sha512,
                    const QString& failText, struct stat* identity);

    bool run() override;

private:
    bool ready(int fd);
    bool setOwnerAndMode(int fd);
    bool flush(int fd);

    QString staged;
    QString dst;
    bool checked;
    QString sha512;
    QString failText;
    struct stat* identity;
};

#endif // FILEINSTALLFUNC_H
