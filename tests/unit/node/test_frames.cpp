// The node wire format without sockets: splitting a byte stream into
// zero-terminated frames, the frame bound, parsing and encoding; then the
// connection wrapper over a loopback socket pair.
#include "node/oxFrames.h"
#include "node/nodeServer.h"
#include "node/oxTcpClientSocket.h"
#include "oxtest.h"

#include <QJsonArray>
#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

QByteArray bytes(const std::string& s)
{
    return QByteArray(s.data(), static_cast<int>(s.size()));
}

// What a connection does with each read: append, then take frames until the
// reader wants more. Each entry is the frame as text, or "OVERFLOW".
struct Feed {
    oxFrameReader reader;
    std::vector<std::string> out;

    void read(const std::string& chunk)
    {
        reader.append(bytes(chunk));
        QByteArray frame;
        for (;;) {
            const auto r = reader.next(&frame);
            if (r == oxFrameReader::Result::NeedMore)
                return;
            if (r == oxFrameReader::Result::Overflow) {
                out.push_back("OVERFLOW");
                return;
            }
            out.push_back(frame.toStdString());
        }
    }
};

struct SplitCase {
    const char* name;
    std::vector<std::string> reads;
    std::vector<std::string> frames;
    int pendingAfter;
};

std::string z(const char* s)
{
    return std::string(s) + '\0';
}

class FrameSplitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FrameSplitting, DeliversFramesInOrder)
{
    const SplitCase& c = GetParam();
    Feed f;
    for (const std::string& r : c.reads)
        f.read(r);
    EXPECT_EQ(f.out, c.frames);
    EXPECT_EQ(f.reader.pending(), c.pendingAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameSplitting,
    ::testing::Values(
        SplitCase{"EmptyObjectIsOneFrame", {z("{}")}, {"{}"}, 0},
        SplitCase{"TwoBytesAreNotExamined", {z("x")}, {}, 2},
        SplitCase{"TwoBytesAreExaminedWhenMoreArrive", {z("x"), z("{}")}, {"x", "{}"}, 0},
        SplitCase{"ThreeFramesInOneRead", {z("{\"a\":1}") + z("{\"b\":2}") + z("{\"c\":3}")},
                  {"{\"a\":1}", "{\"b\":2}", "{\"c\":3}"}, 0},
        SplitCase{"TwoZeroBytesGiveAnEmptyFrame", {z("{}") + std::string(1, '\0') + z("{\"a\":1}")},
                  {"{}", "", "{\"a\":1}"}, 0},
        SplitCase{"ArrayIsAFrameToo", {z("[1,2]") + z("{}")}, {"[1,2]", "{}"}, 0},
        SplitCase{"NoZeroByteStaysBuffered", {"{\"cmd\":\"keepAlive\"", "   "}, {}, 21},
        SplitCase{"TailAfterFramesStaysBuffered", {z("{}") + "{\"a\""}, {"{}"}, 4},
        SplitCase{"TerminatorAloneCompletesAFrame", {"{\"a\":1}", std::string(1, '\0')}, {"{\"a\":1}"}, 0}),
    [](const ::testing::TestParamInfo<SplitCase>& i) { return std::string(i.param.name); });

TEST(FrameReader, SplitAtEveryBytePositionDeliversEachFrameOnce)
{
    const std::string stream = z("{\"cmd\":\"nodeLogin\",\"sn\":\"abcde\"}") + z("[1,2,3]") + z("{}") +
                               z("{\"k\":\"\\u00e9\xc3\xa9\"}");
    Feed whole;
    whole.read(stream);
    ASSERT_EQ(whole.out.size(), 4u);
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        Feed f;
        f.read(stream.substr(0, cut));
        f.read(stream.substr(cut));
        EXPECT_EQ(f.out, whole.out) << "cut at " << cut;
        EXPECT_EQ(f.reader.pending(), 0) << "cut at " << cut;
    }
    Feed bytewise;
    for (char ch : stream)
        bytewise.read(std::string(1, ch));
    EXPECT_EQ(bytewise.out, whole.out);
}

TEST(FrameReader, FrameOfExactlyTheBoundIsDelivered)
{
    Feed f;
    f.read(std::string(kMaxFrameBytes, 'a'));
    EXPECT_TRUE(f.out.empty());
    f.read(std::string(1, '\0'));
    ASSERT_EQ(f.out.size(), 1u);
    EXPECT_EQ(f.out[0].size(), static_cast<size_t>(kMaxFrameBytes));
}

TEST(FrameReader, BytesBeyondTheBoundWithoutZeroOverflowAndStaySo)
{
    Feed f;
    f.read(std::string(kMaxFrameBytes, 'a'));
    f.read("b");
    EXPECT_EQ(f.out, std::vector<std::string>{"OVERFLOW"});
    // Sticky: no frame is ever handed out again, and next() does not spin.
    f.read(z("{}"));
    EXPECT_EQ(f.out, (std::vector<std::string>{"OVERFLOW", "OVERFLOW"}));
    f.reader.clear();
    f.read(z("{}"));
    EXPECT_EQ(f.out.back(), "{}");
}

