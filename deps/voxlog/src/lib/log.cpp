#include "log.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <vector>

namespace {

int g_threshold = LogLevel_DEVEL;
bool g_useLocalTime = false;
int g_timestampMode = 0;

LogCriticalCallback& criticalCallback()
{
    static LogCriticalCallback callback;
    return callback;
}

// Lines that a database layer of the wider product emits by design; never worth a line.
bool isKnownNoise(const std::string& message, const std::string& channel)
{
    return channel == "DatabaseQuery"
        && (message == "sqlite3_prepare failed no such column: string_id"
            || message.find("db_exec() select * from instance_properties where string_id = '")
                != std::string::npos);
}

std::string formatLine(const std::string& message, int level, const std::string& channel,
                        uint64_t id, const std::string& timestamp)
{
    const std::string idText = id == 0 ? std::string() : std::to_string(id);
    const std::string prefix = (boost::format("%s|%-8s|%-14s|%-3s|") % timestamp
                                % checkedLogLevelName(level) % channel % idText).str();
    const std::string indent = "\n" + std::string(prefix.size(), ' ');
    return prefix + boost::algorithm::replace_all_copy(message, "\n", indent);
}

// Splits one backtrace_symbols text "module(function+offset) [address]" into its fields.
struct Frame {
    std::string module;
    std::string function;
    std::string address;
};

std::string demangle(const std::string& name)
{
    int status = 0;
    char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status == 0 && text) {
        std::string result(text);
        std::free(text);
        return result;
    }
    std::free(text);
    return status == -2 ? name + "(...)" : "<unknown>";
}

Frame parseFrame(const std::string& symbol)
{
    Frame frame;
    const size_t open = symbol.find('(');
    if (open != std::string::npos) {
        const size_t plus = symbol.find('+', open);
        if (plus != std::string::npos && symbol.compare(plus + 1, 2, "0x") == 0) {
            frame.module = symbol.substr(0, open);
            frame.function = demangle(symbol.substr(open + 1, plus - open - 1));
        }
    }
    const size_t bracket = symbol.find('[');
    if (bracket != std::string::npos) {
        const size_t close = symbol.find(']', bracket);
        if (close != std::string::npos) {
            frame.address = symbol.substr(bracket + 1, close - bracket - 1);
            if (open == std::string::npos)
                frame.module = symbol.substr(0, bracket);
        }
    } else {
        frame.address = "<unknown>";
        if (open == std::string::npos) {
            frame.module = "<unknown>";
            frame.function = "<unknown>";
        }
    }
    return frame;
}

} // namespace

LogSinkList& logSinks()
{
    static LogSinkList sinks;
    return sinks;
}

LogBase::LogBase()
    : entry_(logSinks().insert(logSinks().end(), this))
{
}

LogBase::~LogBase()
{
    logSinks().erase(entry_);
}

void log(const std::string& message, int level, const std::string& channel, uint64_t id)
{
    if (isKnownNoise(message, channel))
        return;
    // With no sink to write to, no line of the table's levels is made but a critical one, for
    // the callback; a level outside the table still fails its check.
    const bool unheard =
        logSinks().empty() && level > LogLevel_CRITICAL && level <= LogLevel_DEVEL;
    if (level <= g_threshold && !unheard) {
        const std::string timestamp = logTimestamp(g_timestampMode);
        const std::string line = formatLine(message, level, channel, id, timestamp);
        if (!line.empty()) {
            for (LogBase* sink : logSinks()) {
                sink->write(message, level, channel, id, timestamp, line);
                if (level == LogLevel_CRITICAL)
                    sink->flush();
            }
        }
        if (level == LogLevel_CRITICAL && criticalCallback())
            criticalCallback()(message, channel, id, timestamp, line);
    }
    if (level == LogLevel_CRITICAL)
        std::exit(1);
}

void setLogLevel(int level)
{
    g_threshold = level;
}

void setLogUseLocalTime(bool useLocalTime)
{
    g_useLocalTime = useLocalTime;
}

void setLogTimestampMode(int mode)
{
    g_timestampMode = mode;
}

void setLogCriticalCallback(LogCriticalCallback callback)
{
    criticalCallback() = std::move(callback);
}

std::string logTimestamp(int mode)
{
    using boost::posix_time::microsec_clock;
    const boost::posix_time::ptime now =
        g_useLocalTime ? microsec_clock::local_time() : microsec_clock::universal_time();
    if (mode == 2)
        return boost::posix_time::to_iso_string(now);
    if (mode != 0)
        return boost::posix_time::to_iso_extended_string(now);

    std::string text = boost::posix_time::to_iso_string(now);
    text[8] = ' ';
    text.insert(4, "-");
    text.insert(7, "-");
    text.insert(13, ":");
    text.insert(16, ":");
    if (text.size() < 20)
        text += '.';
    return (boost::format("%026s") % text).str();
}

std::string logLevelName(int level)
{
    static const std::vector<std::string> names = {"CRITICAL", "ERROR", "WARNING",
                                                   "DEBUG",    "INFO",  "DEVELOP"};
    return names[static_cast<size_t>(level)];
}

std::string checkedLogLevelName(int level)
{
    if (static_cast<unsigned>(level) > LogLevel_DEVEL) {
        log("Assertion \"lvl >= 0 && lvl <= LogLevel_DEVEL\" failed at "
            "../../../../deps/voxlog/src/lib/log:216; ",
            LogLevel_CRITICAL, std::string(), 0);
    }
    return logLevelName(level);
}

void printStackTrace()
{
    void* addresses[15];
    const int count = backtrace(addresses, 15);
    char** symbols = backtrace_symbols(addresses, count);
    log("Printing Trace:", LogLevel_DEVEL, std::string(), 0);
    for (int i = 0; symbols && i < count; ++i) {
        const Frame frame = parseFrame(symbols[i]);
        const std::string text = (boost::format("%4s%s in %s from %s") % ("#" + std::to_string(i))
                                  % frame.address % frame.function % frame.module).str();
        for (LogBase* sink : logSinks())
            sink->write(text, LogLevel_DEVEL, std::string(), 0, std::string(), text);
    }
    std::free(symbols);
}

void flushAllLogSinks(const LogSinkList& sinks)
{
    for (LogBase* sink : sinks)
        sink->flush();
}

void broadcastLogSetting(const LogSinkList& sinks, int32_t key, int32_t value)
{
    for (LogBase* sink : sinks)
        sink->setting(key, value);
}

void broadcastLogEvent(const LogSinkList& sinks, int32_t code)
{
    for (LogBase* sink : sinks)
        sink->event(code);
}
