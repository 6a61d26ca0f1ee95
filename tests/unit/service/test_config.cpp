// Settings and stream registry of the service object, in a temporary working
// directory (the service reads and writes its files relative to it).
#include "service/oxServices.h"
#include "oxStream.h"
#include "oxtest.h"
#include "service/publicFunc.h"

#include <QDir>
#include <QJsonDocument>
#include <QStringList>

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>

namespace {

const std::string kDefaultCfg =
    "{\n"
    "    \"localDevCfg\": true,\n"
    "    \"nicName\": \"\",\n"
    "    \"nodeToken\": \"73519046\",\n"
    "    \"password\": \"73519046\",\n"
    "    \"serverIP\": \"\",\n"
    "    \"username\": \"admin\",\n"
    "    \"webPort\": 8001\n"
    "}\n";

const std::string kDefaultStreams =
    "[\n"
    "    {\n"
    "        \"bitRate\": 0,\n"
    "        \"id\": 0,\n"
    "        \"inList\": [\n"
    "        ],\n"
    "        \"name\": \"Not Set\",\n"
    "        \"outList\": [\n"
    "        ],\n"
    "        \"type\": \"ctrl_stream\"\n"
    "    }\n"
    "]\n";

class ServiceFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.path())));
    }
    void TearDown() override
    {
        services.reset();
        QDir::setCurrent(previous);
    }
    oxServices& make()
    {
        services = std::make_unique<oxServices>();
        return *services;
    }
    std::vector<int> ids() const
    {
        std::vector<int> v;
        for (oxStream* s : services->streams)
            v.push_back(s->streamId);
        return v;
    }
    oxt::TempDir dir;
    QString previous;
    std::unique_ptr<oxServices> services;
};

TEST_F(ServiceFiles, FirstStartWritesBothFilesWithDefaults)
{
    make();
    EXPECT_EQ(dir.readFile("appcfg.json"), kDefaultCfg);
    EXPECT_EQ(dir.readFile("stream.json"), kDefaultStreams);
}

TEST_F(ServiceFiles, BrokenSettingsFilesFallBackToDefaultsAndAreRewritten)
{
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""},
        {"empty object", "{}"},
        {"malformed", "{\"webPort\": "},
        {"array instead of object", "[{\"webPort\": 9000}]"},
        {"zero byte inside", std::string("{}\0{\"webPort\":9000}", 19)},
    };
    for (const auto& c : cases) {
        dir.writeFile("appcfg.json", c.second);
        make();
        EXPECT_EQ(services->webPort, 8001) << c.first;
        EXPECT_EQ(dir.readFile("appcfg.json"), kDefaultCfg) << c.first;
        services.reset();
    }
}

TEST_F(ServiceFiles, WrongTypesReadAsDefaultsAndPartialFileIsKept)
{
    const std::string partial = "{\"webPort\": 9000}";
    dir.writeFile("appcfg.json", partial);
    make();
    EXPECT_EQ(services->webPort, 9000);
    EXPECT_EQ(services->username, QStringLiteral("admin"));
    EXPECT_EQ(dir.readFile("appcfg.json"), partial);
    services.reset();

    dir.writeFile("appcfg.json", "{\"webPort\": \"9000\", \"localDevCfg\": 0, \"username\": 5, \"serverIP\": \"10.1.1.1\"}");
    make();
    EXPECT_EQ(services->webPort, 8001);
    EXPECT_TRUE(services->localDevCfg);
    EXPECT_EQ(services->username, QStringLiteral("admin"));
    EXPECT_EQ(services->serverIP, QStringLiteral("10.1.1.1"));
}

TEST_F(ServiceFiles, SettingsCommandRules)
{
    oxServices& s = make();
    struct Case { const char* what; QJsonObject cfg; bool applied; bool localDev; };
    const Case cases[] = {
        {"upper bound without localDevCfg", {{"serverIP", "1.2.3.4"}, {"webPort", 65530}}, true, false},
        {"port above range", {{"serverIP", "1.2.3.5"}, {"webPort", 65531}}, false, false},
        {"port below range", {{"serverIP", "1.2.3.6"}, {"webPort", 79}}, false, false},
        {"empty address", {{"serverIP", ""}, {"webPort", 8080}}, false, false},
        {"port as text", {{"serverIP", "1.2.3.7"}, {"webPort", "8080"}}, false, false},
        {"lower bound with flag", {{"serverIP", "1.2.3.8"}, {"webPort", 80}, {"localDevCfg", true}}, true, true},
    };
    for (const Case& c : cases) {
        const QString before = s.serverIP;
        s.needSave = false;
        s.setSystemCfg(c.cfg);
        EXPECT_EQ(s.needSave, c.applied) << c.what;
        if (c.applied) {
            EXPECT_EQ(s.serverIP, c.cfg.value("serverIP").toString()) << c.what;
            EXPECT_EQ(s.webPort, c.cfg.value("webPort").toInt()) << c.what;
            EXPECT_EQ(s.localDevCfg, c.localDev) << c.what;
        } else {
            EXPECT_EQ(s.serverIP, before) << c.what;
        }
    }
}

