#pragma once
// One remote device, keyed by its serial: its session on a TCP connection
// (login, keep-alive, refusal, rebinding) and its command handler. The status
// fields and the property cache are the oxNodeState base. Main thread only;
// the service owns it as a Qt child.
#include "oxNodeState.h"
#include "oxObject.h"

#include <QDateTime>
#include <QJsonObject>

class oxServices;
class oxTcpClientSocket;

class oxNode : public oxObject, public oxNodeState
{
    Q_OBJECT
public:
    ~oxNode() override;
    // Null when id is negative or sn is not 5 to 16 characters long.
    static oxNode* createNew(int id, QString sn, oxServices* services);

    void newTcpConnect(oxTcpClientSocket* client, QJsonObject json);
    void tcpLogin(oxTcpClientSocket* client, QJsonObject json);
    void tcpLogout(oxTcpClientSocket* client);
    void tcpKeepAlive(QJsonObject json);
    void resetTcpClient(oxTcpClientSocket* client);
    void processTcpJson(QJsonObject json);
    void setToOffiline();
    void nodeDiscovery();

    void upData(QJsonObject json);
    QJsonObject getStatus();
    QJsonObject parserJson(QJsonObject json);
    void sendToNode(QJsonObject json);

    QString sessionToken;
    QDateTime lastTime;
    bool online = false;
    oxTcpClientSocket* client = nullptr; // bound connection; not owned (it deletes itself)
    oxServices* services = nullptr;

public Q_SLOTS:
    void tcpDisConnect(oxTcpClientSocket* client, void* parent);

private:
    explicit oxNode(oxServices* services);
};
