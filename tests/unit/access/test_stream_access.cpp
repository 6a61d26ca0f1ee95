#include "access/allowList.h"
#include "access/loginBackoff.h"
#include "access/streamAccess.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

namespace {

uint32_t ip(const char* text)
{
    uint32_t net = 0, mask = 0;
    EXPECT_TRUE(oxAllowList::parseEntry(QString::fromLatin1(text), &net, &mask)) << text;
    return net;
}

QJsonValue json(const char* text)
{
    return QJsonDocument::fromJson(QByteArray("[") + text + "]").array().at(0);
}

} // namespace

TEST(AllowList, EntriesThatParseAndEntriesThatDoNot)
{
    struct Case { const char* text; bool ok; uint32_t network; uint32_t mask; };
    const Case cases[] = {
        {"127.0.0.1", true, 0x7f000001, 0xffffffff},
        {"10.0.0.0/8", true, 0x0a000000, 0xff000000},
        {"10.1.2.3/8", true, 0x0a000000, 0xff000000}, // host bits ignored
        {"0.0.0.0/0", true, 0, 0},
        {"192.168.1.7/32", true, 0xc0a80107, 0xffffffff},
        {"255.255.255.255", true, 0xffffffff, 0xffffffff},
        {"", false, 0, 0},
        {"256.0.0.1", false, 0, 0},
        {"1.2.3", false, 0, 0},
        {"1.2.3.4.5", false, 0, 0},
        {"1.2.3.4/33", false, 0, 0},
        {"1.2.3.4/", false, 0, 0},
        {"1.2.3.4/-1", false, 0, 0},
        {"1.2.3.4/+8", false, 0, 0},
        {"1.2..4", false, 0, 0},
        {" 1.2.3.4", false, 0, 0},
        {"1.2.3.4 ", false, 0, 0},
        {"0x7f.0.0.1", false, 0, 0},
        {"1234.0.0.1", false, 0, 0},
        {"::1", false, 0, 0},
        {"localhost", false, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t net = 1, mask = 1;
        EXPECT_EQ(oxAllowList::parseEntry(QString::fromLatin1(c.text), &net, &mask), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(net, c.network) << c.text;
            EXPECT_EQ(mask, c.mask) << c.text;
        }
    }
}

TEST(AllowList, ListsAreTakenOrRefusedAsAWhole)
{
    struct Case { const char* json; bool ok; };
    const Case cases[] = {
        {"[]", true},
        {"[\"127.0.0.1\", \"10.0.0.0/8\"]", true},
        {"\"127.0.0.1\"", false},
        {"{}", false},
        {"[\"127.0.0.1\", 5]", false},
        {"[\"127.0.0.1\", \"nope\"]", false},
    };
    for (const Case& c : cases) {
        QString error;
        EXPECT_EQ(oxAllowList::parse(json(c.json), &error).has_value(), c.ok) << c.json;
        EXPECT_EQ(error.isEmpty(), c.ok) << c.json;
    }
    QJsonArray tooMany;
    for (int i = 0; i <= oxAllowList::kMaxEntries; ++i)
        tooMany.append(QStringLiteral("10.0.0.%1").arg(i));
    QString error;
    EXPECT_FALSE(oxAllowList::parse(tooMany, &error));
}

TEST(AllowList, MatchesAddressesInsideItsRangesOnly)
{
    QString error;
    const auto list = oxAllowList::parse(json("[\"127.0.0.1\", \"10.0.0.0/8\"]"), &error);
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->allows(ip("127.0.0.1")));
    EXPECT_FALSE(list->allows(ip("127.0.0.2")));
    EXPECT_TRUE(list->allows(ip("10.255.0.1")));
    EXPECT_FALSE(list->allows(ip("11.0.0.1")));
    EXPECT_TRUE(oxAllowList().allows(ip("8.8.8.8"))); // empty: anyone
}

