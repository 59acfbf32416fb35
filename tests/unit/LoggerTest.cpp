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

    void writeConfig(const std::string& extra = "")
    {
        std::ofstream(m_root / "opt" / "config" / "log.conf")
            << "-- discovery\n* GLOBAL:\n  FORMAT = \"%level|%msg\"\n  TO_STANDARD_OUTPUT = false\n"
               "  TO_FILE = true\n  FILENAME = \"" +
                   (m_root / "out.log").string() + "\"\n" + extra;
    }
    std::string logFile(const char* name = "out.log")
    {
        std::ifstream in(m_root / name);
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
// Regression: at its size limit the library emptied the log file, losing the latest records
// (the one that crossed the limit among them).
TEST_F(LoggerInit, FullLogFileIsKeptAsPreviousInsteadOfEmptied)
{
    writeConfig("  MAX_LOG_FILE_SIZE = 2000\n");
    EXPECT_EXIT(
        {
            enter();
            if (!Logger::init(Logger::DISC_LOG()))
            {
                _exit(3);
            }
            for (int i = 0; i < 300; ++i)
            {
                LOG_DISC(INFO) << "record " << i;
            }
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
    const std::string previous = logFile("out.log.1");
    const std::string current = logFile();
    EXPECT_GE(previous.size(), 2000U);
    EXPECT_LT(previous.size(), 2100U);
    EXPECT_LT(current.size(), 2000U);
    EXPECT_NE(current.find("INFO|record 299\n"), std::string::npos);
    // Nothing lost between the two files: the current one starts right after the previous one.
    const std::size_t lastStart = previous.rfind("record ", previous.size() - 2);
    const int last = std::stoi(previous.substr(lastStart + 7));
    EXPECT_EQ(current.rfind("INFO|record " + std::to_string(last + 1) + "\n", 0), 0U) << current;
}
} // namespace
