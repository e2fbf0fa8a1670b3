#ifndef ROLLBACKDATA_H
#define ROLLBACKDATA_H

#include <QString>

class QObject;

// One record of the undo journal: a file or directory the update created, or a rename it made,
// and how to take it back. A plain value; used in the GUI thread only.
class RollbackData
{
public:
    enum Op {
        FILE_RENAME = 0,
        FILE_CREATED = 1,
        DIR_CREATED = 2
    };

    // A rename from oldPath to newPath (op must be FILE_RENAME).
    RollbackData(int op, const QString& oldPath, const QString& newPath);
    // A created file or directory (op must be FILE_CREATED or DIR_CREATED).
    RollbackData(int op, const QString& path);

    // Undoes this record; returns the file system's result and sends a warning to notify on failure.
    bool rollback(QObject* notify) const;

    // Invokes the method "message" of obj with text; nothing when obj is null.
    static void message(QObject* obj, const QString& text);

    QString path;   // the created file or directory; for a rename the new name
    QString second; // for a rename the old name, else empty
    int op;
};

#endif // ROLLBACKDATA_H
