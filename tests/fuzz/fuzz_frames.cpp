// libFuzzer target: a byte stream from a node, cut into reads of varying
// size, through the frame reader, the frame parser and the handling of a
// logged-in connection's messages (status reports, property cache, token
// check). Checks that framing does not depend on how the bytes were cut and
// that no frame ever holds a zero byte.
#include "node/oxFrames.h"
#include "node/oxNodeState.h"

#include <QLoggingCategory>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

struct Frames {
    std::vector<QByteArray> frames;
    bool overflow = false;
};

Frames split(const uint8_t* data, size_t size, size_t chunk)
{
    Frames out;
    oxFrameReader reader;
    for (size_t off = 0; off < size && !out.overflow; off += chunk) {
        const size_t n = off + chunk <= size ? chunk : size - off;
        reader.append(QByteArray(reinterpret_cast<const char*>(data + off), static_cast<int>(n)));
        QByteArray frame;
        for (;;) {
            const auto r = reader.next(&frame);
            if (r == oxFrameReader::Result::NeedMore)
                break;
            if (r == oxFrameReader::Result::Overflow) {
                out.overflow = true;
                break;
            }
            check(!frame.contains('\0'));
            check(frame.size() <= kMaxFrameBytes);
            out.frames.push_back(frame);
        }
    }
    return out;
}

// What a logged-in connection does with one object.
void handleBound(oxNodeState& node, const QByteArray& session, const QJsonObject& json)
{
    switch (classifyBoundMessage(json, session)) {
    case BoundMessage::Login:
        (void)jsonInteger(json, QStringLiteral("id"));
        break;
    case BoundMessage::BadSession:
    case BoundMessage::KeepAlive:
        break;
    case BoundMessage::Status: {
        check(node.applyStatus(json));
        const QJsonObject st = node.statusObject(true);
        check(st.size() == 14);
        check(st.value(QStringLiteral("modeList")).toArray().size() >= 1);
        break;
    }
    case BoundMessage::Command: {
        const QString cmd = jsonStr(json, QStringLiteral("cmd"));
        const QJsonObject d = json.value(QStringLiteral("data")).toObject();
        if (cmd == QLatin1String("compProperty")) {
            if (node.compPropertyInfo(d)) {
                const QJsonObject back = node.getCompProperties(jsonStr(d, QStringLiteral("compName")),
                                                                jsonStr(d, QStringLiteral("propName")));
                check(back == d);
            }
        } else if (cmd == QLatin1String("getCompProperty")) {
            (void)node.getCompProperties(jsonStr(d, QStringLiteral("compName")), jsonStr(d, QStringLiteral("propName")));
        }
        break;
    }
    }
    check(node.compList.size() <= kMaxCachedComponents);
    for (const compProperties& c : node.compList)
        check(c.propList.size() <= kMaxCachedProperties);
    check(node.propertyBytes() <= kMaxPropertyBytesPerNode);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("oxnode.*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t chunk = data[0] % 17 + 1;
    const Frames whole = split(data + 1, size - 1, size);
    const Frames cut = split(data + 1, size - 1, chunk);
    check(whole.overflow == cut.overflow);
    // Cut reads deliver the same frames, except that a last read leaving at
    // most two bytes holds those back (they can never form an object).
    check(cut.frames.size() <= whole.frames.size());
    for (size_t i = 0; i < cut.frames.size(); ++i)
        check(cut.frames[i] == whole.frames[i]);
    int heldBack = 0;
    for (size_t i = cut.frames.size(); i < whole.frames.size(); ++i)
        heldBack += whole.frames[i].size() + 1;
    check(whole.overflow || heldBack <= 2);

    oxNodeState node;
    node.sn = QStringLiteral("fuzz1");
    const QByteArray session("0123456789abcdef0123456789abcdef");
    for (const QByteArray& frame : whole.frames) {
        QJsonObject object;
        QString error;
        if (parseFrame(frame, &object, &error) == FrameParse::Object) {
            // Half the messages carry the right session token.
            if (frame.size() % 2)
                object.insert(QStringLiteral("sessionToken"), QString::fromLatin1(session));
            handleBound(node, session, object);
        }
        check(encodeFrame(object).count('\0') == 1);
    }
    return 0;
}
