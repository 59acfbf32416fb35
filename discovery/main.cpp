// Entry point of the Redfish service discovery daemon: the command line, logging, signals, then
// the SSDP service on the main thread until a stop signal.

#include "common/Logger.h"
#include "discovery/Options.h"
#include "discovery/RedfishDiscovery.h"
#include "discovery/Signals.h"

#include <easylogging++.h>

#include <iostream>

INITIALIZE_EASYLOGGINGPP

int main(int argc, char** argv)
{
    Options options;
    if (const int status = parseOptions(argc, argv, options); status >= 0)
    {
        return status;
    }
    RedfishDiscovery::instance()->setOptions(options);

    if (!Logger::init(Logger::DISC_LOG()))
    {
        std::cout << "Logger::init() failed" << std::endl;
        return 1;
    }
    // After the logging set-up, whose crash handlers these replace. Without them no signal
    // could stop the service: a supervisor restarts it instead.
    if (!configSignalHandler())
    {
        return 1;
    }

    LOG_DISC(INFO) << "Starting the Storage Server discovery process.";
    if (!options.ignored.empty())
    {
        std::string words;
        for (const std::string& word : options.ignored)
        {
            words += (words.empty() ? "'" : " '") + word + "'";
        }
        LOG_DISC(WARNING) << "Arguments that are not options ignored: " << words;
    }
    const bool ran = RedfishDiscovery::instance()->run();
    stopSignalRelay();
    LOG_DISC(INFO) << "Stopping the Storage Server discovery process.";
    // A service that could not start exits with 1 so that a supervisor can restart it.
    return ran ? 0 : 1;
}
