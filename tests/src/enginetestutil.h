#ifndef ENGINETESTUTIL_H
#define ENGINETESTUTIL_H

#include <QByteArray>
#include <QMap>
#include <QSignalSpy>
#include <QString>
#include <QStringList>

#include "testpaths.h"

namespace enginetest {

// True when the build verifies against the development key, whose private half signs here.
bool signsWithBuiltinKey();

// Writes `data` to `path`, making its folders.
bool put(const QString& path, const QByteArray& data);

// The package container of `data` (plain directive).
QByteArray packed(const QByteArray& data);
// The same by the library's own writer (level 9: slow, so used sparingly).
QByteArray packedByLibrary(const QByteArray& data);
using vxtest::gzipped;
// An RSA-PSS signature of `data` by the development key (through openssl).
QByteArray signature(const QByteArray& data);
using vxtest::sha512Hex;

// Publishes a product ini for `version` below the server root: the packed ini and its ".sig".
bool publishProductIni(const QString& root, int version, const QString& iniName,
                       const QByteArray& ini);

// Every plain file below `dir` (relative path -> contents).
QMap<QString, QByteArray> treeOf(const QString& dir);

// The texts of a spy on a one-QString signal, in order.
QStringList texts(const QSignalSpy& spy);

} // namespace enginetest

#endif // ENGINETESTUTIL_H
