#ifndef STAGEDFILE_H
#define STAGEDFILE_H

#include <QString>

#include <sys/types.h>

// The file-system steps of replacing an installed file without a moment in which it is missing
// or incomplete: the new content is staged beside its destination (so on the same file system),
// flushed and given its mode there, and then renamed onto the destination; the earlier content
// stays reachable under a second name beside it (a hard link), so that undo is a rename as well.
// Staged and undo names are recognisable, so that what a killed run left can be found and removed.
// Names are used through SafePath, so no link another user planted on the way is followed.
// Stateless; any thread.
class StagedFile
{
public:
    // "{dir}/.{name}.voxmere_new" beside dst.
    static QString stagingPath(const QString& dst);
    // "{dir}/.{name}.voxmere_undo" beside dst.
    static QString undoPath(const QString& dst);
    // True for the names stagingPath and undoPath give.
    static bool isLeftoverName(const QString& fileName);
    static bool isUndoPath(const QString& path);
    // Removes every staged or undo file below root (links are not followed); returns how many.
    static int removeLeftovers(const QString& root);
    // Removes what a killed run left at the staged or undo name `path`: a file, or a folder of
    // the effective user's with all it holds. False only when a folder stays there (one of
    // another user's is never removed).
    static bool removeLeftover(const QString& path);

    // Mode of the file that takes the place of `fileName`: the replaced file's permission bits
    // (oldMode) when `replacing`, else 0644; setuid, setgid and sticky bits and write access for
    // group and others never survive. Known programs and shared libraries are also executable
    // by whoever may read them (a new one gets 0755).
    static mode_t modeFor(const QString& fileName, bool replacing, mode_t oldMode);
    // The name rule of known programs and shared libraries.
    static bool isExecutableName(const QString& fileName);

    // Flushes the file's content to its device; false (errno set) on failure.
    static bool syncFile(const QString& path);
    // Flushes the directory holding `path`, so that a rename in it lasts.
    static bool syncDirectoryOf(const QString& path);
    // Gives the content of `path` the second name `undo` in the same directory: a hard link, or,
    // where the file system has none, a flushed copy that keeps the mode.
    static bool keepForUndo(const QString& path, const QString& undo);
    // Copies the regular file `from` (behind a link at its name only where SafePath follows one
    // on the way; never a fifo or device) into the new file `to` (never over an existing one),
    // with mode `mode`. Reads exactly the
    // size the source has when it is opened; a source longer than `maxSize` (when not negative)
    // fails. A failed copy leaves no `to`.
    static bool copyFile(const QString& from, const QString& to, mode_t mode, qint64 maxSize = -1);
    // As copyFile, never through a link at `from`, with the opened source's own permission bits,
    // less those not in `allowed`.
    static bool copyWithOwnMode(const QString& from, const QString& to, mode_t allowed);
    // Copies exactly `size` bytes from `in` to `out`; a source that ends early fails.
    static bool copyBytes(int in, int out, qint64 size);
    // rename(2): replaces an existing `to` in one step.
    static bool renameOver(const QString& from, const QString& to);
    // The text of the last failed call, for the debug log.
    static QString lastError();
};

#endif // STAGEDFILE_H
