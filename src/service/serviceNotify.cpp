#include "serviceNotify.h"

#include "logging.h"

#include <systemd/sd-daemon.h>

#include <cstring>

namespace {

void notify(const char* state)
{
    const int rc = sd_notify(0, state);
    if (rc < 0) {
        // Once is enough: a manager that cannot be reached will not be
        // reachable a second later either.
        static bool logged = false;
        if (!logged)
            qCWarning(lcService, "service manager notification \"%s\" failed: %s", state, std::strerror(-rc));
        logged = true;
    }
}

} // namespace

void serviceNotifyReady()
{
    notify("READY=1");
}

void serviceNotifyWatchdog()
{
    notify("WATCHDOG=1");
}

void serviceNotifyStopping()
{
    notify("STOPPING=1");
}
