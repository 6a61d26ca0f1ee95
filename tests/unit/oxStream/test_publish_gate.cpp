// The publish gate without a stream: scripted publishers (A on the TCP input,
// B on the SRT input) send TS packets or raw bytes at given times; what the
// gate relays is read back as the list of packets it is made of.
#include "publishGate.h"
#include "publishPolicy.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cctype>

#include <string>
#include <vector>

namespace {

constexpr size_t kPkt = publishGate::kTsPacket;
constexpr size_t kMarkAt = 100; // where a test packet says whose and which it is

// One test packet: 'T' a PAT, 'R' a video packet that starts a random access
// point, 'P' any other video packet. Publishers use PIDs of their own.
std::string packet(char who, int index, char kind)
{
    std::string p(kPkt, '\xff');
    const int pid = kind == 'T' ? 0 : (who == 'A' ? 0x100 : 0x200);
    p[0] = 0x47;
    p[1] = static_cast<char>((kind == 'P' ? 0 : 0x40) | ((pid >> 8) & 0x1f));
    p[2] = static_cast<char>(pid & 0xff);
    p[3] = static_cast<char>(kind == 'R' ? 0x30 : 0x10);
    if (kind == 'R') {
        p[4] = 7;
        p[5] = 0x40; // random access indicator
    }
    p[kMarkAt] = who;
    p[kMarkAt + 1] = static_cast<char>(index);
    return p;
}

struct Sink {
    std::string bytes;
    int calls = 0;
    static void emit(void* ctx, const uint8_t* d, size_t n, bool)
    {
        auto* s = static_cast<Sink*>(ctx);
        s->bytes.append(reinterpret_cast<const char*>(d), n);
        ++s->calls;
    }
    // "A0 A1 B3": the packets relayed; "torn" when one is not a whole packet.
    std::string packets() const
    {
        if (bytes.size() % kPkt)
            return "torn";
        std::string out;
        for (size_t i = 0; i < bytes.size(); i += kPkt) {
            if (static_cast<uint8_t>(bytes[i]) != 0x47)
                return "torn";
            out += (out.empty() ? "" : " ") + std::string(1, bytes[i + kMarkAt])
                + std::to_string(static_cast<int>(bytes[i + kMarkAt + 1]));
        }
        return out;
    }
};

struct Step {
    int atMs;
    char who;          // 'A' (sr_tcp) or 'B' (sr_oxdp); 'F': the operator forces a switch
    const char* what;  // packet kinds; 'G': 50 bytes that are no packet
    size_t split;      // chunk size the bytes are cut into (0: one chunk)
};

struct Case {
    const char* name;
    const char* policy; // publish policy as JSON
    std::vector<Step> steps;
    const char* relayed;
    int switches;
};

publishPolicy policyOf(const char* json)
{
    QString error;
    const publishPolicy p = publishPolicy::fromJson(QJsonDocument::fromJson(json).object(), &error);
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    return p;
}

void run(publishGate& gate, Sink& sink, const std::vector<Step>& steps)
{
    int next[2] = {0, 0};
    for (const Step& s : steps) {
        if (s.who == 'F') {
            gate.forceSwitch();
            continue;
        }
        std::string bytes;
        for (const char* k = s.what; *k; ++k) {
            if (*k == ' ')
                continue;
            if (*k == 'G')
                bytes += std::string(50, '\0');
            else
                bytes += packet(s.who, next[s.who - 'A']++, *k);
        }
        const publishGate::publisher who{s.who == 'A' ? publishInput::tcp : publishInput::oxdp, 1,
                                         s.who == 'A' ? "10.0.0.1:5000" : "10.0.0.2:6000"};
        const size_t split = s.split ? s.split : bytes.size();
        for (size_t at = 0; at < bytes.size(); at += split) {
            const size_t n = std::min(split, bytes.size() - at);
            gate.offer(who, reinterpret_cast<const uint8_t*>(bytes.data()) + at, n, int64_t(s.atMs) * 1000000,
                       &Sink::emit, &sink);
        }
    }
}

const char* const kSingle = R"({"mode": "single"})";
const char* const kSingleNoKey = R"({"mode": "single", "atKeyframe": false})";
const char* const kFailover = R"({"mode": "failover", "returnMs": 1000})";

const Case kCases[] = {
    {"whole packets across odd chunk cuts", kSingle, {{0, 'A', "TRPPP", 100}, {10, 'A', "PP", 7}}, "A0 A1 A2 A3 A4 A5 A6", 1},
    {"a second publisher is not relayed", kSingle,
     {{0, 'A', "TRPP", 0}, {10, 'B', "TRP", 0}, {20, 'A', "P", 0}}, "A0 A1 A2 A3 A4", 1},
    {"loss: the waiting publisher starts at its kept key frame", kSingle,
     {{0, 'A', "TRP", 0}, {100, 'B', "TRPP", 90}, {700, 'B', "P", 0}}, "A0 A1 A2 B0 B1 B2 B3 B4", 2},
    {"with nothing kept the switch waits for a key frame", kSingle,
     {{0, 'A', "TRP", 0}, {100, 'B', "PP", 0}, {700, 'B', "PRP", 0}}, "A0 A1 A2 B3 B4", 2},
    {"without atKeyframe the switch is at the next whole packet", kSingleNoKey,
     {{0, 'A', "TRP", 0}, {100, 'B', "PP", 0}, {700, 'B', "PP", 300}}, "A0 A1 A2 B2 B3", 2},
    {"no switch before lossMs of silence", kSingle,
     {{0, 'A', "TRP", 0}, {100, 'B', "TRP", 0}, {500, 'B', "P", 0}, {550, 'A', "P", 0}}, "A0 A1 A2 A3", 1},
    {"failover: the backup takes over once the primary is lost", kFailover,
     {{0, 'A', "TRP", 0}, {100, 'B', "TRP", 0}, {400, 'A', "P", 0}, {500, 'B', "P", 0}, {1000, 'B', "P", 0}},
     "A0 A1 A2 A3 B0 B1 B2 B3 B4", 2},
    {"failover: the primary comes back after returnMs of steady sending, at a fresh key frame", kFailover,
     {{0, 'B', "TRP", 0}, {100, 'A', "TRP", 0}, {400, 'B', "P", 0}, {500, 'A', "P", 0}, {800, 'B', "P", 0},
      {900, 'A', "P", 0}, {1050, 'B', "P", 0}, {1100, 'A', "PRP", 0}},
     "B0 B1 B2 B3 B4 B5 A6 A7", 2},
    {"a forced switch hands over at the kept key frame", kSingle,
     {{0, 'A', "TRP", 0}, {10, 'B', "TRP", 0}, {20, 'F', "", 0}, {30, 'A', "P", 0}, {40, 'B', "P", 0}},
     "A0 A1 A2 A3 B0 B1 B2 B3", 2},
    {"lost sync: what is relayed stays whole packets", kSingleNoKey,
     {{0, 'A', "TRPPP G PP", 0}, {10, 'A', "PPP", 0}}, "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9", 1},
};

class PublishGate : public ::testing::TestWithParam<Case> {};

TEST_P(PublishGate, Relays)
{
    const Case& c = GetParam();
    publishGate gate;
    gate.setPolicy(policyOf(c.policy));
    Sink sink;
    run(gate, sink, c.steps);
    EXPECT_EQ(sink.packets(), c.relayed);
    EXPECT_EQ(gate.snapshot().switches, static_cast<uint64_t>(c.switches));
}

INSTANTIATE_TEST_SUITE_P(Cases, PublishGate, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) {
                             std::string n;
                             for (const char* p = i.param.name; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

// Bytes that are no TS switch on chunk boundaries; what is dropped is counted.
TEST(PublishGateRaw, SwitchesOnChunks)
{
    publishGate gate;
    gate.setPolicy(policyOf(kSingle));
    Sink sink;
    const std::string a(1000, 'a'), b(1000, 'b');
    const publishGate::publisher pa{publishInput::tcp, 1, "a"}, pb{publishInput::pull, 1, "b"};
    gate.offer(pa, reinterpret_cast<const uint8_t*>(a.data()), a.size(), 0, &Sink::emit, &sink);
    gate.offer(pb, reinterpret_cast<const uint8_t*>(b.data()), b.size(), 100000000, &Sink::emit, &sink);
    gate.offer(pb, reinterpret_cast<const uint8_t*>(b.data()), 300, 700000000, &Sink::emit, &sink);
    EXPECT_EQ(sink.bytes, a + b.substr(0, 300));
    const publishGate::figures f = gate.snapshot();
    EXPECT_EQ(f.droppedBytes, 1000u);
    EXPECT_TRUE(f.active);
    EXPECT_EQ(f.input, publishInput::pull);
    EXPECT_EQ(f.address, "b");
    EXPECT_EQ(f.lastReason, publishGate::Reason::loss);
}

// A small read that completes the packet the read before began goes out in
// one piece with it: one fan-out (one SRT message) per read, not two.
TEST(PublishGateSplit, ReadsThatCutPacketsGoOutInOnePieceEach)
{
    publishGate gate;
    gate.setPolicy(policyOf(kSingle));
    Sink sink;
    run(gate, sink, {{0, 'A', "TRPPP", 0}});
    const int before = sink.calls;
    run(gate, sink, {{10, 'A', "PPPPPPPPPP", 300}}); // 7 reads, 6 of them end inside a packet
    EXPECT_EQ(sink.packets(), "A0 A1 A2 A3 A4 A0 A1 A2 A3 A4 A5 A6 A7 A8 A9");
    EXPECT_LE(sink.calls - before, 7);
}

// Every invalid value is refused with a reason; defaults fill what is left out.
TEST(PublishPolicy, Validation)
{
    const char* const bad[] = {
        R"({"mode": "Single"})",          R"({"mode": 1})",
        R"({"priority": []})",            R"({"priority": ["sr_tcp", "sr_tcp"]})",
        R"({"priority": ["st_tcp"]})",    R"({"priority": "sr_tcp"})",
        R"({"lossMs": 10})",              R"({"lossMs": 500.5})",
        R"({"returnMs": -1})",            R"({"returnMs": "3000"})",
        R"({"atKeyframe": 1})",           R"({"other": true})",
    };
    for (const char* json : bad) {
        QString error;
        publishPolicy::fromJson(QJsonDocument::fromJson(json).object(), &error);
        EXPECT_FALSE(error.isEmpty()) << json;
    }
    QString error;
    const publishPolicy p = publishPolicy::fromJson(
        QJsonDocument::fromJson(R"({"mode": "failover", "priority": ["sr_pull", "sr_tcp"]})").object(), &error);
    EXPECT_TRUE(error.isEmpty());
    EXPECT_EQ(QJsonDocument(p.toJson()).toJson(QJsonDocument::Compact).toStdString(),
              R"({"atKeyframe":true,"lossMs":500,"mode":"failover","priority":["sr_pull","sr_tcp"],"returnMs":3000})");
    EXPECT_EQ(p.rankOf(publishInput::oxdp), -1);
}

} // namespace