TEST(FrameReader, TerminatedFrameOverTheBoundOverflowsInOneRead)
{
    Feed f;
    f.read(z("{}") + std::string(kMaxFrameBytes + 1, 'a') + std::string(1, '\0'));
    EXPECT_EQ(f.out, (std::vector<std::string>{"{}", "OVERFLOW"}));
}

struct FindCase {
    const char* name;
    std::string buf;
    int pos, len, expected;
};

class FindStringEnd : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindStringEnd, FindsFirstZeroInRange)
{
    const FindCase& c = GetParam();
    EXPECT_EQ(findStringEnd(reinterpret_cast<const unsigned char*>(c.buf.data()), c.pos, c.len), c.expected);
    EXPECT_EQ(oxTcpClientSocket::findStringEnd(reinterpret_cast<const unsigned char*>(c.buf.data()), c.pos, c.len),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FindStringEnd,
    ::testing::Values(FindCase{"ZeroAtStart", std::string("\0ab", 3), 0, 3, 0},
                      FindCase{"ZeroInMiddle", std::string("ab\0c\0", 5), 0, 5, 2},
                      FindCase{"SearchStartsAtPos", std::string("ab\0c\0", 5), 3, 5, 4},
                      FindCase{"LenExcludesLaterZero", std::string("abc\0", 4), 0, 3, -1},
                      FindCase{"NoZero", std::string("abcd"), 0, 4, -1},
                      FindCase{"PosAtLen", std::string("\0\0", 2), 2, 2, -1},
                      FindCase{"PosBeyondLen", std::string("\0\0", 2), 3, 2, -1}),
    [](const ::testing::TestParamInfo<FindCase>& i) { return std::string(i.param.name); });

TEST(FrameParse, ObjectArrayAndGarbageAreTold)
{
    QJsonObject o;
    QString err;
    EXPECT_EQ(parseFrame("{\"a\":1}", &o, &err), FrameParse::Object);
    EXPECT_EQ(o.value("a").toInt(), 1);
    EXPECT_EQ(parseFrame("[1]", &o, &err), FrameParse::NotObject);
    EXPECT_EQ(parseFrame("x", &o, &err), FrameParse::Malformed);
    EXPECT_FALSE(err.isEmpty());
    EXPECT_EQ(parseFrame("", &o, &err), FrameParse::Malformed);
    EXPECT_EQ(parseFrame("{\"a\":1} trailing", &o, &err), FrameParse::Malformed);
}

struct DupCase {
    const char* name;
    const char* text;
    bool duplicate;
};

class DuplicateKeys : public ::testing::TestWithParam<DupCase> {};

// Qt 5.15 leaks the replaced value of a duplicate key while parsing, so such
// frames must be recognised before they reach it.
TEST_P(DuplicateKeys, AreFoundAfterUnescapingAndOnlyWithinOneObject)
{
    EXPECT_EQ(jsonHasDuplicateKeys(GetParam().text), GetParam().duplicate);
    QJsonObject o;
    QString err;
    if (GetParam().duplicate) {
        EXPECT_EQ(parseFrame(GetParam().text, &o, &err), FrameParse::Malformed);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DuplicateKeys,
    ::testing::Values(DupCase{"Plain", R"({"a":1,"a":2})", true},
                      DupCase{"ObjectValues", R"({"a":{"x":1},"a":{"y":2}})", true},
                      DupCase{"Escaped", R"({"a":1,"\u0061":2})", true},
                      DupCase{"EscapedQuote", R"({"a\"":1,"a\u0022":2})", true},
                      DupCase{"Nested", R"({"d":{"k":1,"k":[]}})", true},
                      DupCase{"InArray", R"([{"k":1},{"k":1,"k":2}])", true},
                      DupCase{"BeforeASyntaxError", R"({"a":{},"a":{} x)", true},
                      DupCase{"SameKeyInSiblingObjects", R"([{"k":1},{"k":1}])", false},
                      DupCase{"SameKeyAtTwoLevels", R"({"k":{"k":1}})", false},
                      DupCase{"ValueEqualsKey", R"({"a":"a","b":"a"})", false},
                      DupCase{"CaseDiffers", R"({"a":1,"A":2})", false},
                      DupCase{"KeyAfterNestedArray", R"({"a":[1,{"b":2}],"b":3})", false},
                      DupCase{"Unterminated", R"({"a":1,"a)", false},
                      DupCase{"NotJson", "x", false}),
    [](const ::testing::TestParamInfo<DupCase>& i) { return std::string(i.param.name); });

TEST(FrameEncode, EndsInExactlyOneZeroAndIsCompact)
{
    const QByteArray f = encodeFrame(QJsonObject{{"cmd", "setToken"}, {"data", QJsonObject{{"id", 3}}}});
    EXPECT_EQ(f, QByteArray("{\"cmd\":\"setToken\",\"data\":{\"id\":3}}", 34) + QByteArray(1, '\0'));
    EXPECT_EQ(f.count('\0'), 1);
    EXPECT_EQ(f.indexOf('\0'), f.size() - 1);
    // Zero characters inside strings are escaped, never raw.
    const QByteArray g = encodeFrame(QJsonObject{{"s", QString(QChar(0))}});
    EXPECT_EQ(g.count('\0'), 1);
}

// The wrapper over a real loopback connection: server side from the node
// server, client side a plain QTcpSocket driven by the same event loop.
class ClientSocket : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen(0, 16, 16, 0));
        QObject::connect(&server, &nodeServer::newClient, [this](oxTcpClientSocket* c) { wrapper = c; });
        server.onFrame = [this](oxTcpClientSocket* c, void*, const QJsonObject& o) {
            received.push_back(o);
            if (closeOnFrame)
                c->close();
        };
        server.onGone = [this](oxTcpClientSocket*, void*) { ++disconnects; };
        server.start();
        peer.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(server.listenPort()));
        ASSERT_TRUE(oxt::waitFor([&] { return wrapper != nullptr; }));
        ASSERT_TRUE(oxt::waitFor([&] { return peer.state() == QAbstractSocket::ConnectedState; }));
    }
    bool deleted() const { return server.clientObjects() == 0; }
    QByteArray readPeer(int n)
    {
        QByteArray got;
        oxt::waitFor([&] {
            got += peer.readAll();
            return got.size() >= n;
        });
        return got;
    }
    nodeServer server;
    QTcpSocket peer;
    oxTcpClientSocket* wrapper = nullptr;
    std::vector<QJsonObject> received;
    int disconnects = 0;
    bool closeOnFrame = false;
};

