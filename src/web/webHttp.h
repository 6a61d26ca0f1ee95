#pragma once
// Wire-level pieces of the web server as plain values, without sockets: the
// static path resolver, the API request body rule and the fixed API reply
// block. Pure functions; callable from any thread.
#include <QByteArray>
#include <QJsonObject>

#include <optional>
#include <string>

// Bodies above this size are refused without being parsed.
constexpr long long kMaxApiBodyBytes = 1024 * 1024;

// Maps a request path as it came on the wire (percent-encoded, query string
// already cut off) to a file path below root: "/" is root + "/index.html",
// "/a/b.css" is root + "/a/b.css", "/a/" is root + "/a/index.html". Empty
// when the path is refused: not starting with '/', a bad or NUL escape, an
// empty, "." or ".." segment (doubled slashes, traversal, encoded or not),
// or overlong.
// Whether the file exists is the caller's business.
std::string resolveStaticPath(const std::string& rawPath, const std::string& root = "web");

// The request object of an API body: the object itself, an empty object for
// an array; nullopt (answered with {"cmd": "fail"}) for an oversized, empty
// or non-JSON body.
std::optional<QJsonObject> apiRequestFromBody(const QByteArray& body);

// The exact reply bytes of an API request: a fixed header block with bare
// LF line ends, "Content-Length" of the compact JSON text, the text and one
// extra LF that the length does not count.
QByteArray apiResponseBlock(const QJsonObject& reply);
QByteArray apiResponseBlock(const QByteArray& jsonText);

// {"cmd": "fail"}: the reply to a body that cannot be a request.
QJsonObject apiFailReply();
