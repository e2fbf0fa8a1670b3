#ifndef DIRCREATETASKSPECIFICATION_H
#define DIRCREATETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Creates the directory `path` with every missing parent, recording each one it creates right
// after creating it, so the journal holds parents before children.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString& path, RollbackDataList* rollback, QObject* parent,
                               qreal weight);

    bool doOp() override;

private:
    // True when dirPath exists as a directory afterwards; reports the first problem it meets.
    bool createDir(const QString& dirPath);
};

#endif // DIRCREATETASKSPECIFICATION_H
