#include "oxStreamBuffers.h"
#include "service/logging.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool isByteType(uint32_t type)
{
    return type == BUF_STREAM || type == BUF_STREAM_RAW || type == BUF_STREAM_H264 || type == BUF_STREAM_H265;
}

bool isKnownType(uint32_t type)
{
    switch (type) {
    case BUF_NONE:
    case BUF_STREAM:
    case BUF_STREAM_NODATA:
    case BUF_STREAM_RAW:
    case BUF_STREAM_H264:
    case BUF_STREAM_H265:
    case BUF_RECORD36:
    case BUF_RECORD48:
        return true;
    default:
        return false;
    }
}

} // namespace

oxStreamBuf::oxStreamBuf(oxObject* creator)
    : owner(creator)
{
}

oxStreamBuf::~oxStreamBuf()
{
    if (!isKnownType(type)) {
        std::printf("~oxStreamBuf 未知的 PIPELINE TYPE?: %08X\n", static_cast<unsigned>(type));
        return;
    }
    if (isByteType(type)) {
        auto* p = static_cast<oxStreambuf_t*>(payload);
        if (p) {
            if (!lent)
                std::free(p->data);
            delete p;
        }
    } else if (type == BUF_RECORD36 || type == BUF_RECORD48) {
        std::free(payload);
    }
}

oxStreambuf_t* oxStreamBuf::streamPayload() const
{
    return isByteType(type) ? static_cast<oxStreambuf_t*>(payload) : nullptr;
}

oxStreamBuf* oxStreamBuf::createEmpty(oxBufType_e type, oxObject* creator)
{
    if (!isKnownType(type))
        return nullptr;
    auto* buf = new oxStreamBuf(creator);
    buf->type = type;
    if (type == BUF_RECORD36)
        buf->payload = std::calloc(1, 36);
    else if (type == BUF_RECORD48)
        buf->payload = std::calloc(1, 48);
    return buf;
}

oxStreamBuf* oxStreamBuf::createStreamBuf(oxBufType_e type, const void* src, int len, int size, oxObject* creator)
{
    if (len > size || size > kMaxStreamBufSize) {
        qCDebug(lcStream, "oxStreamBuf::createStreamBuf error! %d %d %d", len, size, kMaxStreamBufSize);
        return nullptr;
    }
    if (type != BUF_STREAM_RAW && type != BUF_STREAM_H264 && type != BUF_STREAM_H265)
        return nullptr;
    if (len < 0 || size < 0)
        return nullptr;
    auto* buf = new oxStreamBuf(creator);
    buf->type = type;
    auto* p = new oxStreambuf_t;
    p->len = len;
    p->size = size;
    p->aux = 0;
    // One byte more than asked so that an empty payload still has a block.
    p->data = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size) + 1));
    if (len > 0)
        std::memcpy(p->data, src, static_cast<size_t>(len));
    buf->payload = p;
    return buf;
}

oxStreamBuf* oxStreamBuf::lendStreamBuf(oxBufType_e type, const unsigned char* data, int len,
                                        std::shared_ptr<const void> keep, oxObject* creator)
{
    if (!data || len < 0 || len > kMaxStreamBufSize
        || (type != BUF_STREAM_RAW && type != BUF_STREAM_H264 && type != BUF_STREAM_H265))
        return nullptr;
    auto* buf = new oxStreamBuf(creator);
    buf->type = type;
    buf->lent = true;
    buf->sharedData = std::move(keep);
    auto* p = new oxStreambuf_t;
    p->len = len;
    p->size = len; // full: addStreamData never writes into lent bytes
    p->aux = 0;
    p->data = const_cast<unsigned char*>(data);
    buf->payload = p;
    return buf;
}

bool oxStreamBuf::addStreamData(const void* src, int len)
{
    if (!(type & 0x80u)) {
        qCDebug(lcStream, "oxStreamBuf::addStreamData error! 只有stream类型buf才能执行此操作 %u", static_cast<unsigned>(type));
        return false;
    }
    oxStreambuf_t* p = streamPayload();
    if (!p || len < 0)
        return false;
    if (static_cast<int64_t>(p->len) + len > p->size) {
        qCDebug(lcStream, "oxStreamBuf::addStreamData error! buf过大,当前:添加:最大 %d %d %d", p->len, len, p->size);
        return false;
    }
    if (len > 0)
        std::memcpy(p->data + p->len, src, static_cast<size_t>(len));
    p->len += len;
    return true;
}

oxStreamBuf* oxStreamBuf::copyStream(const oxStreamBuf* src)
{
    if (!src)
        return nullptr;
    auto* buf = new oxStreamBuf(src->owner);
    buf->tag = src->tag;
    buf->type = src->type;
    buf->meta0 = src->meta0;
    buf->meta1 = src->meta1;
    buf->meta2 = src->meta2;
    buf->meta3 = src->meta3;
    std::memcpy(buf->meta4, src->meta4, sizeof buf->meta4);
    buf->payload = isByteType(src->type) ? copyStreamBuf(src->streamPayload()) : nullptr;
    if (!isByteType(src->type) && src->payload && (src->type == BUF_RECORD36 || src->type == BUF_RECORD48)) {
        const size_t n = src->type == BUF_RECORD36 ? 36 : 48;
        buf->payload = std::malloc(n);
        std::memcpy(buf->payload, src->payload, n);
    }
    return buf;
}

oxStreambuf_t* copyStreamBuf(const oxStreambuf_t* src)
{
    if (!src)
        return nullptr;
    auto* p = new oxStreambuf_t;
    p->len = src->len;
    p->size = src->size;
    p->aux = src->aux;
    p->data = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(src->size) + 1));
    if (src->len > 0)
        std::memcpy(p->data, src->data, static_cast<size_t>(src->len));
    return p;
}

int checkStreamNalType(const oxStreambuf_t* buf, oxBufType_e type)
{
    if (!buf || !buf->data || buf->len < 5)
        return 8;
    const unsigned char* d = buf->data;
    if (d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != 1)
        return 8;
    if (type == BUF_STREAM_H264) {
        switch (d[4] & 0x1F) {
        case 5: return 1;
        case 6: return 6;
        case 7: return 2;
        case 8: return 4;
        default: return 8;
        }
    }
    if (type == BUF_STREAM_H265) {
        switch ((d[4] >> 1) & 0x3F) {
        case 19:
        case 20: return 1;
        case 32: return 3;
        case 33: return 2;
        case 34: return 4;
        case 39:
        case 40: return 6;
        default: return 8;
        }
    }
    return 0;
}
