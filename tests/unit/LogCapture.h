#pragma once

#include "common/Logger.h"

#include <string>
#include <vector>

// Every record written through the logging library, for tests to assert on (collected by the
// library's dispatch callback that main.cpp installs).
struct LogRecord
{
    std::string logger;
    LogLevel level;
    std::string message;
};

class LogCapture
{
public:
    static std::vector<LogRecord>& records()
    {
        static std::vector<LogRecord> s_records;
        return s_records;
    }
    static void clear() { records().clear(); }
    static std::size_t count(const std::string& logger, LogLevel level, const std::string& text)
    {
        std::size_t n = 0;
        for (const LogRecord& r : records())
        {
            n += (r.logger == logger && r.level == level && r.message == text) ? 1 : 0;
        }
        return n;
    }
};
