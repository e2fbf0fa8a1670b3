#include "logfile.h"

#include "trustedfolder.h"

#include <QDateTime>
#include <QDir>
#include <QMutexLocker>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char LogFile::kMarkerName[] = "vx3_update_log";
const char LogFile::kFolderName[] = "voxmere_update_log";
const char LogFile::kTimeFormat[] = "yyyy-MM-dd hh:mm:ss:zzz";

LogFile::LogFile()
    : on(QFile::exists(QDir::tempPath() + "/" + kMarkerName))
{
    init();
}

LogFile* LogFile::instance()
{
    // Never destroyed: messages may still arrive while static objects are torn down.
    static LogFile* const log = new LogFile;
    return log;
}

void LogFile::init()
{
    QMutexLocker locker(&lock);
    if (!on || file)
        return;
    const QString folder = QDir::toNativeSeparators(QDir::tempPath() + QDir::separator() + kFolderName
                                                    + QDir::separator());
    const QString name = fileNameFor(QDateTime::currentDateTime());
    const int fd = openLogFile(folder, name);
    if (fd < 0)
        return;
    file.reset(new QFile);
    if (file->open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text,
                   QFileDevice::AutoCloseHandle)) {
        stream.setDevice(file.get());
        path = folder + name;
    } else {
        ::close(fd);
    }
}

// The folder lies in the shared temp folder, where anyone may have made it first or filled it
// with links: it is used only when it is ours and nobody else can add to it, and the file is
// never reached through a link nor cut short when it was there before.
int LogFile::openLogFile(const QString& folder, const QString& name)
{
    // Without the trailing separator, which would make open() follow a link after all.
    QString bare = folder;
    while (bare.size() > 1 && bare.endsWith(QLatin1Char('/')))
        bare.chop(1);
    const QByteArray folderPath = QFile::encodeName(bare);
    if (::mkdir(folderPath.constData(), S_IRWXU) != 0 && errno != EEXIST)
        return -1;
    const int dirFd = ::open(folderPath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return -1;
    struct stat status;
    if (::fstat(dirFd, &status) != 0 || !TrustedFolder::isPrivate(status)) {
        ::close(dirFd);
        return -1;
    }
    const QByteArray fileName = QFile::encodeName(name);
    int fd = ::openat(dirFd, fileName.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0 && errno == EEXIST) {
        // A run started in the same second: its lines stay and ours follow them.
        fd = ::openat(dirFd, fileName.constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 && (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)
                        || status.st_uid != ::geteuid() || status.st_nlink != 1)) {
            ::close(fd);
            fd = -1;
        }
    }
    ::close(dirFd);
    return fd;
}

QString LogFile::filePath() const
{
    return file && file->isOpen() ? path : QString();
}

void LogFile::write(QtMsgType type, const QString& text)
{
    if (!on)
        return;
    const QString line = formatLine(QDateTime::currentDateTime(), type, text);
    if (line.isEmpty())
        return;
    QMutexLocker locker(&lock);
    if (!stream.device())
        return;
    // The stream encodes in the local 8-bit encoding.
    stream << line << '\n';
    stream.flush();
}

void LogFile::close()
{
    QMutexLocker locker(&lock);
    if (!stream.device())
        return;
    stream.flush();
    stream.setDevice(nullptr);
    file->close();
}

QString LogFile::fileNameFor(const QDateTime& start)
{
    QString stamp = start.toString(Qt::ISODate);
    stamp.replace(QLatin1Char(':'), QLatin1Char('_'));
    stamp.replace(QLatin1Char('T'), QLatin1String("__"));
    return QStringLiteral("update__") + stamp + QStringLiteral(".log");
}

QString LogFile::levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug");
    case QtWarningMsg:
        return QStringLiteral("Warning");
    case QtCriticalMsg:
        return QStringLiteral("Critical");
    case QtFatalMsg:
        return QStringLiteral("Fatal");
    case QtInfoMsg:
        return QStringLiteral("Info");
    }
    return QString();
}

QString LogFile::formatLine(const QDateTime& time, QtMsgType type, const QString& text)
{
    const QString level = levelWord(type);
    if (level.isEmpty())
        return QString();
    return time.toString(QLatin1String(kTimeFormat)) + QStringLiteral("\t|\t") + level
           + QStringLiteral("\t|\t") + text;
}

void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    Q_UNUSED(context);
    LogFile::instance()->write(type, message);
    if (type != QtFatalMsg)
        return;
    // Whoever started the program learns why it ends, also while nothing is logged (a start
    // without a display ends here).
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
    std::abort();
}
