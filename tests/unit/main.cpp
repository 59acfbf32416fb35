#include "LogCapture.h"

#include <gtest/gtest.h>

INITIALIZE_EASYLOGGINGPP

int main(int argc, char** argv)
{
    // The daemon's two loggers, quiet, with every record collected for the tests.
    el::Configurations quiet;
    quiet.setToDefault();
    quiet.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
    quiet.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
    for (const char* id : {"discovery", "datamgr"})
    {
        el::Loggers::getLogger(id);
        el::Loggers::reconfigureLogger(id, quiet);
    }
    el::Helpers::installLogDispatchCallback<LogCapture>("LogCapture");

    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
