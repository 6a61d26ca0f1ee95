#include "webHttp.h"
#include "node/oxFrames.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <vector>

namespace {

// Far beyond any file name the front end uses; longer paths are refused
// before any work is done on them.
constexpr size_t kMaxStaticPathBytes = 2048;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Percent-decoding; false for a truncated or non-hex escape and for NUL.
bool percentDecode(const std::string& in, std::string& out)
{
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size())
                return false;
            const int hi = hexValue(in[i + 1]);
            const int lo = hexValue(in[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (c == '\0')
            return false;
        out.push_back(c);
    }
    return true;
}

} // namespace

std::string resolveStaticPath(const std::string& rawPath, const std::string& root)
{
    if (rawPath.empty() || rawPath[0] != '/' || rawPath.size() > kMaxStaticPathBytes)
        return {};
    if (rawPath == "/")
        return root + "/index.html";
    std::string decoded;
    // An encoded '/' counts as a separator, so "%2f..%2f" is a ".." segment.
    if (!percentDecode(rawPath, decoded))
        return {};
    std::string result = root;
    size_t start = 1;
    for (;;) {
        const size_t slash = decoded.find('/', start);
        const std::string segment = decoded.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        // A trailing slash names a directory: its index page.
        if (segment.empty() && slash == std::string::npos && start > 1) {
            result += "/index.html";
            break;
        }
        if (segment.empty() || segment == "." || segment == "..")
            return {};
        result += '/';
        result += segment;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return result;
}

std::optional<QJsonObject> apiRequestFromBody(const QByteArray& body)
{
    if (body.size() > kMaxApiBodyBytes)
        return std::nullopt;
    // Qt leaks the earlier value of a repeated key; such a body is refused
    // like a malformed one, so clients cannot grow the service's memory.
    if (jsonHasDuplicateKeys(body))
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || doc.isNull())
        return std::nullopt;
    return doc.isObject() ? doc.object() : QJsonObject();
}

QByteArray apiResponseBlock(const QByteArray& jsonText)
{
    QByteArray block;
    block.reserve(jsonText.size() + 400);
    block += "HTTP/1.1 200 OK\n"
             "Content-Type: application/javascript\n"
             "Access-Control-Allow-Origin: *\n"
             "Access-Control-Allow-Methods: *\n"
             "Access-Control-Allow-Headers: X-Requested-With,Content-Type,x-access-token,token,id\n"
             "Access-Control-Request-Headers: Origin, X-Requested-With, content-Type, Accept, Authorization\n"
             "Content-Length: ";
    block += QByteArray::number(jsonText.size());
    block += "\nCache-Control: no-cache\n\n";
    block += jsonText;
    block += '\n';
    return block;
}

QByteArray apiResponseBlock(const QJsonObject& reply)
{
    return apiResponseBlock(QJsonDocument(reply).toJson(QJsonDocument::Compact));
}

QJsonObject apiFailReply()
{
    return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("fail")}};
}
