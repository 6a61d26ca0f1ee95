#include "oxStreamType.h"
#include "oxStream.h"
#include "oxStreamBuffers.h"

oxStreamType::oxStreamType()
    : oxObject(nullptr)
{
}

QJsonObject oxStreamType::parserJson(QJsonObject)
{
    oxLog(100, "parserJson: Not support this function!\n");
    return QJsonObject();
}

void oxStreamType::onBufOut(oxStreamBuf*)
{
    oxLog(100, "onBufOut: Not support this function!\n");
}

void oxStreamType::putBufIn(oxStreamBuf*)
{
    oxLog(100, "onBufOut: Not support this function!\n");
}

void oxStreamType::revCB(unsigned char* data, int len, void* user)
{
    auto* self = static_cast<oxStreamType*>(user);
    oxStreamBuf* buf = oxStreamBuf::createStreamBuf(BUF_STREAM_H265, data, len, len, self);
    if (self && self->stream) {
        self->stream->putStream(buf); // owned by the stream from here on
        return;
    }
    delete buf;
}
