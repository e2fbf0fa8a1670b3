#ifndef UPDATEINIDATA_H
#define UPDATEINIDATA_H

#include <QString>

// The session record, group [current] of the application directory's update.ini: target version,
// working directory, installation directory and client type of the update in progress. Static
// operations only; each opens and closes its own QSettings, so nothing is cached. GUI thread.
class UpdateIniData
{
public:
    // The engine's error when modify() fails.
    static constexpr const char16_t* writeFailedMessage =
        u"Failed to write update.ini. The updater does not seem to have the required write permissions.";
    // The self-unzip step's error when modifyTempIni() fails.
    static constexpr const char16_t* tempWriteFailedMessage =
        u"Failed to write temp update.ini. The updater does not seem to have the required write permissions.";

    // Absolute path of update.ini in the application directory.
    static QString updateIniPath();

    // Reads [current]. True only for a valid record (version parses, type and dir non-empty, dir
    // exists); the non-null outputs are written only then.
    static bool get(int* version, QString* type, QString* dir, QString* vx3dir);

    // Writes [current], leaving the other groups alone. True when the file was written.
    static bool modify(int version, const QString& dir, const QString& vx3dir, const QString& type);

    // Copies the session record into dir/update.ini for the new updater, with the client's type,
    // together with the user's [Channel] and [update] groups.
    static bool modifyTempIni(const QString& dir);

    // Removes [current] and keeps the user's other groups; a file left empty is deleted.
    static bool removeRecord();

    // Removes the temporary copies that a write of update.ini cut short by a kill left beside
    // it ("update.ini." and six letters or digits): only regular files of this user with one
    // link; a symbolic link is neither followed nor removed.
    static void removeLeftoverTempFiles();
};

#endif // UPDATEINIDATA_H
