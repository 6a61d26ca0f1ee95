// Web login tokens on the service object, driven through webRequest with an
// injected clock: lifetime boundary, no extension by use, purging, and
// logins within one second. The service runs in a temporary working
// directory because it reads and writes its files relative to it.
#include "service/oxServices.h"
#include "oxtest.h"

#include <QDir>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<std::string>* g_log = nullptr;

void collect(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    if (g_log)
        g_log->push_back(msg.toStdString());
}

class WebTokens : public ::testing::Test
{
protected:
    void SetUp() override
    {
        previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.path())));
        services = std::make_unique<oxServices>();
        services->clock = [this] { return now; };
        g_log = &log;
        previousHandler = qInstallMessageHandler(&collect);
    }
    void TearDown() override
    {
        qInstallMessageHandler(previousHandler);
        g_log = nullptr;
        services.reset();
        QDir::setCurrent(previous);
    }
    QString login()
    {
        const QJsonObject r = services->webRequest(
            {{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(oxt::md5Hex("73519046"))}});
        EXPECT_EQ(r.value("result").toString(), QStringLiteral("success"));
        return r.value("token").toString();
    }
    // True when the token is accepted: the dispatcher answers the command.
    bool accepted(const QString& token)
    {
        const QJsonObject r = services->webRequest({{"cmd", "getStreamList"}, {"token", token}});
        if (r.value("cmd").toString() == QLatin1String("streamList"))
            return true;
        EXPECT_EQ(r, (QJsonObject{{"cmd", "logout"}, {"results", "failed"}, {"msg", "Timeout! please retry!"}}));
        return false;
    }
    bool logged(const std::string& line) const
    {
        for (const std::string& l : log)
            if (l == line)
                return true;
        return false;
    }

    oxt::TempDir dir;
    QString previous;
    std::unique_ptr<oxServices> services;
    const QDateTime t0 = QDateTime(QDate(2024, 3, 1), QTime(12, 0, 0));
    QDateTime now = t0;
    std::vector<std::string> log;
    QtMessageHandler previousHandler = nullptr;
};

TEST_F(WebTokens, ValidAtLifetimeBoundaryExpiredOneSecondLaterAndPurged)
{
    const QString token = login();
    now = t0.addSecs(18000);
    EXPECT_TRUE(accepted(token));
    now = t0.addSecs(18001);
    EXPECT_FALSE(accepted(token));
    EXPECT_TRUE(logged("Token timeout. 18001"));
    EXPECT_FALSE(services->webTokens.contains(token));
}

TEST_F(WebTokens, UseDoesNotExtendTheLifetime)
{
    const QString token = login();
    for (qint64 s : {1, 9000, 17999, 18000}) {
        now = t0.addSecs(s);
        EXPECT_TRUE(accepted(token)) << s;
    }
    now = t0.addSecs(18001);
    EXPECT_FALSE(accepted(token));
}

TEST_F(WebTokens, TwoLoginsInOneSecondGetDifferentValidTokens)
{
    const QString a = login();
    const QString b = login();
    const QRegularExpression hex32(QStringLiteral("^[0-9a-f]{32}$"));
    EXPECT_TRUE(hex32.match(a).hasMatch()) << a.toStdString();
    EXPECT_TRUE(hex32.match(b).hasMatch()) << b.toStdString();
    EXPECT_NE(a, b);
    EXPECT_TRUE(accepted(a));
    EXPECT_TRUE(accepted(b));
    EXPECT_EQ(services->webTokens.size(), 2);
}

TEST_F(WebTokens, LoginPurgesExpiredEntries)
{
    const QString old = login();
    now = t0.addSecs(10000);
    const QString younger = login();
    now = t0.addSecs(18001);
    const QString fresh = login();
    EXPECT_FALSE(services->webTokens.contains(old));
    EXPECT_TRUE(services->webTokens.contains(younger));
    EXPECT_TRUE(services->webTokens.contains(fresh));
    EXPECT_TRUE(logged("Token timeout. 18001"));
}

TEST_F(WebTokens, ClockSetBackKeepsTokenValid)
{
    const QString token = login();
    now = t0.addSecs(-3600);
    EXPECT_TRUE(accepted(token));
}

TEST_F(WebTokens, UnknownTokenIsRefusedAndExpiredOnesOnTheWayAreRemoved)
{
    const QString a = login();
    now = t0.addSecs(100);
    const QString b = login();
    now = t0.addSecs(18050);
    EXPECT_FALSE(accepted(QStringLiteral("0123456789abcdef0123456789abcdef")));
    EXPECT_FALSE(services->webTokens.contains(a));
    EXPECT_TRUE(services->webTokens.contains(b));
}

TEST_F(WebTokens, PasswordChangeEndsEverySession)
{
    const QString a = login();
    const QString b = login();
    const QJsonObject r = services->webRequest({{"cmd", "setWebPassword"},
                                                {"token", a},
                                                {"old", QString::fromStdString(oxt::md5Hex("73519046"))},
                                                {"new", QString::fromStdString(oxt::md5Hex("next"))}});
    EXPECT_EQ(r, (QJsonObject{{"results", "success"}, {"msg", "success"}}));
    EXPECT_TRUE(services->webTokens.isEmpty());
    EXPECT_FALSE(accepted(a));
    EXPECT_FALSE(accepted(b));
}

} // namespace
