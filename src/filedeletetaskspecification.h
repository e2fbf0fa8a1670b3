#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Deletes the file or directory `path`: a directory with all its contents when `recursive` is
// set, else only when empty (then also its parents that become empty). A deletion that does not
// happen fails the task only when `failOnError` is set. Records nothing for undo.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteTaskSpecification(bool failOnError, const QString& path, bool recursive,
                                QObject* parent, qreal weight);

    bool doOp() override;

private:
    bool removeDir();
    bool removeFile();
    // The empty folder `path`, then each folder above it that thereby becomes empty.
    bool removeEmptyFolders() const;

    bool failOnError;
    bool recursive;
};

#endif // FILEDELETETASKSPECIFICATION_H
