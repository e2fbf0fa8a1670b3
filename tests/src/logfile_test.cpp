#include "logfile.h"

#include "eventloop.h"
#include "otheruser.h"
#include "testpaths.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>

namespace {

const char kChildEnv[] = "VX_LOGFILE_CHILD";

// Points QDir::tempPath() at a fresh folder for the life of the object.
class TempDirScope
{
public:
    TempDirScope()
        : saved(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", dir.path().toLocal8Bit());
    }
    ~TempDirScope() { qputenv("TMPDIR", saved); }

    QString path() const { return dir.path(); }
    void createMarker() const { vxtest::writeFile(path() + "/vx3_update_log", "ignored"); }
    QString logFolder() const { return path() + "/voxmere_update_log"; }
    QStringList logFiles() const { return QDir(logFolder()).entryList(QDir::Files); }

private:
    QTemporaryDir dir;
    QByteArray saved;
};

QStringList fileLines(const QString& path)
{
    QString text = QString::fromUtf8(vxtest::readFile(path));
    if (text.endsWith('\n'))
        text.chop(1);
    return text.isEmpty() ? QStringList() : text.split('\n');
}

mode_t modeOf(const QString& path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// Runs one of the LogFileChild tests in a process of its own with TMPDIR at `tmpDir`.
QProcess::ExitStatus runChild(const QString& test, const QString& tmpDir, QByteArray* standardError)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildEnv, "1");
    env.insert("TMPDIR", tmpDir);
    env.insert("LC_ALL", "C.UTF-8");
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=LogFileChild." + test});
    EXPECT_TRUE(child.waitForFinished(30000));
    *standardError = child.readAllStandardError();
    return child.exitStatus();
}

const QString kLinePattern = "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\t\\|\t%1\t\\|\t%2$";

} // namespace

// These run only as children of the tests below: the handler is process-wide and a fatal
// message ends the process.
TEST(LogFileChild, LogsEveryLevelThenDiesOnFatal)
{
    if (!qEnvironmentVariableIsSet(kChildEnv))
        GTEST_SKIP() << "runs only as a child process";
    LogFile::instance();
    qInstallMessageHandler(logMessageHandler);
    qDebug() << "debug line";
    qWarning() << "warning line";
    qCritical() << "critical line";
    qInfo() << "info line";
    qDebug().noquote() << QString::fromUtf8("Gr\xc3\xbc\xc3\x9f" "e");
    qFatal("fatal line");
}

TEST(LogFileChild, LogsAndQuits)
{
    if (!qEnvironmentVariableIsSet(kChildEnv))
        GTEST_SKIP() << "runs only as a child process";
    LogFile::instance();
    qInstallMessageHandler(logMessageHandler);
    qDebug() << "quiet line";
    qWarning() << "quiet warning";
}

TEST(LogFile, FileNameUsesStartTimeWithUnderscores)
{
    const QDateTime start(QDate(2026, 12, 9), QTime(5, 7, 9, 42));
    EXPECT_EQ(LogFile::fileNameFor(start), "update__2026-12-09__05_07_09.log");
}

