#pragma once
// The service manager's notify protocol (systemd, Type=notify): "READY=1"
// once the service's ports are open, "WATCHDOG=1" from every heart tick so
// that a wedged main thread is restarted, "STOPPING=1" on an orderly end.
// Without NOTIFY_SOCKET in the environment every call does nothing.
//
// Main thread only.
void serviceNotifyReady();
void serviceNotifyWatchdog();
void serviceNotifyStopping();
