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
    // `sigFile`: where the signature is read instead of file + ".sig" (for a file checked
    // before it is moved into its place).
    CheckSigFunc(const QString& file, const QString& sha512, const QString& sigFile = QString());

    // Reads the checked file from `fd` (borrowed, read from its start) instead of opening `file`,
    // so that the verdict is about the very file the caller holds.
    void readFrom(int fd);

    bool run() override;

    // True when the file's SHA-512 equals sha512, compared without regard to case.
    bool checkSHA512();
    // True when file + ".sig" (or sigFile) holds a valid signature of the file.
    bool checkRSA();
    // Reads the whole file into data; on failure emits message and returns false. Only a regular
    // file is read, never through a link at its name and never blocking on a fifo.
    bool readFile(const QString& path, QByteArray& data);

private:
    // The file's SHA-512 (64 bytes), read in pieces; failures are reported as readFile does.
    bool digestFile(const QString& path, QByteArray& digest);
    // A descriptor of `path` (the borrowed one for `file`, if given) and the size it has now;
    // -1 after the message when it cannot be opened. `owned`: the caller closes it.
    int openForReading(const QString& path, qint64& size, bool& owned);

    QString file;
    QString sha512;
    QString sigFile;
    int fileFd = -1;
};

#endif // CHECKSIGFUNC_H