TEST(StreamAccessRules, ChangesApplyOrAreRefusedWithNothingChanged)
{
    oxStreamAccessRules rules;
    QString error;
    auto set = rules.changedBy(QJsonDocument::fromJson(R"({"publishPassphrase":"0123456789",
        "inputAllow":["127.0.0.1"]})").object(), &error);
    ASSERT_TRUE(set) << error.toStdString();
    EXPECT_EQ(set->publishPassphrase, "0123456789");
    EXPECT_FALSE(set->inputAllow.isEmpty());

    struct Case { const char* data; const char* why; };
    const Case refused[] = {
        {R"({"publishPassphrase":"012345678"})", "publishPassphrase must be 10 to 79 characters long"},
        {R"({"readPassphrase":"01234567890123456789012345678901234567890123456789012345678901234567890123456789"})",
         "readPassphrase must be 10 to 79 characters long"},
        {R"({"readPassphrase":5})", "readPassphrase is not a string"},
        {R"({"readPassphrase":"caf\u00e9caf\u00e9caf\u00e9"})", "readPassphrase may hold printable ASCII characters only"},
        {R"({"outputAllow":"127.0.0.1"})", "outputAllow is not a list"},
        {R"({"inputAllow":["127.0.0.1"],"outputAllow":["x"]})", "outputAllow entry \"x\" is not an IPv4 address or range"},
    };
    for (const Case& c : refused) {
        QString why;
        EXPECT_FALSE(set->changedBy(QJsonDocument::fromJson(c.data).object(), &why)) << c.data;
        EXPECT_EQ(why.toStdString(), c.why);
    }

    // Left out: kept; empty: removed.
    auto cleared = set->changedBy(QJsonDocument::fromJson(R"({"inputAllow":[]})").object(), &error);
    ASSERT_TRUE(cleared);
    EXPECT_TRUE(cleared->inputAllow.isEmpty());
    EXPECT_EQ(cleared->publishPassphrase, "0123456789");
    cleared = cleared->changedBy(QJsonDocument::fromJson(R"({"publishPassphrase":""})").object(), &error);
    ASSERT_TRUE(cleared);
    EXPECT_TRUE(cleared->isEmpty());
}

TEST(StreamAccessRules, TheStatusNeverShowsAPassphrase)
{
    QString error;
    auto rules = oxStreamAccessRules().changedBy(
        QJsonDocument::fromJson(R"({"readPassphrase":"secret-passphrase"})").object(), &error);
    ASSERT_TRUE(rules);
    const QByteArray status = QJsonDocument(rules->toStatus()).toJson(QJsonDocument::Compact);
    EXPECT_EQ(status.toStdString(), R"({"inputAllow":[],"outputAllow":[],"publishPassphraseSet":false,"readPassphraseSet":true})");
    EXPECT_TRUE(QJsonDocument(rules->toFile()).toJson().contains("secret-passphrase"));
}

TEST(LoginBackoff, FiveFailuresInAMinuteWaitThirtySeconds)
{
    loginBackoff b;
    const QString a = QStringLiteral("10.0.0.1");
    for (int i = 0; i < loginBackoff::kFailLimit - 1; ++i)
        EXPECT_FALSE(b.failed(a, 1000 + i));
    EXPECT_FALSE(b.mustWait(a, 2000));
    EXPECT_TRUE(b.failed(a, 2000));
    EXPECT_TRUE(b.mustWait(a, 2000 + loginBackoff::kWaitMs - 1));
    EXPECT_FALSE(b.mustWait(QStringLiteral("10.0.0.2"), 2001));
    EXPECT_FALSE(b.mustWait(a, 2000 + loginBackoff::kWaitMs));

    // Failures spread wider than the window never add up to a wait.
    loginBackoff slow;
    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(slow.failed(a, i * (loginBackoff::kFailWindowMs / 4 + 1)));

    loginBackoff full;
    for (int i = 0; i <= loginBackoff::kMaxAddresses; ++i)
        full.failed(QString::number(i), i);
    EXPECT_EQ(full.size(), loginBackoff::kMaxAddresses);
}
