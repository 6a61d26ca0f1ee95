#include "oxFrames.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <QSet>

#include <cstring>
#include <vector>

namespace {

// Deeper text is refused by Qt's parser before it gets there.
constexpr size_t kMaxScanDepth = 1100;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes the JSON string starting after the opening quote at *i; leaves *i
// on the closing quote. False when the text ends first.
bool readString(const QByteArray& t, int* i, QString* out)
{
    QByteArray raw;
    int p = *i;
    const int n = t.size();
    auto flush = [&] {
        if (!raw.isEmpty()) {
            out->append(QString::fromUtf8(raw));
            raw.clear();
        }
    };
    while (p < n) {
        const char c = t.at(p);
        if (c == '"') {
            flush();
            *i = p;
            return true;
        }
        if (c != '\\') {
            raw.append(c);
            ++p;
            continue;
        }
        if (p + 1 >= n)
            return false;
        const char e = t.at(p + 1);
        p += 2;
        if (e != 'u') {
            const char* from = "\"\\/bfnrt";
            const char* to = "\"\\/\b\f\n\r\t";
            const char* hit = std::strchr(from, e);
            raw.append(hit && e ? to[hit - from] : e);
            continue;
        }
        if (p + 4 > n)
            return false;
        int code = 0;
        for (int k = 0; k < 4; ++k) {
            const int h = hexValue(t.at(p + k));
            if (h < 0)
                return false;
            code = code * 16 + h;
        }
        p += 4;
        flush();
        out->append(QChar(static_cast<ushort>(code)));
    }
    return false;
}

} // namespace

bool jsonHasDuplicateKeys(const QByteArray& text)
{
    struct Level {
        bool object;
        bool expectKey;
        QSet<QString> keys;
    };
    std::vector<Level> stack;
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        const char c = text.at(i);
        switch (c) {
        case '"': {
            QString s;
            const int start = i + 1;
            i = start;
            if (!readString(text, &i, &s))
                return false;
            if (!stack.empty() && stack.back().object && stack.back().expectKey) {
                Level& top = stack.back();
                if (top.keys.contains(s))
                    return true;
                top.keys.insert(s);
                top.expectKey = false;
            }
            break;
        }
        case '{':
        case '[':
            if (stack.size() >= kMaxScanDepth)
                return false;
            stack.push_back(Level{c == '{', c == '{', {}});
            break;
        case '}':
        case ']':
            if (stack.empty())
                return false;
            stack.pop_back();
            if (stack.empty())
                return false; // the document ends here; Qt refuses what follows
            break;
        case ',':
            if (!stack.empty() && stack.back().object)
                stack.back().expectKey = true;
            break;
        default:
            break;
        }
    }
    return false;
}

int findStringEnd(const unsigned char* buf, int pos, int len)
{
    if (!buf || pos < 0 || pos >= len)
        return -1;
    const void* z = std::memchr(buf + pos, 0, static_cast<size_t>(len - pos));
    return z ? static_cast<int>(static_cast<const unsigned char*>(z) - buf) : -1;
}

QByteArray encodeFrame(const QJsonObject& json)
{
    QByteArray bytes = QJsonDocument(json).toJson(QJsonDocument::Compact);
    bytes.append('\0');
    return bytes;
}

FrameParse parseFrame(const QByteArray& frame, QJsonObject* object, QString* error)
{
    if (jsonHasDuplicateKeys(frame)) {
        if (error)
            *error = QStringLiteral("duplicate key in object");
        return FrameParse::Malformed;
    }
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(frame, &err);
    if (err.error != QJsonParseError::NoError) {
        if (error)
            *error = err.errorString();
        return FrameParse::Malformed;
    }
    if (!doc.isObject())
        return FrameParse::NotObject;
    if (object)
        *object = doc.object();
    return FrameParse::Object;
}

void oxFrameReader::append(const QByteArray& bytes)
{
    if (overflow_)
        return;
    buf_.append(bytes);
    examine_ = pending() > 2;
}

oxFrameReader::Result oxFrameReader::next(QByteArray* frame)
{
    if (overflow_)
        return Result::Overflow;
    if (!examine_)
        return Result::NeedMore;
    const auto* data = reinterpret_cast<const unsigned char*>(buf_.constData());
    const int end = findStringEnd(data, scanned_, buf_.size());
    if (end < 0) {
        compact();
        scanned_ = buf_.size();
        examine_ = false;
        if (pending() > max_) {
            overflow_ = true;
            return Result::Overflow;
        }
        return Result::NeedMore;
    }
    const int len = end - head_;
    if (len > max_) {
        overflow_ = true;
        return Result::Overflow;
    }
    if (frame)
        *frame = buf_.mid(head_, len);
    head_ = end + 1;
    scanned_ = head_;
    return Result::Frame;
}

void oxFrameReader::compact()
{
    if (head_ == 0)
        return;
    if (head_ >= buf_.size()) {
        buf_.clear(); // frees it: removing every byte would keep the capacity
    } else {
        buf_.remove(0, head_);
        if (buf_.capacity() - buf_.size() > kFrameReaderSpareBytes)
            buf_.squeeze();
    }
    scanned_ -= head_;
    head_ = 0;
}

void oxFrameReader::clear()
{
    buf_.clear();
    head_ = 0;
    scanned_ = 0;
    examine_ = false;
    overflow_ = false;
}
