#pragma once

#include <easylogging++.h>

#include <string>
#include <vector>

// Collects every record written through the logging library, for tests to assert on.
struct LogRecord
{
    std::string logger;
    el::Level level;
    std::string message;
};

class LogCapture : public el::LogDispatchCallback
{
public:
    static std::vector<LogRecord>& records()
    {
        static std::vector<LogRecord> s_records;
        return s_records;
    }
    static void clear() { records().clear(); }
    static std::size_t count(const std::string& logger, el::Level level, const std::string& text)
    {
        std::size_t n = 0;
        for (const LogRecord& r : records())
        {
            n += (r.logger == logger && r.level == level && r.message == text) ? 1 : 0;
        }
        return n;
    }

protected:
    void handle(const el::LogDispatchData* data) override
    {
        const el::LogMessage* msg = data->logMessage();
        records().push_back({msg->logger()->id(), msg->level(), msg->message()});
    }
};
