#include "confinedpath.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// As the kernel counts them when it resolves a path.
const int kMaxLinks = 40;

QStringList componentsOf(const QString& path)
{
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

bool isSymLink(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

QString linkText(const QString& path)
{
    QByteArray buffer(4096, Qt::Uninitialized);
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), buffer.data(), buffer.size());
    if (n <= 0 || n >= buffer.size())
        return QString();
    return QFile::decodeName(buffer.left(int(n)));
}

bool isInside(const QString& path, const QString& root)
{
    if (root == QLatin1String("/"))
        return path != root;
    return path.startsWith(root + QLatin1Char('/'));
}

} // namespace

QString ConfinedPath::resolved(const QString& path)
{
    QStringList todo = componentsOf(path);
    QString done; // resolved so far, as "/a/b"; empty is the root folder
    int links = 0;
    while (!todo.isEmpty()) {
        const QString part = todo.takeFirst();
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            done.truncate(qMax(0, done.lastIndexOf(QLatin1Char('/'))));
            continue;
        }
        const QString next = done + QLatin1Char('/') + part;
        if (!isSymLink(next)) {
            done = next;
            continue;
        }
        const QString target = linkText(next);
        if (target.isEmpty() || ++links > kMaxLinks)
            return QString();
        todo = componentsOf(target) + todo;
        if (target.startsWith(QLatin1Char('/')))
            done.clear();
    }
    return done.isEmpty() ? QStringLiteral("/") : done;
}

QString ConfinedPath::refusal(const QString& root, const QString& relative)
{
    if (relative.isEmpty())
        return QStringLiteral("it is empty");
    if (relative.contains(QChar(0)))
        return QStringLiteral("it contains a NUL character");
    if (relative.startsWith(QLatin1Char('/')))
        return QStringLiteral("it is absolute");
    if (relative.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return QStringLiteral("it contains a '..' component");
    const QString absoluteRoot = QDir(root).absolutePath();
    const QString base = resolved(absoluteRoot);
    const QString full = resolved(absoluteRoot + QLatin1Char('/') + relative);
    if (base.isEmpty() || full.isEmpty())
        return QStringLiteral("it passes through symbolic links that cannot be followed");
    if (full == base)
        return QStringLiteral("it names the folder %1 itself").arg(base);
    if (!isInside(full, base))
        return QStringLiteral("it leads to %1, outside %2").arg(full, base);
    return QString();
}
