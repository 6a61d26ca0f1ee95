#include "service/oxObject.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// Captures what oxLog writes to stdout.
std::string captureLog(oxObject& o, int level, const char* msg)
{
    std::fflush(stdout);
    char path[] = "/tmp/oxlogXXXXXX";
    const int fd = mkstemp(path);
    const int saved = dup(1);
    dup2(fd, 1);
    o.oxLog(level, "%s", msg);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    char buf[512];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(path);
    return out;
}

TEST(OxLog, PrefixColourAndThreshold)
{
    oxObject o;
    o.type = QStringLiteral("st_tcp");
    o.name = QStringLiteral("cam_tcpTx");
    o.endpointId = 1;
    struct Case { int logLevel; int level; std::string expected; };
    const Case cases[] = {
        {0, 99, "\x1b[39m st_tcp:cam_tcpTx.1\thi\n\x1b[39m"},
        {0, 100, "\x1b[31m st_tcp:cam_tcpTx.1\thi\n\x1b[39m"},
        {200, 99, ""},
        {200, 100, ""},
        {101, 100, ""},
        {100, 100, "\x1b[31m st_tcp:cam_tcpTx.1\thi\n\x1b[39m"},
    };
    for (const Case& c : cases) {
        o.setLogLeve(c.logLevel);
        EXPECT_EQ(captureLog(o, c.level, "hi\n"), c.expected) << c.logLevel << "/" << c.level;
    }
}

TEST(OxLog, DefaultsOfTheBase)
{
    oxObject o;
    EXPECT_EQ(o.type, QStringLiteral("Notset"));
    EXPECT_TRUE(o.name.isEmpty());
    EXPECT_EQ(o.logLevel, 0);
    EXPECT_EQ(captureLog(o, 1, "x"), "\x1b[39m Notset:.0\tx\x1b[39m");
}

} // namespace
