#include "oxStreamType.h"
#include "oxStream.h"
#include "oxStreamBuffers.h"

oxStreamType::oxStreamType()
    : oxObject(nullptr)
{
}

int oxStreamType::takeIdentity(int endpointId_, const QString& type_, const QJsonObject& cfg, int fallbackPort)
{
    endpointId = endpointId_;
    type = type_;
    name = cfg.value(QStringLiteral("name")).toString();
    return cfg.value(QStringLiteral("port")).toInt(fallbackPort);
}

QJsonObject oxStreamType::cfgObject() const
{
    return QJsonObject{
        {QStringLiteral("id"), endpointId},
        {QStringLiteral("type"), type},
        {QStringLiteral("name"), name},
        {QStringLiteral("url"), url},
    };
}

QJsonObject oxStreamType::cfgObject(int port) const
{
    QJsonObject o = cfgObject();
    o.insert(QStringLiteral("port"), port);
    return o;
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
