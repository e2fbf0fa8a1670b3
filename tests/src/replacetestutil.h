#ifndef VXTEST_REPLACETESTUTIL_H
#define VXTEST_REPLACETESTUTIL_H

#include "configuration.h"
#include "ensembletesthelpers.h"
#include "ensemblewriter.h"
#include "eventloop.h"
#include "lzmafile.h"
#include "taskspecification.h"
#include "testpaths.h"
#include "testtasks.h"
#include "updatefileentry.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace vxtest {

// A work directory and an installation directory in a fresh temporary folder, with the
// configuration that points at them. With `workParent` the work directory is made below it
// instead (for instance on another file system).
struct ReplaceTree {
    explicit ReplaceTree(const QString& workParent = QString())
        : workTmp(workParent.isEmpty() ? QDir::tempPath() + "/replace_work-XXXXXX"
                                       : workParent + "/replace_work-XXXXXX")
    {
        QDir().mkpath(work());
        QDir().mkpath(install());
        config.workDir = work();
        config.installDir = install();
    }
    QString work() const { return workTmp.filePath("work"); }
    QString install() const { return tmp.filePath("install"); }
    QString workFile(const QString& name) const { return work() + "/" + name; }
    QString installFile(const QString& name) const { return install() + "/" + name; }

    // Puts `data` at `path`, making its folders.
    static void put(const QString& path, const QByteArray& data)
    {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
        ASSERT_TRUE(writeFile(path, data));
    }

    QTemporaryDir tmp;
    QTemporaryDir workTmp;
    Configuration config;
};

// Every file (with its content and permission bits) and every directory below `root`.
inline QMap<QString, QByteArray> snapshot(const QString& root)
{
    QMap<QString, QByteArray> tree;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString mode = QString::number(int(info.permissions()), 16);
        tree.insert(base.relativeFilePath(path),
                    info.isDir() ? QByteArray("<dir>") : "<" + mode.toLatin1() + ">" + readFile(path));
    }
    return tree;
}

// Sets the process's umask for one scope: the modes the updater gives must not depend on it.
struct UmaskScope {
    explicit UmaskScope(mode_t mask)
        : old(::umask(mask))
    {
    }
    ~UmaskScope() { ::umask(old); }
    mode_t old;
};

// The permission bits of `path` (not following a link); -1 when there is nothing.
inline int modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

inline ino_t inodeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// Files below `root` that group or others may write to, relative to root.
inline QStringList writableByOthers(const QString& root)
{
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!it.fileInfo().isSymLink() && (modeOf(path) & (S_IWGRP | S_IWOTH)) != 0)
            found << QDir(root).relativeFilePath(path);
    }
    return found;
}

// `data` in the package container, written by the library's own writer.
inline QByteArray lzmaPacked(const QByteArray& data, bool preprocess)
{
    QTemporaryDir tmp;
    const QString plain = tmp.filePath("plain");
    const QString packed = tmp.filePath("packed");
    if (!writeFile(plain, data) ||
        !vxpatch::PackLzmaFile(plain.toStdString(), packed.toStdString(), preprocess))
        return QByteArray();
    return readFile(packed);
}

// A text file and its plain container, packed once: each packing costs a whole LZMA2 encoder.
struct PackedText {
    QByteArray content;
    QByteArray packed;
};

inline const PackedText& packedText()
{
    static const PackedText text = [] {
        PackedText t;
        t.content = QByteArray("voice, chat, channel\n").repeated(3000);
        t.packed = lzmaPacked(t.content, false);
        return t;
    }();
    return text;
}

// A small x86 executable, a new release of it and the ensemble patch between them, made once.
struct PatchPair {
    QByteArray oldData;
    QByteArray newData;
    QByteArray patch;
};

inline const PatchPair& patchPair()
{
    static const PatchPair pair = [] {
        PatchPair p;
        const Bytes oldBytes =
            ToBytes(readFile(corpusDir() + "/elf32-x86/gcc-386-freebsd-exec"));
        const Bytes newBytes = Edited(oldBytes, 7);
        Bytes patch;
        if (!oldBytes.empty() &&
            MakeEnsemblePatch(oldBytes, newBytes, EnsembleWriterOptions{}, &patch)) {
            p.oldData = ToQByteArray(oldBytes);
            p.newData = ToQByteArray(newBytes);
            p.patch = ToQByteArray(patch);
        }
        return p;
    }();
    return pair;
}

} // namespace vxtest

#endif // VXTEST_REPLACETESTUTIL_H
