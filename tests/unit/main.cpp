#include "LogCapture.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

INITIALIZE_EASYLOGGINGPP

int main(int argc, char** argv)
{
    // The daemon's two loggers, quiet, with every record collected for the tests.
    testsupport::quietLoggers();
    el::Helpers::installLogDispatchCallback<LogCapture>("LogCapture");

    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
