#include "common/Logger.h"

#include "common/StringConstants.h"

#include <easylogging++.h>

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <unistd.h>

namespace
{
// The library empties a log file that has reached its size limit, the record just written
// included. Keeping the full file as "<name>.1" first loses nothing recent and still bounds the
// storage to twice the limit.
void keepPreviousLog(const char* fileName, std::size_t /*size*/)
{
    const std::string previous = std::string(fileName) + ".1";
    std::rename(fileName, previous.c_str());
}

// In LogLevel's order.
constexpr el::Level LIBRARY_LEVELS[] = {el::Level::Trace,   el::Level::Debug, el::Level::Info,
                                        el::Level::Warning, el::Level::Error, el::Level::Fatal};

el::Level libraryLevel(LogLevel level)
{
    return LIBRARY_LEVELS[static_cast<std::size_t>(level)];
}
} // namespace

Logger Logger::s_logger;
bool Logger::s_bInit = false;
std::string Logger::s_configPath;

bool Logger::init(const char* loggerId)
{
    if (s_bInit)
    {
        return true;
    }
    s_bInit = true;
    s_logger.m_loggerId = loggerId;

    const char* path = nullptr;
    for (const char* candidate : {LOG_CONFIG_RELATIVE(), LOG_CONFIG_ABSOLUTE()})
    {
        // Opening the file for reading is the test: a file that exists but cannot be read
        // counts as missing.
        std::ifstream probe(candidate);
        if (probe.is_open())
        {
            path = candidate;
            break;
        }
    }
    if (path == nullptr)
    {
        std::cout << LOG_CONFIG_RELATIVE() << " not found." << std::endl;
        std::cout << LOG_CONFIG_ABSOLUTE() << " not found." << std::endl;
        return false;
    }

    s_configPath = absolutePath(path);
    el::Loggers::configureFromGlobal(path);
    el::Helpers::installPreRollOutCallback(keepPreviousLog);
    el::Helpers::setCrashHandler(&Logger::handleSignal);
    return true;
}

void Logger::handleSignal(int sig)
{
    // Only reachable in the short window between the logging set-up and the installation of the
    // process's own signal handlers, while the main thread is the only thread.
    CLOG(WARNING, s_logger.m_loggerId.c_str()) << "Exiting with signal: " << sig;
    el::Loggers::flushAll();
    _exit(0);
}

LogWriter::LogWriter(LogLevel level, const char* logger, const char* file, int line,
                     const char* func)
    : m_logger(logger), m_file(file), m_func(func), m_line(line), m_level(level), m_on(true)
{
    // A logger not yet registered is left to the library, which says so when the record comes.
    const el::Logger* registered = el::Loggers::getLogger(logger, false);
    m_on = registered == nullptr || registered->enabled(libraryLevel(level));
}

LogWriter::~LogWriter()
{
    if (m_on)
    {
        el::base::Writer(libraryLevel(m_level), m_file, m_line, m_func).construct(1, m_logger)
            << m_text.str();
    }
}
