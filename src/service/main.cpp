// Process entry: the Qt core application, the service object, the web server
// thread, an orderly end on SIGTERM/SIGINT (pending save first, exit 0) and a
// pending save and a new reading of the HTTPS certificate on SIGHUP, after
// which the service goes on.
#include "logging.h"
#include "oxProfile.h"
#include "oxServices.h"
#include "serviceNotify.h"
#include "web/webCgi.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QTextCodec>

#include <csignal>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int signo)
{
    const char c = signo == SIGHUP ? 'h' : 't';
    // Async-signal-safe hand-over to the event loop.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

// SIGTERM and SIGINT end the service in order; SIGHUP writes a pending save
// and reloads the HTTPS certificate.
void installTerminationHandler(QCoreApplication& app, oxServices* services, webThread* web)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app, services, web, notifier] {
        char c = 't';
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &c, 1);
        if (c == 'h') {
            qCDebug(lcService, "SIGHUP: writing a pending save");
            services->saveIfNeeded();
            web->reloadCertificate();
            return;
        }
        notifier->setEnabled(false);
        qCDebug(lcService, "termination requested, saving and stopping");
        serviceNotifyStopping();
        services->shutdown();
        // Requests still waiting for the main thread are ended, not answered.
        web->stop();
        app.quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

// Every stream connection, node and web request is a descriptor: take all
// the system allows, so that only the service's own bounds refuse peers.
void raiseDescriptorLimit()
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= rl.rlim_max)
        return;
    rl.rlim_cur = rl.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &rl) != 0)
        qCWarning(lcService, "descriptor limit stays at its soft value");
}

} // namespace

int main(int argc, char** argv)
{
    oxProfile::select(programProfile());
    // Log lines carry only their text unless the operator asks for more
    // (QT_MESSAGE_PATTERN="%{category}: %{message}" shows the category).
    if (qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(QStringLiteral("%{message}"));
    // Qt's own event dispatcher scales to thousands of node connections far
    // better than the glib one (which walks every descriptor on each pass).
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    raiseDescriptorLimit();
    QCoreApplication app(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    // Writing to a socket whose peer has gone must return an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    auto* services = new oxServices(&app);
    auto* web = new webThread(services, &app);
    installTerminationHandler(app, services, web);
    QObject::connect(services, &oxServices::httpsCertificateChanged, web, &webThread::reloadCertificate);
    // The node port and the stream ports open in start(); the web port last.
    QObject::connect(web, &webThread::serving, &app, [] { serviceNotifyReady(); });
    QObject::connect(services->heartTimer, &QTimer::timeout, &app, [] { serviceNotifyWatchdog(); });
    services->start();
    // After the service: API requests need the service ready. A port that
    // cannot be opened ends the process from the web thread.
    web->start();

    const int rc = app.exec();
    services->shutdown();
    web->stop();
    return rc;
}