TEST(LogFile, LineHasTimeLevelAndText)
{
    const QDateTime time(QDate(2026, 1, 2), QTime(3, 4, 5, 67));
    struct Case {
        QtMsgType type;
        const char* word;
    };
    const Case cases[] = {{QtDebugMsg, "Debug"},
                          {QtWarningMsg, "Warning"},
                          {QtCriticalMsg, "Critical"},
                          {QtFatalMsg, "Fatal"},
                          {QtInfoMsg, "Info"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(LogFile::formatLine(time, c.type, "text here"),
                  QString("2026-01-02 03:04:05:067\t|\t%1\t|\ttext here").arg(c.word));
    }
    EXPECT_TRUE(LogFile::formatLine(time, QtMsgType(42), "text").isEmpty());
}

TEST(LogFile, WithoutMarkerNothingIsCreatedOrWritten)
{
    TempDirScope tmp;
    LogFile log;
    log.write(QtWarningMsg, "lost");
    EXPECT_FALSE(log.isOn());
    EXPECT_TRUE(log.filePath().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(tmp.logFolder()));
}

TEST(LogFile, WithMarkerWritesOneFlushedLinePerMessage)
{
    TempDirScope tmp;
    tmp.createMarker();
    const QDateTime before = QDateTime::currentDateTime();
    LogFile log;
    ASSERT_TRUE(log.isOn());
    const QStringList files = tmp.logFiles();
    ASSERT_EQ(files.size(), 1);
    const QString name = files.first();
    EXPECT_TRUE(QRegularExpression("^update__\\d{4}-\\d\\d-\\d\\d__\\d\\d_\\d\\d_\\d\\d\\.log$").match(name).hasMatch())
        << name.toStdString();
    // Named after the start, to the second.
    const QDateTime named = QDateTime::fromString(name.mid(8, 20), "yyyy-MM-dd__hh_mm_ss");
    EXPECT_LE(std::abs(named.secsTo(before)), 2) << name.toStdString();
    EXPECT_EQ(QFileInfo(log.filePath()).fileName(), name);
    // Made private: only this user may read the log or add to its folder.
    EXPECT_EQ(modeOf(tmp.logFolder()), 0700u);
    EXPECT_EQ(modeOf(log.filePath()), 0600u);

    log.write(QtDebugMsg, "first");
    // Flushed at once: the file is complete after every message.
    EXPECT_EQ(fileLines(log.filePath()).size(), 1);
    log.write(QtInfoMsg, "second\tpart");
    log.write(QtMsgType(42), "never");
    const QStringList lines = fileLines(log.filePath());
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(QRegularExpression(kLinePattern.arg("Debug", "first")).match(lines[0]).hasMatch())
        << lines[0].toStdString();
    EXPECT_TRUE(QRegularExpression(kLinePattern.arg("Info", "second\tpart")).match(lines[1]).hasMatch())
        << lines[1].toStdString();

    log.close();
    log.write(QtDebugMsg, "after close");
    EXPECT_EQ(fileLines(tmp.logFolder() + "/" + name).size(), 2);
}

TEST(LogFile, SameSecondAppendsToTheFileOfTheEarlierRun)
{
    TempDirScope tmp;
    tmp.createMarker();
    ASSERT_TRUE(QDir().mkdir(tmp.logFolder()));
    // An earlier run in this second (or the next two) left a file of the same name.
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = 0; s < 3; ++s)
        vxtest::writeFile(tmp.logFolder() + "/" + LogFile::fileNameFor(now.addSecs(s)), "old run\n");
    LogFile log;
    ASSERT_FALSE(log.filePath().isEmpty());
    EXPECT_EQ(tmp.logFiles().size(), 3);
    log.write(QtDebugMsg, "new run");
    const QStringList lines = fileLines(log.filePath());
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], "old run");
    EXPECT_TRUE(QRegularExpression(kLinePattern.arg("Debug", "new run")).match(lines[1]).hasMatch())
        << lines[1].toStdString();
}

