#ifndef FILERENAMETASKSPECIFICATION_H
#define FILERENAMETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Renames `oldPath` to `path` (creating one missing directory level for it) and records the
// rename for undo.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString& oldPath, const QString& newPath,
                                RollbackDataList* rollback, QObject* parent, qreal weight);

    bool doOp() override;

private:
    QString oldPath;
};

#endif // FILERENAMETASKSPECIFICATION_H
