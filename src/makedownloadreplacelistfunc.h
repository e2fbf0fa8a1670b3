#ifndef MAKEDOWNLOADREPLACELISTFUNC_H
#define MAKEDOWNLOADREPLACELISTFUNC_H

#include "asyncfunc.h"
#include "patchentry.h"

#include <QMultiMap>
#include <QString>
#include <QStringList>

class Configuration;
class DownloadReplaceLists;
class DownloadEntry;
class QSettings;
class UpdateFileEntry;

// The work of the list compiler: reads the product ini of the run's phase from the working
// directory and decides for every listed file whether it is fetched, installed whole, installed
// through a patch or left alone, judged by SHA-512 digests of the installed files, of patch sources
// and of files fetched by an earlier session. In phase 1 up-to-date updater files are copied into
// the working directory. Runs on one pool thread; it only reads the configuration and writes only
// the lists it was given (the task's own). Reports through message and progress, never error.
// Before anything is decided or copied, every path the ini names must stay inside the folder it
// is used in; one that does not fails the run.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT
public:
    MakeDownloadReplaceListFunc(Configuration* config, DownloadReplaceLists* lists);

    bool run() override;

    // Number of keys in all sections of the settings, patch and install-program keys included.
    static int countKeys(QSettings& settings);
    // OS number of this build (linux32).
    static int currentOs();
    // 1 win32, 2 win64, 3 linux32, 4 linux64, 5 mac, without regard to case; else 0.
    static int parseOsName(const QString& name);

private:
    using PatchMap = QMultiMap<QString, PatchEntry>;

    // False (after a message naming the path and the reason) when a key, target or program
    // path of the ini would reach outside the installation or the work directory.
    bool pathsConfined(QSettings& ini);
    bool pathsOfSectionConfined(QSettings& ini, const QString& section);
    bool confined(const QString& section, const QString& root, const QString& path);

    // Splits off the "_patch_" keys of `keys` and parses them; false on an invalid patch line.
    bool collectPatches(QSettings& ini, const QString& section, QStringList& keys,
                        PatchMap& patches);
    void compileDeleteSection(QSettings& ini, const QStringList& keys);
    void compileInstallSection(QSettings& ini, const QString& section, const QStringList& keys);
    void compileFileKey(QSettings& ini, const QString& section, const QString& key,
                        const PatchMap& patches);
    // Sets the patch of `entry` and `download` to the newest patch whose source digest the
    // installed file has; false when none does.
    bool choosePatch(const QString& installedPath, const PatchMap& patches, UpdateFileEntry& entry,
                     DownloadEntry& download) const;
    void queue(const UpdateFileEntry& entry, const DownloadEntry& download);
    void copyUpdaterFile(const QString& installedPath, const UpdateFileEntry& entry,
                         const QString& sha512, quint64 size) const;
    void advanceProgress();
    // True when the regular file `path` has the digest (or, for an empty one, the signature
    // file); `size` receives the size of the file that was checked.
    static bool hasDigest(const QString& path, const QString& sha512, qint64* size = nullptr);
    // True for a regular file (also behind a link that may be followed); nothing is opened.
    static bool isRegularFile(const QString& path);

    Configuration* config;
    DownloadReplaceLists* lists;
    bool clientUpdate = false;
    QString workDir;
    QString installDir;
    int total = 0;
    int counter = 0;
};

#endif // MAKEDOWNLOADREPLACELISTFUNC_H
