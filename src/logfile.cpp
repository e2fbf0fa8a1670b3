#include "logfile.h"

#include <QDateTime>
#include <QDir>
#include <QMutexLocker>

#include <cstdlib>

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
    QDir dir(folder);
    if (!dir.exists())
        QDir().mkdir(folder);
    file.reset(new QFile(folder + fileNameFor(QDateTime::currentDateTime())));
    if (file->open(QIODevice::WriteOnly | QIODevice::Text))
        stream.setDevice(file.get());
}

QString LogFile::filePath() const
{
    return file && file->isOpen() ? file->fileName() : QString();
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
    if (type == QtFatalMsg)
        std::abort();
}
