#include "tests/TestSupport.h"

#include <easylogging++.h>

namespace testsupport
{
void quietLoggers(bool enabled)
{
    el::Configurations quiet;
    quiet.setToDefault();
    quiet.set(el::Level::Global, el::ConfigurationType::Enabled, enabled ? "true" : "false");
    quiet.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
    quiet.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
    for (const char* id : {Logger::DISC_LOG(), Logger::DATA_LOG()})
    {
        el::Loggers::getLogger(id);
        el::Loggers::reconfigureLogger(id, quiet);
    }
}
} // namespace testsupport