TEST_F(ClientSocket, ThreeFramesInOneWriteAreDeliveredInOrder)
{
    peer.write(QByteArray("{\"n\":1}\0[2]\0{\"n\":3}\0x\0{\"n\":4}\0", 31));
    ASSERT_TRUE(oxt::waitFor([&] { return received.size() >= 3; }));
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].value("n").toInt(), 1);
    EXPECT_EQ(received[1].value("n").toInt(), 3);
    EXPECT_EQ(received[2].value("n").toInt(), 4);
}

TEST_F(ClientSocket, SendFromMainThreadIsWrittenAndFramed)
{
    wrapper->sendJson(QJsonObject{{"cmd", "x"}});
    EXPECT_EQ(readPeer(12), QByteArray("{\"cmd\":\"x\"}\0", 12));
}

TEST_F(ClientSocket, SendFromAnotherThreadArrivesAfterTheLoopRuns)
{
    QThread* t = QThread::create([this] { wrapper->sendJson(QJsonObject{{"cmd", "y"}}); });
    t->start();
    t->wait();
    delete t;
    EXPECT_EQ(readPeer(12), QByteArray("{\"cmd\":\"y\"}\0", 12));
}

TEST_F(ClientSocket, CloseReportsDisconnectBeforeReturningAndDeletesLater)
{
    wrapper->close();
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(wrapper->isOpen());
    wrapper->close(); // a second close is harmless
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(oxt::waitFor([&] { return deleted(); }));
}

TEST_F(ClientSocket, ReceiverClosingStopsTheRestOfTheRead)
{
    closeOnFrame = true;
    peer.write(QByteArray("{\"n\":1}\0{\"n\":2}\0", 16));
    ASSERT_TRUE(oxt::waitFor([&] { return deleted(); }));
    EXPECT_EQ(received.size(), 1u);
    EXPECT_EQ(disconnects, 1);
}

TEST_F(ClientSocket, FloodWithoutZeroIsClosedAtTheBound)
{
    const QByteArray chunk(64 * 1024, 'a');
    qint64 written = 0;
    ASSERT_TRUE(oxt::waitFor(
        [&] {
            if (written <= kMaxFrameBytes + chunk.size() && peer.bytesToWrite() < chunk.size())
                written += peer.write(chunk);
            return deleted();
        },
        20000));
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(received.empty());
}

TEST_F(ClientSocket, FramesPastTheLoginBoundPassOnceLoggedIn)
{
    wrapper->markLoggedIn();
    const QByteArray big = "{\"a\":\"" + QByteArray(kMaxLoginFrameBytes * 2, 'x') + "\"}";
    peer.write(big + QByteArray(1, '\0'));
    ASSERT_TRUE(oxt::waitFor([&] { return received.size() == 1; }, 10000));
    EXPECT_EQ(disconnects, 0);
}

TEST_F(ClientSocket, PeerVanishingMidFrameDropsThePartAndReportsOnce)
{
    peer.write(QByteArray("{\"n\":1}\0{\"n\":", 13));
    ASSERT_TRUE(oxt::waitFor([&] { return received.size() == 1; }));
    peer.abort();
    ASSERT_TRUE(oxt::waitFor([&] { return deleted(); }));
    EXPECT_EQ(received.size(), 1u);
    EXPECT_EQ(disconnects, 1);
}

} // namespace
