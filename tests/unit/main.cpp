#include "LogCapture.h"
#include "tests/TestSupport.h"

#include <easylogging++.h>
#include <gtest/gtest.h>

INITIALIZE_EASYLOGGINGPP

namespace
{
LogLevel level(el::Level level)
{
    switch (level)
    {
    case el::Level::Trace:
        return LogLevel::TRACE;
    case el::Level::Debug:
        return LogLevel::DEBUG;
    case el::Level::Info:
        return LogLevel::INFO;
    case el::Level::Warning:
        return LogLevel::WARNING;
    case el::Level::Error:
        return LogLevel::ERROR;
    default:
        return LogLevel::FATAL;
    }
}

// Hands every record the library dispatches to LogCapture.
class Collector : public el::LogDispatchCallback
{
protected:
    void handle(const el::LogDispatchData* data) override
    {
        const el::LogMessage* msg = data->logMessage();
        LogCapture::records().push_back({msg->logger()->id(), level(msg->level()), msg->message()});
    }
};
} // namespace

int main(int argc, char** argv)
{
    // The daemon's two loggers, quiet, with every record collected for the tests.
    testsupport::quietLoggers();
    el::Helpers::installLogDispatchCallback<Collector>("LogCapture");

    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
