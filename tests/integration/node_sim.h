// A node simulator for the integration tests: zero-terminated JSON frames on
// TCP 8000 (login, keep-alive, status, answers) and a web client for the
// service's JSON API. Owned and used by one test thread.
#pragma once

#include "oxtest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace nodesim {

inline const std::string kNodeTokenMd5 = oxt::md5Hex("73519046");

inline QJsonObject parse(const std::string& text)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

inline std::string compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

inline double secondsSince(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

class Node
{
public:
    explicit Node(std::string sn, int id = 1) : sn_(std::move(sn)), id_(id) {}

    bool connect() { return tcp_.connect("127.0.0.1", 8000); }
    bool sendRaw(const std::string& bytes) { return tcp_.sendAll(bytes); }
    bool send(const QJsonObject& o) { return tcp_.sendAll(compact(o) + std::string(1, '\0')); }
    // The next frame whose "cmd" is not "discovery" (unless wanted), or nothing.
    std::optional<QJsonObject> recv(int timeoutMs = 5000, bool skipDiscovery = true)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
            if (left <= 0)
                return std::nullopt;
            std::string frame = tcp_.recvUntil('\0', left);
            if (frame.empty())
                return std::nullopt;
            frame.pop_back();
            QJsonObject o = parse(frame);
            if (skipDiscovery && o.value("cmd").toString() == "discovery")
                continue;
            return o;
        }
    }
    QJsonObject loginFrame(const std::string& token = kNodeTokenMd5) const
    {
        return QJsonObject{{"cmd", "nodeLogin"},
                           {"token", QString::fromStdString(token)},
                           {"sn", QString::fromStdString(sn_)},
                           {"id", id_}};
    }
    // Connects if needed, logs in and keeps the session token.
    ::testing::AssertionResult login()
    {
        if (tcp_.fd() < 0 && !connect())
            return ::testing::AssertionFailure() << "connect to 8000 failed";
        if (!send(loginFrame()))
            return ::testing::AssertionFailure() << "send failed";
        auto reply = recv();
        if (!reply || reply->value("cmd").toString() != "setToken")
            return ::testing::AssertionFailure() << "no setToken: " << (reply ? compact(*reply) : "nothing");
        session_ = reply->value("data").toObject().value("token").toString().toStdString();
        return ::testing::AssertionSuccess();
    }
    bool keepAlive() { return send(withSession({{"cmd", "keepAlive"}})); }
    bool status(const QJsonObject& data) { return send(withSession({{"cmd", "nodeStatus"}, {"data", data}})); }
    QJsonObject withSession(QJsonObject o) const
    {
        o.insert("sessionToken", QString::fromStdString(session_));
        return o;
    }

    const std::string& sn() const { return sn_; }
    const std::string& session() const { return session_; }
    oxt::TcpClient& tcp() { return tcp_; }

private:
    std::string sn_;
    int id_;
    std::string session_;
    oxt::TcpClient tcp_;
};

// The JSON API of the web server, logged in as the default user.
class Web
{
public:
    bool login()
    {
        if (!oxt::waitTcpPort(8001, 10000))
            return false;
        QJsonObject r = oxt::apiPost(8001, QJsonObject{{"cmd", "login"},
                                                        {"user", "admin"},
                                                        {"passMd5", QString::fromStdString(oxt::md5Hex("73519046"))}});
        token_ = r.value("token").toString();
        return !token_.isEmpty();
    }
    QJsonObject post(QJsonObject request)
    {
        request.insert("token", token_);
        return oxt::apiPost(8001, request);
    }
    QJsonObject nodeInfo(const std::string& sn)
    {
        return post({{"cmd", "getNodeInfo"}, {"sn", QString::fromStdString(sn)}});
    }
    // The node's status object, empty when the service does not know it.
    QJsonObject node(const std::string& sn) { return nodeInfo(sn).value("data").toObject(); }
    bool waitNode(const std::string& sn, const std::function<bool(const QJsonObject&)>& pred, int timeoutMs = 5000)
    {
        return oxt::waitFor([&] { return pred(node(sn)); }, timeoutMs, 50);
    }
    const QString& token() const { return token_; }

private:
    QString token_;
};

inline bool isOnline(const QJsonObject& status)
{
    return status.value("online").toBool();
}

}  // namespace nodesim