// Anyone may create the marker, and the log folder lies in the shared temp folder: another user
// may make the folder first and fill it with links named as the next log files, or put a link
// in its place. The log is then written nowhere, and no file behind a link is written or cut
// short.
TEST(LogFile, RefusesFoldersOthersCouldHavePreparedAndFollowsNoLink)
{
    struct Case {
        const char* label;
        bool otherUser;      // the set-up runs as another local user
        const char* setUp;   // shell commands in the temp folder; $SECRET, $SECRET_DIR, $NAMES
    };
    const Case cases[] = {
        {"another user's folder full of links", true,
         "mkdir voxmere_update_log; for n in $NAMES; do ln -s \"$SECRET\" voxmere_update_log/$n; done"},
        {"another user's empty folder", true, "mkdir voxmere_update_log"},
        {"our folder, writable by others, full of links", false,
         "mkdir -m 0777 voxmere_update_log; for n in $NAMES; do ln -s \"$SECRET\" voxmere_update_log/$n; done"},
        {"a link to a private folder in place of the folder", false, "ln -s \"$SECRET_DIR\" voxmere_update_log"},
        {"our private folder with links named as the log", false,
         "mkdir -m 0700 voxmere_update_log; for n in $NAMES; do ln -s \"$SECRET\" voxmere_update_log/$n; done"},
        {"our private folder with hard links named as the log", false,
         "mkdir -m 0700 voxmere_update_log; for n in $NAMES; do ln \"$SECRET\" voxmere_update_log/$n; done"},
    };
    const QString unavailable = vxtest::otherUserUnavailable();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.otherUser && !unavailable.isEmpty()) {
            std::printf("skipping \"%s\": %s\n", c.label, qPrintable(unavailable));
            continue;
        }
        TempDirScope tmp;
        ASSERT_TRUE(vxtest::shareLikeSystemTemp(tmp.path(), tmp.path()));
        tmp.createMarker();
        QTemporaryDir secretDir;
        const QString secret = secretDir.filePath("secret.txt");
        ASSERT_TRUE(vxtest::writeFile(secret, "root's own\n"));
        ASSERT_TRUE(QFile::setPermissions(secret, QFile::ReadOwner | QFile::WriteOwner));
        QStringList names;
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = -2; s <= 5; ++s)
            names << LogFile::fileNameFor(now.addSecs(s));
        const QString script = QString("SECRET='%1'; SECRET_DIR='%2'; NAMES='%3'; %4")
                                   .arg(secret, secretDir.path(), names.join(' '), c.setUp);
        if (c.otherUser) {
            ASSERT_TRUE(vxtest::runAsOtherUser(tmp.path(), script));
        } else {
            QProcess shell;
            shell.setWorkingDirectory(tmp.path());
            shell.start("/bin/sh", {"-ec", script});
            ASSERT_TRUE(shell.waitForFinished() && shell.exitCode() == 0);
        }
        const QStringList before = QDir(tmp.logFolder()).entryList(QDir::AllEntries | QDir::System);

        LogFile log;
        EXPECT_TRUE(log.isOn());
        EXPECT_TRUE(log.filePath().isEmpty()) << log.filePath().toStdString();
        log.write(QtWarningMsg, "lost");
        log.close();
        EXPECT_EQ(vxtest::readFile(secret), "root's own\n");
        EXPECT_EQ(modeOf(secret), 0600u);
        EXPECT_EQ(QDir(secretDir.path()).entryList(QDir::Files), QStringList{"secret.txt"});
        EXPECT_EQ(QDir(tmp.logFolder()).entryList(QDir::AllEntries | QDir::System), before);
    }
}

TEST(LogFile, UnusableFolderLosesLinesSilently)
{
    TempDirScope tmp;
    tmp.createMarker();
    // A plain file where the folder should be.
    vxtest::writeFile(tmp.logFolder(), "not a folder");
    LogFile log;
    EXPECT_TRUE(log.isOn());
    EXPECT_TRUE(log.filePath().isEmpty());
    log.write(QtCriticalMsg, "lost");
    log.close();
    EXPECT_EQ(vxtest::readFile(tmp.logFolder()), "not a folder");
}

TEST(LogFile, HandlerWritesEveryLevelAndTheFatalLineBeforeAborting)
{
    QTemporaryDir tmp;
    vxtest::writeFile(tmp.path() + "/vx3_update_log", "");
    QByteArray standardError;
    EXPECT_EQ(runChild("LogsEveryLevelThenDiesOnFatal", tmp.path(), &standardError), QProcess::CrashExit);
    const QStringList files = QDir(tmp.path() + "/voxmere_update_log").entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    const QStringList lines = fileLines(tmp.path() + "/voxmere_update_log/" + files.first());
    const QStringList expected[] = {{"Debug", "debug line"},       {"Warning", "warning line"},
                                    {"Critical", "critical line"}, {"Info", "info line"},
                                    {"Debug", QString::fromUtf8("Gr\xc3\xbc\xc3\x9f" "e")},
                                    {"Fatal", "fatal line"}};
    ASSERT_EQ(lines.size(), 6) << lines.join('\n').toStdString();
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(QRegularExpression(kLinePattern.arg(expected[i][0], expected[i][1])).match(lines[i]).hasMatch())
            << lines[i].toStdString();
    }
    EXPECT_FALSE(standardError.contains("debug line"));
}

TEST(LogFile, HandlerWithoutMarkerWritesNothingAnywhere)
{
    QTemporaryDir tmp;
    QByteArray standardError;
    EXPECT_EQ(runChild("LogsAndQuits", tmp.path(), &standardError), QProcess::NormalExit);
    EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/voxmere_update_log"));
    EXPECT_FALSE(standardError.contains("quiet line"));
    EXPECT_FALSE(standardError.contains("quiet warning"));
}
