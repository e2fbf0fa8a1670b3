#ifndef CHECKSIGFUNC_H
#define CHECKSIGFUNC_H

#include "asyncfunc.h"

#include <QByteArray>
#include <QString>

// Checks one file: against a SHA-512 digest given as hex text, or, when the digest is empty,
// against the RSA-PSS signature in the file of the same name with ".sig" appended, verified with
// the built-in public key. Holds copies of its inputs only, so it may run on any thread, also
// called directly without a receiver for its signals. Nothing it meets in the files or the key
// escapes as an exception: every problem ends in a false verdict.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
public:
    CheckSigFunc(const QString& file, const QString& sha512);

    bool run() override;

    // True when the file's SHA-512 equals sha512, compared without regard to case.
    bool checkSHA512();
    // True when file + ".sig" holds a valid signature of the file.
    bool checkRSA();
    // Reads the whole file into data; on failure emits message and returns false.
    bool readFile(const QString& path, QByteArray& data);

private:
    // The file's SHA-512 (64 bytes), read in pieces; failures are reported as readFile does.
    bool digestFile(const QString& path, QByteArray& digest);

    QString file;
    QString sha512;
};

#endif // CHECKSIGFUNC_H
