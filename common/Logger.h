#pragma once

#include <sstream>
#include <string>

// Finds the logging configuration, configures every logger named in it, and installs the crash
// handler that writes the last record of a process that dies before its own handlers are up.
class Logger
{
public:
    explicit Logger(const char* loggerId = "") : m_loggerId(loggerId) {}

    static bool init(const char* loggerId);
    static void handleSignal(int sig);

    static const char* DISC_LOG() { return "discovery"; }
    static const char* DATA_LOG() { return "datamgr"; }
    static const char* LOG_CONFIG_RELATIVE() { return "../config/log.conf"; }
    static const char* LOG_CONFIG_ABSOLUTE() { return "/opt/oobm/config/log.conf"; }
    // The configuration init() found, from the root; empty before.
    static const std::string& configPath() { return s_configPath; }

private:
    std::string m_loggerId;

    static Logger s_logger;
    static bool s_bInit;
    static std::string s_configPath;
};

// The levels a record can have, named as the logging configuration names them.
enum class LogLevel
{
    TRACE,
    DEBUG,
    INFO,
    WARNING,
    ERROR,
    FATAL
};

// One record on its way to one named logger. The pieces streamed into it are formatted here and
// handed to the logging library whole when the statement ends, so that only Logger.cpp and the
// programs' entry points include the library's header: the largest the project compiles, it made
// every file that writes a record several times slower to build and to analyse. A level the
// logger has switched off formats nothing.
class LogWriter
{
public:
    LogWriter(LogLevel level, const char* logger, const char* file, int line, const char* func);
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;
    LogWriter(LogWriter&&) = delete;
    LogWriter& operator=(LogWriter&&) = delete;

    template <typename T> LogWriter& operator<<(const T& piece)
    {
        if (m_on)
        {
            m_text << piece;
        }
        return *this;
    }
    // Up to the first NUL, as the library takes a string.
    LogWriter& operator<<(const std::string& piece) { return *this << piece.c_str(); }

private:
    std::ostringstream m_text;
    const char* m_logger;
    const char* m_file;
    const char* m_func;
    int m_line;
    LogLevel m_level;
    bool m_on;
};

// One record at one level to one named logger; the streamed pieces follow with nothing between.
#define LOG_DISC(LEVEL)                                                                            \
    LogWriter(LogLevel::LEVEL, Logger::DISC_LOG(), __FILE__, __LINE__, __PRETTY_FUNCTION__)
#define LOG_DATA(LEVEL)                                                                            \
    LogWriter(LogLevel::LEVEL, Logger::DATA_LOG(), __FILE__, __LINE__, __PRETTY_FUNCTION__)
