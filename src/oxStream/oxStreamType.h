#pragma once
// Abstract base of the six stream endpoints (sr_* inputs, st_* outputs).
// start/stop/getCfg/destructor run on the main thread; getStatus on the main
// thread; putBufIn on the receiving endpoints' network threads, possibly
// several at once: outputs protect themselves and never keep the lent buffer.
#include "endpointReport.h"
#include "service/oxObject.h"

#include <QJsonObject>

#include <vector>

class oxStream;
class oxStreamBuf;

class oxStreamType : public oxObject
{
    Q_OBJECT
public:
    oxStreamType();
    ~oxStreamType() override = default;

    virtual void start() = 0;
    virtual void stop() = 0;
    virtual QJsonObject getCfg() = 0;
    virtual QJsonObject getStatus() = 0;
    virtual QJsonObject parserJson(QJsonObject cmd);
    virtual void onBufOut(oxStreamBuf* buf);
    virtual void putBufIn(oxStreamBuf* buf);
    // Main thread: the stream's access rules changed; close what they refuse now.
    virtual void accessChanged() {}

    // Main thread: the clients connected now, as the endpoint last published
    // them (none by default).
    virtual std::vector<oxEndpointClient> clientList() { return {}; }
    // Main thread: asks the endpoint to close the client at address:port;
    // false when it holds no such client. The close itself happens on the
    // endpoint's thread, shortly after.
    virtual bool closeClient(const QString& address, int port)
    {
        (void)address;
        (void)port;
        return false;
    }
    // Main thread: the figures /metrics exports, read without any lock the
    // media path takes (atomics, or a registry only accept and close touch).
    virtual oxEndpointFigures figures() { return {}; }

    // Common receive path of every input: wrap the chunk and hand it to the
    // stream (which takes ownership), or drop it when no stream is set.
    static void revCB(unsigned char* data, int len, void* user);

    QString url;
    oxStream* stream = nullptr; // not owned; set by the stream right after construction

protected:
    // From an endpoint's constructor (main thread): its id, JSON "type" and
    // the name of cfg; returns the port of cfg, fallbackPort when it has none.
    int takeIdentity(int endpointId, const QString& type, const QJsonObject& cfg, int fallbackPort);
    // What getCfg reports: "id", "type", "name", "url" (and "port").
    QJsonObject cfgObject() const;
    QJsonObject cfgObject(int port) const;
};
