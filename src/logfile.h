#ifndef LOGFILE_H
#define LOGFILE_H

#include <QFile>
#include <QMutex>
#include <QString>
#include <QTextStream>
#include <QtGlobal>

#include <memory>

class QDateTime;

// The optional diagnostic log of one run. Logging is on when the marker file "vx3_update_log"
// exists in the temporary folder as the log is set up; the lines then go to the file
// "update__<start time>.log" in the folder "voxmere_update_log" there, a folder only the
// effective user may write to (made 0700 when missing; another one is refused). The process-wide
// instance (instance()) is created on first use and never destroyed; the Qt message handler
// writes through it from any thread, so writing takes a lock.
class LogFile
{
public:
    // Checks the marker and, when it exists, opens the log file (init()).
    LogFile();

    // The process-wide log, created on first call.
    static LogFile* instance();

    // Opens the log file when logging is on: a new file (0600), or the end of one a run of this
    // user started in the same second. Failures are silent: lines are then lost.
    void init();
    bool isOn() const { return on; }
    // Path of the open log file; empty when none is open.
    QString filePath() const;

    // Writes one line for a message of the given type and flushes. Types without a level word
    // write nothing; nothing happens while logging is off.
    void write(QtMsgType type, const QString& text);
    // Flushes and closes the file; later lines are dropped.
    void close();

    // "update__" + the time in ISO form with ":" as "_" and "T" as "__" + ".log".
    static QString fileNameFor(const QDateTime& start);
    // Time, level word and text as one log line, without the newline; empty for an unknown type.
    static QString formatLine(const QDateTime& time, QtMsgType type, const QString& text);
    // The level word of a message type; empty for an unknown type.
    static QString levelWord(QtMsgType type);

    static const char kMarkerName[];
    static const char kFolderName[];
    static const char kTimeFormat[];

private:
    // A write descriptor of the log file, or -1 when the folder or the file may not be used.
    static int openLogFile(const QString& folder, const QString& name);

    bool on;
    std::unique_ptr<QFile> file;
    QString path;
    QTextStream stream;
    QMutex lock;
};

// The program's Qt message handler: writes every message to the log file while logging is on;
// a fatal message also goes to standard error, whatever the switch, and then aborts.
void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

#endif // LOGFILE_H
