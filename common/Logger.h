#pragma once

#include <easylogging++.h>
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

// One record at one level to one named logger; the streamed pieces follow with nothing between.
#define LOG_DISC(LEVEL) CLOG(LEVEL, Logger::DISC_LOG())
#define LOG_DATA(LEVEL) CLOG(LEVEL, Logger::DATA_LOG())
