#ifndef VOXLOG_LOG_H
#define VOXLOG_LOG_H

#include <cstdint>
#include <functional>
#include <list>
#include <string>

// Levelled diagnostic log of the patch engine.
//
// `log` filters a message by level, formats it into one line with a timestamp and hands the
// line to every registered sink (a `LogBase` subclass). A CRITICAL (0) message ends the process
// with exit status 1 after the sinks and the critical callback have seen it, which makes it the
// engine's assertion mechanism. Settings and the sink list are plain process-wide globals without
// a lock: register sinks and change settings before other threads log.

enum LogLevel {
    LogLevel_CRITICAL = 0,
    LogLevel_ERROR = 1,
    LogLevel_WARNING = 2,
    LogLevel_DEBUG = 3,
    LogLevel_INFO = 4,
    LogLevel_DEVEL = 5,
};

class LogBase;

// Registered sinks in registration order. The list owns its entries, not the sinks.
using LogSinkList = std::list<LogBase*>;
LogSinkList& logSinks();

// Abstract sink. Construction registers it at the end of the sink list, destruction unlinks it.
// Not copyable: the sink's registration is tied to its identity.
class LogBase {
public:
    LogBase();
    virtual ~LogBase();
    LogBase(const LogBase&) = delete;
    LogBase& operator=(const LogBase&) = delete;

    virtual void flush() = 0;
    // A keyed setting for the sink; only `broadcastLogSetting` calls it.
    virtual void setting(int32_t key, int32_t value) = 0;
    virtual void write(const std::string& message, int level, const std::string& channel,
                       uint64_t id, const std::string& timestamp, const std::string& line) = 0;
    // An event notice for the sink; only `broadcastLogEvent` calls it.
    virtual void event(int32_t code) {}

private:
    LogSinkList::iterator entry_;
};

using LogCriticalCallback =
    std::function<void(const std::string& message, const std::string& channel, uint64_t id,
                       const std::string& timestamp, const std::string& line)>;

// Logs one message; see the class comment. Level 0 never returns.
void log(const std::string& message, int level, const std::string& channel, uint64_t id);

void setLogLevel(int level);
void setLogUseLocalTime(bool useLocalTime);
void setLogTimestampMode(int mode);
void setLogCriticalCallback(LogCriticalCallback callback);

// Current time as text: mode 0 "YYYY-MM-DD HH:MM:SS.ffffff" (26 characters), mode 2 ISO basic,
// any other mode ISO extended.
std::string logTimestamp(int mode);

// Name of a level 0 to 5 (the caller guarantees the range).
std::string logLevelName(int level);
// Name of a level; a level outside 0 to 5 is a failed assertion, which ends the process.
std::string checkedLogLevelName(int level);

// Writes the current call stack to every sink.
void printStackTrace();

void flushAllLogSinks(const LogSinkList& sinks);
void broadcastLogSetting(const LogSinkList& sinks, int32_t key, int32_t value);
void broadcastLogEvent(const LogSinkList& sinks, int32_t code);

#endif // VOXLOG_LOG_H
