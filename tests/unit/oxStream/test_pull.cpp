#include "sr_pull/pullBackoff.h"
#include "sr_pull/pullChain.h"
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
        {"oxtcp://A-1.b2.example.:8020", pullUrl::Oxtcp, "A-1.b2.example.", 8020, 20, ""},
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
        {"oxtcp://[fd00::1]:8020", "url does not parse: bad host"},
        {"oxtcp://\x1b\x07" "evil:9000", "url does not parse: bad host"},
        {QString::fromLatin1("oxtcp://ev\0il.example:9000", sizeof "oxtcp://ev\0il.example:9000" - 1), "url does not parse: bad host"},
        {QString::fromUtf8("oxtcp://ev\u0085il.example:9000"), "url does not parse: bad host"},   // C1 control
        {QString::fromUtf8("oxtcp://\u202Eelpmaxe.live:9000"), "url does not parse: bad host"}, // right-to-left override
        {"oxtcp://user@origin:9000", "url does not parse: bad host"},
        {"oxtcp://or_igin:9000", "url does not parse: bad host"},
        {"oxtcp://-origin:9000", "url does not parse: bad host"},
        {"oxtcp://origin-.example:9000", "url does not parse: bad host"},
        {"oxtcp://origin..example:9000", "url does not parse: bad host"},
        {"oxtcp://" + QString(64, 'a') + ".example:9000", "url does not parse: bad host"},
        {"oxtcp://10.0.0.256:9000", "url does not parse: bad host"},
        {"oxtcp://10.0.0:9000", "url does not parse: bad host"},
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

TEST(PullUrl, HostOfAtMost253Characters)
{
    QString host;
    while (host.size() < 253)
        host += QStringLiteral("abcdefgh.");
    host = host.left(253);
    if (host.endsWith(QLatin1Char('.')))
        host[252] = QLatin1Char('x');
    EXPECT_TRUE(pullUrl::parse("oxtcp://" + host + ":1").ok());
    EXPECT_FALSE(pullUrl::parse("oxtcp://" + host + "x:1").ok());
}

TEST(PullChain, StreamIdCarriesThisStreamFirstAndParsesBack)
{
    const QByteArray self = pullChain::entry(4);
    ASSERT_EQ(self.size(), 18);
    EXPECT_EQ(pullChain::entry(4), self) << "stable within the process";
    const QByteArray other = "0123456789abcdef/2";
    const QByteArray id = pullChain::streamIdFor(4, {other, self, other});
    EXPECT_EQ(id, "#!::oxchain=" + self + "." + other);
    EXPECT_EQ(pullChain::parse(id.constData()), (QList<QByteArray>{self, other}));

    QList<QByteArray> many;
    for (int i = 0; i < 40; ++i)
        many.append("0123456789abcdef/" + QByteArray::number(i));
    EXPECT_EQ(pullChain::parse(pullChain::streamIdFor(0, many).constData()).size(), pullChain::kMaxEntries);
}

TEST(PullChain, ForeignOrMalformedStreamIdsHoldNoChain)
{
    struct Case { const char* in; int entries; };
    const Case cases[] = {
        {"", 0},
        {"live/stream1", 0},
        {"#!::r=live,m=request", 0},
        {"#!::oxchain=", 0},
        {"#!::oxchain=0123456789ABCDEF/1", 0},  // upper case
        {"#!::oxchain=0123456789abcde/1", 0},   // 15 digits
        {"#!::oxchain=0123456789abcdef/", 0},
        {"#!::oxchain=0123456789abcdef/12345", 0},
        {"#!::oxchain=0123456789abcdef/1x", 0},
        {"#!::m=request,oxchain=0123456789abcdef/1.junk.fedcba9876543210/22", 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pullChain::parse(c.in).size(), c.entries) << c.in;
    EXPECT_TRUE(pullChain::parse(nullptr).isEmpty());
}
