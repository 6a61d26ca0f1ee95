#pragma once
// The node wire format as values: zero-terminated compact JSON frames.
// Nothing here touches a socket, so the splitting rules are unit-tested and
// fuzzed on their own. Not thread safe: a reader belongs to one connection.
#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Largest frame (without its terminator) a node may send. A peer whose
// unconsumed bytes pass this without a zero byte is logged and disconnected:
// otherwise one connection could make the buffer grow without limit.
constexpr int kMaxFrameBytes = 1024 * 1024;
// The bound before a connection has logged in. A login frame is a few dozen
// bytes ("cmd", "token", "sn", "id"); no honest node comes near this, and a
// crowd of strangers cannot make each connection hold a megabyte.
constexpr int kMaxLoginFrameBytes = 16 * 1024;

// Room a reader keeps beyond the bytes it still holds once frames were
// taken out; a connection that had to take in a large frame gives the rest
// back. With nothing left over the reader holds no buffer at all: an idle
// connection of a large fleet costs no frame-sized buffer.
constexpr int kFrameReaderSpareBytes = 4 * 1024;

// Index of the first zero byte in buf[pos .. len-1], or -1 when pos is not
// below len or there is none.
int findStringEnd(const unsigned char* buf, int pos, int len);

// Compact UTF-8 JSON followed by exactly one zero byte.
QByteArray encodeFrame(const QJsonObject& json);

// True when some object in the JSON text names a key twice (compared after
// unescaping). Scans as far as the text is well-formed enough to follow.
// Qt 5.15's QJsonDocument::fromJson leaks the replaced value of a duplicate
// key, so a peer could grow our memory at will: such text is never handed to it.
bool jsonHasDuplicateKeys(const QByteArray& text);

enum class FrameParse { Object, NotObject, Malformed };
// Parses one frame (terminator already removed). On Malformed, *error holds
// the JSON parser's text. Text with duplicate keys is Malformed too.
FrameParse parseFrame(const QByteArray& frame, QJsonObject* object, QString* error);

// Splits a byte stream into frames. A buffer of two bytes or fewer after an
// append is not examined until more bytes arrive (no valid object fits in it).
class oxFrameReader
{
public:
    enum class Result { Frame, NeedMore, Overflow };

    // Largest frame accepted from here on (default kMaxFrameBytes); bytes
    // already waiting count against the new bound at the next call of next().
    void setMaxFrameBytes(int bytes) { max_ = bytes; }
    int maxFrameBytes() const { return max_; }
    void append(const QByteArray& bytes);
    // The next complete frame, in arrival order. Overflow is sticky until
    // clear(): the caller is expected to drop the connection.
    Result next(QByteArray* frame);
    // Bytes received and not yet handed out as frames.
    int pending() const { return buf_.size() - head_; }
    void clear();

private:
    void compact();

    QByteArray buf_;
    int head_ = 0;      // start of the unconsumed bytes
    int scanned_ = 0;   // buf_[head_ .. scanned_) is known to hold no zero byte
    bool examine_ = false;
    bool overflow_ = false;
    int max_ = kMaxFrameBytes;
};
