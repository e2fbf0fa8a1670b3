#ifndef DELETEENTRY_H
#define DELETEENTRY_H

#include <QString>

// One installed path to delete, relative to the installation directory.
class DeleteEntry
{
public:
    DeleteEntry() = default;
    DeleteEntry(const QString& path, bool recursive);

    QString path;
    bool recursive = false;
};

#endif // DELETEENTRY_H
