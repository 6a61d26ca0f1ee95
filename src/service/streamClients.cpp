#include "streamClients.h"
#include "logging.h"
#include "oxServices.h"
#include "oxStream.h"
#include "oxStreamType.h"

#include <QHostAddress>
#include <QJsonArray>

namespace {

QJsonObject failed(const QString& cmd, const char* msg)
{
    return QJsonObject{{QStringLiteral("cmd"), cmd},
                       {QStringLiteral("results"), QStringLiteral("failed")},
                       {QStringLiteral("msg"), QString::fromLatin1(msg)}};
}

oxStream* findStream(oxServices& services, const QJsonObject& json)
{
    const QJsonValue id = json.value(QStringLiteral("id"));
    if (!id.isDouble())
        return nullptr;
    for (oxStream* s : services.streams) {
        if (s->streamId == id.toInt(-1))
            return s;
    }
    return nullptr;
}

QJsonObject clientJson(const oxEndpointClient& c)
{
    QJsonObject o{
        {QStringLiteral("address"), c.address},
        {QStringLiteral("port"), c.port},
        {QStringLiteral("since"), static_cast<qint64>(c.sinceMs)},
        {QStringLiteral("bytesSent"), static_cast<qint64>(c.bytesSent)},
        {QStringLiteral("bytesReceived"), static_cast<qint64>(c.bytesReceived)},
        {QStringLiteral("bytesQueued"), static_cast<qint64>(c.bytesQueued)},
    };
    if (c.rttMs >= 0)
        o.insert(QStringLiteral("rtt"), c.rttMs);
    if (c.lossPackets >= 0)
        o.insert(QStringLiteral("loss"), static_cast<qint64>(c.lossPackets));
    return o;
}

QJsonArray endpointsJson(const QList<oxStreamType*>& list)
{
    QJsonArray out;
    for (oxStreamType* ep : list) {
        QJsonArray clients;
        for (const oxEndpointClient& c : ep->clientList())
            clients.append(clientJson(c));
        out.append(QJsonObject{{QStringLiteral("id"), ep->endpointId},
                               {QStringLiteral("type"), ep->type},
                               {QStringLiteral("name"), ep->name},
                               {QStringLiteral("clients"), clients}});
    }
    return out;
}

// "a.b.c.d:port" or "[v6]:port".
bool parsePeer(const QString& peer, QString* address, int* port)
{
    const int colon = peer.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString host = peer.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const int p = peer.mid(colon + 1).toInt(&ok);
    QHostAddress parsed;
    if (!ok || p <= 0 || p > 65535 || !parsed.setAddress(host))
        return false;
    *address = parsed.toString();
    *port = p;
    return true;
}

QJsonObject listClients(oxServices& services, const QJsonObject& json)
{
    const QString cmd = QStringLiteral("streamClients");
    oxStream* s = findStream(services, json);
    if (!s)
        return failed(cmd, "not find stream");
    return QJsonObject{{QStringLiteral("cmd"), cmd},
                       {QStringLiteral("results"), QStringLiteral("success")},
                       {QStringLiteral("data"),
                        QJsonObject{{QStringLiteral("id"), s->streamId},
                                    {QStringLiteral("name"), s->streamName},
                                    {QStringLiteral("inList"), endpointsJson(s->inputs())},
                                    {QStringLiteral("outList"), endpointsJson(s->outputs())}}}};
}

QJsonObject closeClient(oxServices& services, const QJsonObject& json)
{
    const QString cmd = QStringLiteral("closeStreamClient");
    oxStream* s = findStream(services, json);
    if (!s)
        return failed(cmd, "not find stream");
    const QString endpoint = json.value(QStringLiteral("endpoint")).toString();
    QString address;
    int port = 0;
    if (!parsePeer(json.value(QStringLiteral("peer")).toString(), &address, &port))
        return failed(cmd, "bad peer");
    oxStreamType* target = nullptr;
    for (const QList<oxStreamType*>* list : {&s->inputs(), &s->outputs()}) {
        for (oxStreamType* ep : *list) {
            if (ep->type == endpoint)
                target = ep;
        }
    }
    if (!target)
        return failed(cmd, "not find endpoint");
    if (!target->closeClient(address, port))
        return failed(cmd, "not find client");
    qCDebug(lcStream, "stream %d: %s client %s:%d closed by the operator", s->streamId, qUtf8Printable(endpoint),
            qUtf8Printable(address), port);
    return QJsonObject{{QStringLiteral("cmd"), cmd},
                       {QStringLiteral("results"), QStringLiteral("success")},
                       {QStringLiteral("msg"), QStringLiteral("success")}};
}

} // namespace

bool isStreamClientsCommand(const QString& cmd)
{
    return cmd == QLatin1String("getStreamClients") || cmd == QLatin1String("closeStreamClient");
}

QJsonObject streamClientsCommand(oxServices& services, const QJsonObject& json, bool loggedIn)
{
    if (!loggedIn)
        return QJsonObject();
    if (json.value(QStringLiteral("cmd")).toString() == QLatin1String("getStreamClients"))
        return listClients(services, json);
    return closeClient(services, json);
}
