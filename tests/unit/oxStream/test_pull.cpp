#include "sr_pull/pullBackoff.h"
#include "sr_pull/pullResolve.h"
#include "sr_pull/pullUrl.h"
#include "service/streamPull.h"

#include <gtest/gtest.h>

TEST(PullUrl, AcceptedForms)
{
    struct Case { const char* in; pullUrl::Scheme scheme; const char* host; int port; int latency; const char* pass; };
    const Case cases[] = {
        {"oxdp://origin.example:8020", pullUrl::Oxdp, "origin.example", 8020, 20, ""},
        {"oxdp://10.1.2.3:8040?latency=120", pullUrl::Oxdp, "10.1.2.3", 8040, 120, ""},
        {"OXDP://h:1?passphrase=abc%26defghij&latency=0", pullUrl::Oxdp, "h", 1, 0, "abc&defghij"},
        {"oxtcp://[fd00::1]:8020", pullUrl::Oxtcp, "fd00::1", 8020, 20, ""},
        {"oxtcp://edge-1:65535/", pullUrl::Oxtcp, "edge-1", 65535, 20, ""},
    };
    for (const Case& c : cases) {
        const pullUrl u = pullUrl::parse(QString::fromLatin1(c.in));
        ASSERT_TRUE(u.ok()) << c.in << " " << qPrintable(u.error);
        EXPECT_EQ(u.scheme, c.scheme) << c.in;
        EXPECT_EQ(u.host, QLatin1String(c.host)) << c.in;
        EXPECT_EQ(u.port, c.port) << c.in;
        EXPECT_EQ(u.latencyMs, c.latency) << c.in;
        EXPECT_EQ(u.passphrase, QByteArray(c.pass)) << c.in;
    }
}

TEST(PullUrl, RefusalsSayWhy)
{
    struct Case { QString in; const char* start; };
    const Case cases[] = {
        {"", "url does not parse"},
        {"origin:8020", "url does not parse"},
        {"http://origin:8020", "unknown scheme: http"},
        {"oxlat://origin:8021", "unknown scheme: oxlat"},
        {"oxdp://origin", "url does not parse: no port"},
        {"oxdp://:8020", "url does not parse: no host"},
        {"oxdp://origin:80a", "url does not parse: the port is not a number"},
        {"oxdp://origin:0", "port out of range: 0"},
        {"oxdp://origin:65536", "port out of range: 65536"},
        {"oxdp://origin:99999999999", "port out of range"},
        {"oxdp://or igin:8020", "url does not parse: bad host"},
        {"oxdp://::1:8020", "url does not parse: bad host"},
        {"oxdp://origin:8020?passphrase=short", "url does not parse: passphrase must be 10 to 79"},
        {"oxdp://origin:8020?passphrase=" + QString(80, 'p'), "url does not parse: passphrase must be 10 to 79"},
        {"oxdp://origin:8020?latency=-1", "url does not parse: latency"},
        {"oxdp://origin:8020?latency=10001", "url does not parse: latency"},
        {"oxdp://origin:8020?mode=listener", "url does not parse: unknown option"},
        {"oxtcp://origin:8020?latency=20", "url does not parse: oxtcp:// takes no options"},
        {"oxtcp://origin:8020" + QString(1100, 'x'), "url does not parse: longer than 1024"},
    };
    for (const Case& c : cases) {
        const pullUrl u = pullUrl::parse(c.in);
        EXPECT_FALSE(u.ok()) << qPrintable(c.in);
        EXPECT_TRUE(u.error.startsWith(QLatin1String(c.start))) << qPrintable(c.in) << " -> " << qPrintable(u.error);
    }
}

TEST(PullUrl, RedactedHidesThePassphraseOnly)
{
    EXPECT_EQ(pullUrl::redacted("oxdp://h:1?passphrase=0123456789&latency=5"),
              QString("oxdp://h:1?passphrase=***&latency=5"));
    EXPECT_EQ(pullUrl::redacted("oxtcp://h:1"), QString("oxtcp://h:1"));
}

TEST(StreamPull, OwnOutputOnThisMachineIsALoop)
{
    struct Case { const char* url; int stream; bool loop; };
    const Case cases[] = {
        {"oxdp://127.0.0.1:8020", 0, true},
        {"oxtcp://localhost:8020", 0, true},
        {"oxtcp://127.0.0.2:8061", 2, true},
        {"oxtcp://0.0.0.0:8040", 1, true},
        {"oxdp://[::1]:8040", 1, true},
        {"oxdp://127.0.0.1:8040", 0, false},  // another stream's output
        {"oxtcp://127.0.0.1:8010", 0, false}, // an input
        {"oxdp://192.0.2.7:8020", 0, false},  // not an address of this machine
    };
    for (const Case& c : cases) {
        const QString why = streamPull::refusal(QString::fromLatin1(c.url), c.stream);
        EXPECT_EQ(why.startsWith(QLatin1String("loop:")), c.loop) << c.url << " -> " << qPrintable(why);
        if (!c.loop) {
            EXPECT_TRUE(why.isEmpty()) << c.url << " -> " << qPrintable(why);
        }
    }
}

TEST(PullBackoff, DoublesToTenSecondsAndStartsOverAfterAMinuteConnected)
{
    pullBackoff b;
    const int expected[] = {1000, 2000, 4000, 8000, 10000, 10000};
    for (int e : expected)
        EXPECT_EQ(b.nextDelayMs(), e);
    b.connectedAt(100000);
    b.lostAt(159999); // short of a minute: keeps backing off
    EXPECT_EQ(b.nextDelayMs(), 10000);
    b.connectedAt(200000);
    b.lostAt(260000);
    EXPECT_EQ(b.nextDelayMs(), 1000);
    EXPECT_EQ(b.nextDelayMs(), 2000);
}

TEST(PullResolve, LiteralsAtOnceNamesOnAThreadOfTheirOwn)
{
    std::atomic<bool> stop{false};
    QString why;
    const auto literal = pullResolve::lookup("127.0.0.1", 8020, true, stop, &why);
    ASSERT_EQ(literal.size(), 1u) << qPrintable(why);
    EXPECT_EQ(pullResolve::text(literal[0]), QString("127.0.0.1:8020"));
    EXPECT_TRUE(pullResolve::isLocal(reinterpret_cast<const sockaddr*>(&literal[0].addr)));

    const auto named = pullResolve::lookup("localhost", 8040, false, stop, &why);
    ASSERT_FALSE(named.empty()) << qPrintable(why);
    EXPECT_TRUE(pullResolve::isLocal(reinterpret_cast<const sockaddr*>(&named[0].addr)));

    stop.store(true); // a stopped endpoint never waits for the resolver
    EXPECT_TRUE(pullResolve::lookup("localhost", 8040, false, stop, &why).empty());
    EXPECT_EQ(why, QString("stopped"));
}
