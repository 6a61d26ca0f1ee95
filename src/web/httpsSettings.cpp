#include "httpsSettings.h"
#include "webTls.h"

const QString kSelfSignedCertFile = QStringLiteral("oxnode-https.pem");

namespace {

const QString kPortKey = QStringLiteral("httpsPort");
const QString kCertKey = QStringLiteral("httpsCert");
const QString kKeyKey = QStringLiteral("httpsKey");

bool validPath(const QString& path)
{
    if (path.size() > httpsSettings::kMaxPathChars)
        return false;
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

// A path key of the command: false when present and not a usable path.
bool takePath(const QJsonObject& data, const QString& key, QString* out, QString* error)
{
    if (!data.contains(key))
        return true;
    const QJsonValue v = data.value(key);
    if (!v.isString() || !validPath(v.toString())) {
        *error = QStringLiteral("%1 must be a file path of at most %2 characters without control characters")
                     .arg(key)
                     .arg(httpsSettings::kMaxPathChars);
        return false;
    }
    *out = v.toString();
    return true;
}

} // namespace

httpsSettings httpsSettings::fromJson(const QJsonObject& cfg)
{
    httpsSettings s;
    const QJsonValue port = cfg.value(kPortKey);
    if (port.isDouble())
        s.port = port.toInt();
    s.cert = cfg.value(kCertKey).toString();
    s.key = cfg.value(kKeyKey).toString();
    return s;
}

void httpsSettings::addTo(QJsonObject* o) const
{
    if (port != 0)
        o->insert(kPortKey, port);
    if (!cert.isEmpty())
        o->insert(kCertKey, cert);
    if (!key.isEmpty())
        o->insert(kKeyKey, key);
}

bool httpsSettings::named(const QJsonObject& data)
{
    return data.contains(kPortKey) || data.contains(kCertKey) || data.contains(kKeyKey);
}

bool httpsSettings::update(const QJsonObject& data, const std::function<bool(int)>& portFree, int webPortNow,
                           int webPortNext, QString* error)
{
    httpsSettings next = *this;
    if (data.contains(kPortKey)) {
        const QJsonValue v = data.value(kPortKey);
        const double d = v.toDouble(-1);
        const int p = static_cast<int>(d);
        if (!v.isDouble() || d != p || (p != 0 && (!portFree(p) || p == webPortNow || p == webPortNext))) {
            *error = QStringLiteral("httpsPort must be 0 (off) or a port from 80 to 65530 that neither the web "
                                    "server nor the nodes or streams use");
            return false;
        }
        next.port = p;
    }
    if (!takePath(data, kCertKey, &next.cert, error) || !takePath(data, kKeyKey, &next.key, error))
        return false;
    if (next.cert.isEmpty() && !next.key.isEmpty()) {
        *error = QStringLiteral("httpsKey needs httpsCert");
        return false;
    }
    const bool filesChanged = next.cert != cert || next.key != key;
    if (filesChanged && !next.cert.isEmpty() && !webTlsCheckPair(next.cert, next.key, error))
        return false;
    *this = next;
    return true;
}
