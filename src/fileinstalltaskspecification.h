#ifndef FILEINSTALLTASKSPECIFICATION_H
#define FILEINSTALLTASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <sys/stat.h>

class RollbackDataList;

// Puts a staged file in the place of `dst`. In a pool thread the staged file is given its mode,
// flushed and, with `mayReplace`, checked against `sha512` or, when that is empty, against the
// signature in dst + ".sig" (FileInstallFunc); then, in the GUI thread, an installed `dst` keeps
// a second name for undo (StagedFile::undoPath) and the staged file is renamed onto `dst`, so
// that `dst` is at every moment either its earlier or its new content. The rename is made only
// while the staged name still holds the very file that was readied and checked, and a `dst` found
// holding another file right after it is undone and fails the task. The journal gets a rename
// record for a replaced file (undo renames the earlier content back) or a created-file record for
// a new one. Without `mayReplace` an existing `dst` fails the
// task. A failure reports `failText` (or the rename's text), removes the staged file and leaves
// `dst` as it was. The rename lasts through a power cut once its directory is flushed, which the
// owner of the journal does once for every directory (StagedFile::syncDirectoryOf). The journal
// is borrowed.
class FileInstallTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    FileInstallTaskSpecification(RollbackDataList* rollback, const QString& staged,
                                 const QString& dst, const QString& sha512, bool mayReplace,
                                 const QString& failText, QObject* parent, qreal weight);

    ASyncFunc* createFunc() override;
    void runDone(bool ok) override;

private:
    bool commit();
    bool failRename(const QString& from, const QString& to);
    bool holdsCheckedFile(const QString& path);

    RollbackDataList* rollback;
    QString staged;
    QString dst;
    QString sha512;
    bool mayReplace;
    QString failText;
    // The staged file as the worker readied it.
    struct stat checked;
};

#endif // FILEINSTALLTASKSPECIFICATION_H
