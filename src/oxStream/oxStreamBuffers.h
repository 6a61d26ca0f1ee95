#pragma once
// One media chunk as an input received it. A buffer has exactly one owner at a
// time; whoever needs the bytes after the lending call returns takes a deep
// copy with copyStream, or holds sharedData where the input set it. No pool.
#include <cstdint>
#include <memory>

class oxObject;

enum oxBufType_e : uint32_t {
    BUF_NONE = 0x0000,
    BUF_STREAM = 0x0080,
    BUF_STREAM_NODATA = 0x0081,
    BUF_STREAM_RAW = 0x0082,
    BUF_STREAM_H264 = 0x0084,
    BUF_STREAM_H265 = 0x0088,
    BUF_RECORD36 = 0x8100,
    BUF_RECORD48 = 0x8200,
};

// Largest payload a buffer may hold.
constexpr int kMaxStreamBufSize = 5000000;

struct oxStreambuf_t {
    int32_t len;
    int32_t size;
    uint32_t aux;
    unsigned char* data; // malloc'd block of `size` bytes, owned
};

class oxStreamBuf
{
public:
    explicit oxStreamBuf(oxObject* creator);
    ~oxStreamBuf();
    oxStreamBuf(const oxStreamBuf&) = delete;
    oxStreamBuf& operator=(const oxStreamBuf&) = delete;

    static oxStreamBuf* createEmpty(oxBufType_e type, oxObject* creator);
    static oxStreamBuf* createStreamBuf(oxBufType_e type, const void* src, int len, int size, oxObject* creator);
    // A buffer over bytes it does not own: valid while the call it is lent
    // to runs (the input's read area), never written and never freed by it.
    // `keep`, when set, keeps the bytes alive and unchanged for whoever holds
    // a copy of it (sharedData). Null for a refused length.
    static oxStreamBuf* lendStreamBuf(oxBufType_e type, const unsigned char* data, int len,
                                      std::shared_ptr<const void> keep, oxObject* creator);
    static oxStreamBuf* copyStream(const oxStreamBuf* src);
    bool addStreamData(const void* src, int len);

    // Byte payload, or null for the record/no-data types.
    oxStreambuf_t* streamPayload() const;

    int32_t tag = -1;
    oxBufType_e type = BUF_NONE;
    void* payload = nullptr;  // oxStreambuf_t* for byte types, record for BUF_RECORD*, owned
    // The endpoint that created the buffer (copies keep it). Despite its
    // name it is not the buffer's owner, which is whoever holds the buffer
    // now; nothing here dereferences it.
    oxObject* owner = nullptr;
    // Lent bytes only (lendStreamBuf): what keeps them alive beyond the call,
    // so that an output may queue them by reference instead of copying them.
    std::shared_ptr<const void> sharedData;
    bool lent = false; // the payload's bytes are not the buffer's to free
    // Metadata carried verbatim by copies; nothing in the relay reads it.
    uint32_t meta0 = 0;
    uint64_t meta1 = 0;
    uint32_t meta2 = 0;
    uint64_t meta3 = 0;
    unsigned char meta4[16] = {};
};

oxStreambuf_t* copyStreamBuf(const oxStreambuf_t* src);
int checkStreamNalType(const oxStreambuf_t* buf, oxBufType_e type);
