#ifndef VXTEST_RELEASEBUILDER_H
#define VXTEST_RELEASEBUILDER_H

#include "releasefolder.h"

#include <QString>
#include <QStringList>

namespace vxtest {

class ProductIniWriter;

// Builds the update-server tree of one release of one product from an "old" folder (what is
// installed) and a "new" folder (what the release installs), below the server root:
//   {root}/{version}/{ini}._lzma2_, {ini}.sig (and the plain {ini}, for people to read)
//   {root}/{version}/{section}/{path}._lzma2_   every new file as a package container, or
//   {root}/{version}/{section}/{path}.gz        as gzip when its path matches a gzip pattern
//   {root}/{version}/{section}/{path}._patch_   an ensemble patch for every changed file
// The ini lists every new file with the digest and size of what is published and of the
// installed result (target = the relative path), every patch with the digest of the old file it
// applies to, and, for the client, the old files the new release no longer has. Packages and
// patches go through the patch library's writers; the ini is signed with the development key.
// Runs on the calling thread; the writers' LZMA2 encoder starts threads of its own.
class ReleaseBuilder
{
public:
    struct Options {
        // true: the client product of phase 2; false: the updater's own product of phase 1.
        bool client = true;
        int version = 0;
        QString oldDir; // may be empty: a release for a fresh installation, without patches
        QString newDir;
        QString serverRoot;
        // Server folder of the files; empty takes "client" or "update".
        QString section;
        // Wildcards matched against a file's relative path and its file name.
        QStringList gzipPatterns;
        // Store executables in packages as encoded programs (the "dis_and_diff" directive).
        bool preprocess = false;
        bool patches = true;
        // Wildcards of changed files published whole only, without a patch.
        QStringList wholePatterns;
        // Transform executables in patches; false keeps a plain binary diff of the whole file.
        bool patchElements = true;
        // Layout of the binary diffs inside patches (0 raw, 1 and 2 LZMA2).
        int patchMethod = 0;
        QString privateKey; // empty takes the development key
        // Install programs listed in the ini, relative to the updater's work folder; the release
        // does not publish them.
        QStringList preinstall;
        QStringList postinstall;
    };

    explicit ReleaseBuilder(const Options& options);

    // Writes the whole tree. False (see errorText) on the first failure.
    bool build();
    QString errorText() const { return m_Error; }
    // One line per published file, patch and deletion, for people to read.
    QStringList report() const { return m_Report; }

    // Paths of the product ini and its package and signature for the options.
    QString versionDir() const;
    QString iniPath() const;

private:
    bool checkOptions();
    QString section() const;
    bool isGzip(const QString& path) const;
    bool isPatched(const QString& path) const;
    bool publishFile(const QString& path, ProductIniWriter& ini);
    bool publishPatch(const QString& path, ProductIniWriter& ini);
    void listDeletions(ProductIniWriter& ini);
    bool checkNames();
    bool writeIni(ProductIniWriter& ini);
    bool fail(const QString& text);

    Options m_Options;
    ReleaseFolder m_Old;
    ReleaseFolder m_New;
    QString m_Error;
    QStringList m_Report;
};

} // namespace vxtest

#endif // VXTEST_RELEASEBUILDER_H
