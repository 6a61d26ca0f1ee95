// Entry of the unit tests: a Qt core application for timers, queued signals
// and deferred deletes (oxt::waitFor delivers them while it polls).
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
