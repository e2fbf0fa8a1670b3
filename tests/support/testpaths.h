#ifndef VXTEST_TESTPATHS_H
#define VXTEST_TESTPATHS_H

#include <QByteArray>
#include <QString>

namespace vxtest {

// Folder of the sample executables (VX_CORPUS_DIR, set by CTest).
QString corpusDir();

// Root of the source tree (VX_SOURCE_DIR, set by CTest).
QString sourceDir();

// Whole contents of a file; empty when it cannot be read.
QByteArray readFile(const QString& path);

// Writes `data` to `path`, replacing it. Returns success.
bool writeFile(const QString& path, const QByteArray& data);

} // namespace vxtest

#endif // VXTEST_TESTPATHS_H