TEST_F(ServiceFiles, StreamFileIdRules)
{
    dir.writeFile("stream.json",
                  "[{\"id\":3,\"name\":\"a\"},{\"id\":3,\"name\":\"b\"},{\"id\":101,\"name\":\"c\"},"
                  "{\"name\":\"d\"},{\"id\":\"4\"},{\"id\":-1},7]");
    make();
    ASSERT_EQ(ids(), std::vector<int>{3});
    EXPECT_EQ(services->streams.first()->streamName, QStringLiteral("a"));
    services->saveStream();
    const QJsonArray saved = readJsonArrayFile(QStringLiteral("stream.json"));
    ASSERT_EQ(saved.size(), 1);
    EXPECT_EQ(saved.first().toObject().value("name").toString(), QStringLiteral("a"));
}

TEST_F(ServiceFiles, StreamFileHundredIsAcceptedAndBrokenFilesGiveStreamZero)
{
    dir.writeFile("stream.json", "[{\"id\":100}]");
    make();
    EXPECT_EQ(ids(), std::vector<int>{100});
    services.reset();

    for (const char* bad : {"", "[", "{\"id\":1}", "[]", "[{\"id\":200}]"}) {
        dir.writeFile("stream.json", bad);
        make();
        EXPECT_EQ(ids(), std::vector<int>{0}) << bad;
        EXPECT_EQ(dir.readFile("stream.json"), kDefaultStreams) << bad;
        services.reset();
    }
}

TEST_F(ServiceFiles, IdAllocationTakesLowestFreeBelowHundred)
{
    dir.writeFile("stream.json", "[{\"id\":0},{\"id\":1},{\"id\":3},{\"id\":100}]");
    oxServices& s = make();
    EXPECT_EQ(s.getUseableStreamID(), 2);
    EXPECT_TRUE(s.checkStreamIdUsable(2));
    EXPECT_FALSE(s.checkStreamIdUsable(3));
    EXPECT_FALSE(s.checkStreamIdUsable(101));
    EXPECT_FALSE(s.checkStreamIdUsable(-1));
    s.streams.append(new oxStream(&s, 2, QJsonObject(), nullptr));
    EXPECT_EQ(s.getUseableStreamID(), 4);
    for (int i = 4; i <= 99; ++i)
        s.streams.append(new oxStream(&s, i, QJsonObject(), nullptr));
    EXPECT_EQ(s.getUseableStreamID(), -1);
}

TEST_F(ServiceFiles, ChangesWithinOneTickCauseOneSaveOfBothFiles)
{
    oxServices& s = make();
    const std::string streamsBefore = dir.readFile("stream.json");
    s.setSystemCfg(QJsonObject{{"serverIP", "10.0.0.1"}, {"webPort", 8001}});
    s.setSystemCfg(QJsonObject{{"serverIP", "10.0.0.2"}, {"webPort", 8002}});
    s.setSystemCfg(QJsonObject{{"serverIP", "10.0.0.3"}, {"webPort", 8003}, {"localDevCfg", false}});
    ::unlink(dir.file("stream.json").c_str());
    EXPECT_NE(dir.readFile("appcfg.json").find("\"webPort\": 8001"), std::string::npos);
    s.heartTimerSlots();
    EXPECT_FALSE(s.needSave);
    const std::string cfg = dir.readFile("appcfg.json");
    EXPECT_NE(cfg.find("\"serverIP\": \"10.0.0.3\""), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("\"webPort\": 8003"), std::string::npos) << cfg;
    EXPECT_EQ(dir.readFile("stream.json"), streamsBefore); // written together
    // Nothing changed since: the next tick writes nothing.
    ::unlink(dir.file("appcfg.json").c_str());
    s.heartTimerSlots();
    EXPECT_FALSE(dir.exists("appcfg.json"));
}

TEST_F(ServiceFiles, ShutdownWritesAPendingSave)
{
    oxServices& s = make();
    s.setSystemCfg(QJsonObject{{"serverIP", "192.0.2.9"}, {"webPort", 7001}});
    s.shutdown();
    EXPECT_NE(dir.readFile("appcfg.json").find("192.0.2.9"), std::string::npos);
    EXPECT_TRUE(s.streams.isEmpty());
}

TEST(JsonFiles, Md5IsLowerCaseHex)
{
    EXPECT_EQ(md5Str("", 0), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(md5Str("73519046", 8).size(), 32);
    EXPECT_EQ(md5Str("73519046", 8), md5Str("73519046", 8).toLower());
    const QString t1 = randomToken();
    const QString t2 = randomToken();
    EXPECT_EQ(t1.size(), 32);
    EXPECT_NE(t1, t2);
    EXPECT_EQ(t1, t1.toLower());
}

QStringList parserLines;

void keepParserLines(QtMsgType, const QMessageLogContext&, const QString& text)
{
    parserLines.append(text);
}

// A first start reads files that are not there yet: no parser message for
// those, but still one for a file that exists and is empty or malformed.
TEST(JsonFiles, ParserTextOnlyForAFileThatExists)
{
    oxt::TempDir dir;
    const std::pair<const char*, int> cases[] = {{nullptr, 0}, {"", 1}, {"{\"webPort\": ", 1}, {"{}", 0}};
    for (const auto& c : cases) {
        const std::string path = dir.file("f.json");
        ::unlink(path.c_str());
        if (c.first) {
            ASSERT_TRUE(dir.writeFile("f.json", c.first));
        }
        parserLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(&keepParserLines);
        readJsonFile(QString::fromStdString(path));
        readJsonArrayFile(QString::fromStdString(path));
        qInstallMessageHandler(previous);
        EXPECT_EQ(parserLines.size(), 2 * c.second) << (c.first ? c.first : "missing") << ": "
                                                     << qPrintable(parserLines.join(QLatin1Char('|')));
    }
}

} // namespace
