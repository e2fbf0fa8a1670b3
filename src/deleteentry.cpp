#include "deleteentry.h"

DeleteEntry::DeleteEntry(const QString& path, bool recursive)
    : path(path)
    , recursive(recursive)
{
}
