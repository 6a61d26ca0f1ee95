#include "oxhttp.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonDocument>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace oxt {

namespace {

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Strips the line end; remembers when it was CRLF.
std::string chomp(const std::string& line, bool& sawCrlf)
{
    size_t len = line.size() - 1;
    if (len > 0 && line[len - 1] == '\r') {
        sawCrlf = true;
        --len;
    }
    return line.substr(0, len);
}

bool fail(HttpResponse& r, const std::string& why)
{
    r.ok = false;
    r.error = why;
    return false;
}

}  // namespace

std::string HttpResponse::header(const std::string& name) const
{
    for (const auto& kv : headers)
        if (lower(kv.first) == lower(name))
            return kv.second;
    return {};
}

HttpConnection::HttpConnection(int port, std::string host)
    : host_(std::move(host)), port_(port)
{
}

HttpResponse HttpConnection::request(const std::string& method, const std::string& path, const std::string& body,
                                     const HttpHeaders& extraHeaders, int timeoutMs, bool expectTrailingLf)
{
    HttpResponse r;
    if ((sock_.fd() < 0 || sock_.peerClosed()) && !sock_.connect(host_, port_, timeoutMs)) {
        fail(r, "cannot connect to " + host_ + ":" + std::to_string(port_));
        return r;
    }
    std::string req = method + " " + path + " HTTP/1.1\r\nHost: " + host_ + ":" + std::to_string(port_) + "\r\n";
    if (!body.empty() || method == "POST")
        req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    for (const auto& kv : extraHeaders)
        req += kv.first + ": " + kv.second + "\r\n";
    req += "\r\n" + body;
    if (!sock_.sendAll(req, timeoutMs)) {
        fail(r, "cannot send the request");
        return r;
    }
    r.ok = readHead(r, timeoutMs) && readBody(r, method, timeoutMs);
    if (r.ok && expectTrailingLf) {
        std::string lf = sock_.recvExactly(1, timeoutMs);
        r.raw += lf;
        if (lf != "\n")
            fail(r, "no line feed after the body (got \"" + lf + "\")");
    }
    if (!r.ok)
        sock_.close();  // the stream is out of step; the next request reconnects
    return r;
}

bool HttpConnection::readHead(HttpResponse& r, int timeoutMs)
{
    bool crlf = false;
    std::string line = sock_.recvUntil('\n', timeoutMs);
    r.raw += line;
    if (line.empty())
        return fail(r, "no status line");
    r.statusLine = chomp(line, crlf);
    size_t sp = r.statusLine.find(' ');
    if (r.statusLine.compare(0, 5, "HTTP/") != 0 || sp == std::string::npos)
        return fail(r, "bad status line: " + r.statusLine);
    r.status = std::atoi(r.statusLine.c_str() + sp + 1);
    for (;;) {
        line = sock_.recvUntil('\n', timeoutMs);
        r.raw += line;
        if (line.empty())
            return fail(r, "head ended early");
        std::string text = chomp(line, crlf);
        if (text.empty())
            break;
        size_t colon = text.find(':');
        if (colon == std::string::npos)
            return fail(r, "bad header line: " + text);
        r.headers.emplace_back(text.substr(0, colon), trim(text.substr(colon + 1)));
    }
    r.bareLf = !crlf;
    return true;
}

bool HttpConnection::readBody(HttpResponse& r, const std::string& method, int timeoutMs)
{
    if (method == "HEAD" || r.status / 100 == 1 || r.status == 204 || r.status == 304)
        return true;
    if (lower(r.header("Transfer-Encoding")) == "chunked")
        return readChunked(r, timeoutMs);
    const std::string length = r.header("Content-Length");
    if (length.empty()) {
        sock_.waitClosed(timeoutMs);  // the body runs to the end of the connection
        r.body = sock_.recvExactly(sock_.pending().size(), 0);
    } else {
        size_t n = std::strtoul(length.c_str(), nullptr, 10);
        r.body = sock_.recvExactly(n, timeoutMs);
        if (r.body.size() != n)
            fail(r, "body has " + std::to_string(r.body.size()) + " of " + length + " bytes");
    }
    r.raw += r.body;
    return r.error.empty();
}

bool HttpConnection::readChunked(HttpResponse& r, int timeoutMs)
{
    for (;;) {
        std::string sizeLine = sock_.recvUntil('\n', timeoutMs);
        r.raw += sizeLine;
        if (sizeLine.empty())
            return fail(r, "chunk size missing");
        size_t n = std::strtoul(sizeLine.c_str(), nullptr, 16);
        std::string chunk = n ? sock_.recvExactly(n, timeoutMs) : std::string();
        std::string end = sock_.recvUntil('\n', timeoutMs);  // after the data, or after the (empty) trailer
        r.raw += chunk + end;
        if (chunk.size() != n || end.empty())
            return fail(r, "chunk cut short");
        r.body += chunk;
        if (n == 0)
            return true;
    }
}

QJsonObject HttpConnection::apiPost(const QJsonObject& request, const std::string& path, int timeoutMs)
{
    const std::string body = QJsonDocument(request).toJson(QJsonDocument::Compact).toStdString();
    HttpResponse r = this->request("POST", path, body, {{"Content-Type", "application/json"}}, timeoutMs, true);
    if (!r.ok) {
        ADD_FAILURE() << "POST " << path << " " << body << ": " << r.error << "\nraw reply:\n" << r.raw;
        return {};
    }
    QJsonParseError err{};
    QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.body), &err);
    if (!doc.isObject())
        ADD_FAILURE() << "POST " << path << ": reply is no JSON object: " << r.body;
    return doc.object();
}

HttpResponse httpRequest(int port, const std::string& method, const std::string& path, const std::string& body,
                         const HttpHeaders& extraHeaders, int timeoutMs, bool expectTrailingLf)
{
    return HttpConnection(port).request(method, path, body, extraHeaders, timeoutMs, expectTrailingLf);
}

QJsonObject apiPost(int port, const QJsonObject& request, const std::string& path, int timeoutMs)
{
    return HttpConnection(port).apiPost(request, path, timeoutMs);
}

std::string md5Hex(const std::string& bytes)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Md5).toHex().toStdString();
}

}  // namespace oxt
