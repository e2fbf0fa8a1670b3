#ifndef VXTEST_TESTPATHS_H
#define VXTEST_TESTPATHS_H

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace vxtest {

// Folder of the sample executables (VX_CORPUS_DIR, set by CTest; else the folder the build
// was configured with).
QString corpusDir();

// Root of the source tree (VX_SOURCE_DIR, set by CTest; else the configured source tree).
QString sourceDir();

// Whole contents of a file; empty when it cannot be read.
QByteArray readFile(const QString& path);

// Writes `data` to `path`, replacing it. Returns success.
bool writeFile(const QString& path, const QByteArray& data);

// Lower-case hex SHA-512 of `data`.
QString sha512Hex(const QByteArray& data);

// `data` compressed by the gzip tool (`gzip -c` with `options`); empty when gzip cannot run.
QByteArray gzipped(const QByteArray& data, const QStringList& options = {"-n"});

// What runs on the installation `install` keep in root's runtime folder /run/vx3update (its
// lock file and socket, named after a digest of its canonical path), as full paths.
QStringList runtimeFilesOf(const QString& install);

} // namespace vxtest

#endif // VXTEST_TESTPATHS_H
