#ifndef INITESTUTIL_H
#define INITESTUTIL_H

#include "testpaths.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>

namespace vxtest {

// Writes an ini file for QSettings to read. QSettings keeps parsed files in a process-wide cache
// that it trusts while size and modification time stay the same, so every write gets a time of
// its own: two quick writes of equal size would otherwise read as the first.
inline bool writeIni(const QString& path, const QByteArray& content)
{
    static QDateTime stamp = QDateTime::currentDateTimeUtc().addDays(-1);
    stamp = stamp.addSecs(1);
    if (!writeFile(path, content))
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.setFileTime(stamp, QFileDevice::FileModificationTime);
}

} // namespace vxtest

#endif // INITESTUTIL_H
