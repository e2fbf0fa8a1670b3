#ifndef CONFINEDPATH_H
#define CONFINEDPATH_H

#include <QString>

// Judges a relative path taken from the product ini against the folder it will be used in (the
// installation or the work directory): it must stay strictly inside that folder, also once every
// symbolic link on the way (the last component's included) is followed. Reads the file system
// (lstat, readlink) but changes nothing; safe on any thread.
class ConfinedPath
{
public:
    // Empty when `relative` names something inside `root`; otherwise why it does not.
    static QString refusal(const QString& root, const QString& relative);

    // `path` (absolute) with "." and ".." taken out and every symbolic link followed, as far as
    // the path exists; the missing rest is appended as written. Empty when a link cannot be
    // read or there are too many of them (a loop).
    static QString resolved(const QString& path);
};

#endif // CONFINEDPATH_H
