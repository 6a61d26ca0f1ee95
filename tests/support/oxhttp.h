// A small HTTP/1.1 client over raw sockets, strict enough to pin the exact
// bytes of oxnode's replies. Owned and used by one test thread.
//
// oxnode's API reply is unusual: its status and header lines end in a bare
// LF, and one LF that "Content-Length" does not count follows the JSON body.
// The parser accepts CRLF and LF lines alike, reads exactly Content-Length
// body bytes and, with expectTrailingLf, consumes and checks that extra LF;
// without it the LF would be taken for the start of the next reply.
#pragma once

#include "oxsocket.h"

#include <QJsonObject>

#include <string>
#include <utility>
#include <vector>

namespace oxt {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
    bool ok = false;
    std::string error;       // why ok is false
    int status = 0;
    std::string statusLine;  // without its line end
    HttpHeaders headers;     // in order, names as sent
    std::string body;
    std::string raw;         // every byte read for this response
    bool bareLf = true;      // no line of the head ended in CRLF

    // The first header of that name (case-insensitive), or empty.
    std::string header(const std::string& name) const;
};

class HttpConnection {
public:
    explicit HttpConnection(int port, std::string host = "127.0.0.1");

    // Connects on first use and again after the peer closed.
    HttpResponse request(const std::string& method, const std::string& path, const std::string& body = {},
                         const HttpHeaders& extraHeaders = {}, int timeoutMs = 5000, bool expectTrailingLf = false);
    // POSTs request as compact JSON and parses the API reply; an empty
    // object (and a test failure) when the reply is not well formed.
    QJsonObject apiPost(const QJsonObject& request, const std::string& path = "/api/post", int timeoutMs = 5000);
    TcpClient& socket() { return sock_; }

private:
    bool readHead(HttpResponse& r, int timeoutMs);
    bool readBody(HttpResponse& r, const std::string& method, int timeoutMs);
    bool readChunked(HttpResponse& r, int timeoutMs);

    std::string host_;
    int port_;
    TcpClient sock_;
};

// One request on a connection of its own to 127.0.0.1:port.
HttpResponse httpRequest(int port, const std::string& method, const std::string& path, const std::string& body = {},
                         const HttpHeaders& extraHeaders = {}, int timeoutMs = 5000, bool expectTrailingLf = false);
QJsonObject apiPost(int port, const QJsonObject& request, const std::string& path = "/api/post", int timeoutMs = 5000);

// Lower-case hexadecimal MD5, as the service writes its digests.
std::string md5Hex(const std::string& bytes);

}  // namespace oxt
