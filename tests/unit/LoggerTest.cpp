#include "common/Logger.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
// Each case runs in a child process (a death test), since Logger::init acts only once per
// process, from a working directory laid out as <tmp>/opt/bin with <tmp>/opt/config beside it.
class LoggerInit : public testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/logger-init-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        fs::create_directories(m_root / "opt" / "bin");
        fs::create_directories(m_root / "opt" / "config");
    }
    void TearDown() override { fs::remove_all(m_root); }

    void writeConfig()
    {
        std::ofstream(m_root / "opt" / "config" / "log.conf")
            << "-- discovery\n* GLOBAL:\n  FORMAT = \"%level|%msg\"\n  TO_STANDARD_OUTPUT = false\n"
               "  TO_FILE = true\n  FILENAME = \"" +
                   (m_root / "out.log").string() + "\"\n";
    }
    std::string logFile()
    {
        std::ifstream in(m_root / "out.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void enter() { fs::current_path(m_root / "opt" / "bin"); }

    fs::path m_root;
};

TEST_F(LoggerInit, SegvBeforeOwnHandlersWritesOneRecordAndExitsZero)
{
    writeConfig();
    EXPECT_EXIT(
        {
            enter();
            if (!Logger::init(Logger::DISC_LOG()))
            {
                _exit(3);
            }
            raise(SIGSEGV);
            _exit(4);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(logFile(), "WARNING|Exiting with signal: 11\n");
}

TEST_F(LoggerInit, SecondCallReturnsTrueAndPrintsNothingEvenAfterAFailure)
{
    // No configuration anywhere near: the first call fails (unless the machine has the absolute
    // one), the second succeeds at once without searching.
    EXPECT_EXIT(
        {
            enter();
            const bool first = Logger::init(Logger::DISC_LOG());
            std::cout.flush();
            testing::internal::CaptureStdout();
            const bool second = Logger::init(Logger::DISC_LOG());
            const std::string printed = testing::internal::GetCapturedStdout();
            _exit(second && printed.empty() ? (first ? 10 : 11) : 1);
        },
        [](int status)
        { return WIFEXITED(status) && (WEXITSTATUS(status) == 10 || WEXITSTATUS(status) == 11); },
        "");
}
} // namespace
