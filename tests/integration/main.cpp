// Entry of the integration tests. ctest runs every case in a process of its
// own, and each such process first moves into a private network namespace:
// the service's fixed ports never collide and cases may run in parallel.
#include "oxtest.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv)
{
    // Writing to a socket whose peer has gone must fail, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (gtest_discover_tests at build time) needs no namespace
    // and may run without root; everything else enters one before any thread starts.
    if (!GTEST_FLAG_GET(list_tests))
        oxt::enterPrivateNetns(true);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
