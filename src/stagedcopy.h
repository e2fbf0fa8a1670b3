#ifndef STAGEDCOPY_H
#define STAGEDCOPY_H

#include <QString>

#include <sys/types.h>

// Copies a file from the installation into the work folder the way a staged file is made, so
// that a run killed at any point leaves at the destination either nothing, what was there, or
// the whole copy with its final mode. The source is opened as a regular file (never through a
// link at its name, never blocking on a fifo) and read up to the size it had when opened, which
// must not exceed the size the caller allows; the copy gets the source's mode as
// StagedFile::modeFor gives it, is written under StagedFile::stagingPath of the destination,
// flushed, checked when a digest is asked for, and only then renamed onto the destination.
// Stateless; any thread.
class StagedCopy
{
public:
    // Copies `from` to `to`; `limit` 0 sets no limit. With `checked` the copy must have the
    // SHA-512 `sha512` (without one, a valid signature in from + ".sig"), and a `to` that already
    // is such a copy of ours with the right mode is kept as it is. False on any failure, with
    // `to` left as it was.
    static bool copy(const QString& from, const QString& to, quint64 limit, bool checked,
                     const QString& sha512 = QString());

private:
    static bool isCurrent(const QString& path, mode_t mode, const QString& sha512,
                          const QString& sigFile);
    static bool write(int in, qint64 size, const QString& temp, mode_t mode);
};

#endif // STAGEDCOPY_H
