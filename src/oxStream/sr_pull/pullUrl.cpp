#include "pullUrl.h"

#include <QRegularExpression>
#include <QUrl>

#include <arpa/inet.h>

namespace {

pullUrl refused(const QString& why)
{
    pullUrl u;
    u.error = why;
    return u;
}

bool allDigits(const QString& s)
{
    if (s.isEmpty())
        return false;
    for (QChar c : s) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

bool isDnsChar(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('.');
}

} // namespace

bool pullUrl::hostIsValid(const QString& host)
{
    if (host.isEmpty() || host.size() > kMaxHostLength)
        return false;
    bool digitsAndDots = true;
    for (QChar c : host) {
        if (!isDnsChar(c))
            return false;
        digitsAndDots = digitsAndDots && c != QLatin1Char('-') && !c.isLetter();
    }
    if (digitsAndDots) {
        in_addr a{};
        return inet_pton(AF_INET, host.toLatin1().constData(), &a) == 1;
    }
    // A fully qualified name may end in its root's dot.
    const QString name = host.endsWith(QLatin1Char('.')) ? host.left(host.size() - 1) : host;
    for (const QString& label : name.split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > kMaxLabelLength || label.startsWith(QLatin1Char('-'))
            || label.endsWith(QLatin1Char('-')))
            return false;
    }
    return true;
}

pullUrl pullUrl::parse(const QString& text)
{
    if (text.size() > kMaxUrlLength)
        return refused(QStringLiteral("url does not parse: longer than %1 characters").arg(kMaxUrlLength));
    const int sep = text.indexOf(QLatin1String("://"));
    if (sep <= 0)
        return refused(QStringLiteral("url does not parse: expected scheme://host:port"));
    const QString scheme = text.left(sep).toLower();
    pullUrl u;
    if (scheme == QLatin1String("oxdp"))
        u.scheme = Oxdp;
    else if (scheme == QLatin1String("oxtcp"))
        u.scheme = Oxtcp;
    else
        return refused(QStringLiteral("unknown scheme: %1 (oxdp:// or oxtcp://)").arg(text.left(sep)));

    QString rest = text.mid(sep + 3);
    QString query;
    const int q = rest.indexOf(QLatin1Char('?'));
    if (q >= 0) {
        query = rest.mid(q + 1);
        rest = rest.left(q);
    }
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    const int colon = rest.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return refused(QStringLiteral("url does not parse: no port"));
    u.host = rest.left(colon);
    const QString portText = rest.mid(colon + 1);
    if (u.host.isEmpty())
        return refused(QStringLiteral("url does not parse: no host"));
    if (!hostIsValid(u.host))
        return refused(QStringLiteral("url does not parse: bad host (an IPv4 address, or a DNS name of letters, "
                                      "digits, hyphens and dots of at most %1 characters)")
                           .arg(kMaxHostLength));
    if (!allDigits(portText))
        return refused(QStringLiteral("url does not parse: the port is not a number"));
    const qlonglong port = portText.size() > 6 ? 1000000 : portText.toLongLong();
    if (port < 1 || port > 65535)
        return refused(QStringLiteral("port out of range: %1 (1 to 65535)").arg(portText));
    u.port = static_cast<int>(port);

    if (query.isEmpty())
        return u;
    for (const QString& pair : query.split(QLatin1Char('&'))) {
        const int eq = pair.indexOf(QLatin1Char('='));
        const QString key = eq < 0 ? pair : pair.left(eq);
        const QString value = eq < 0 ? QString() : QUrl::fromPercentEncoding(pair.mid(eq + 1).toUtf8());
        if (u.scheme != Oxdp)
            return refused(QStringLiteral("url does not parse: oxtcp:// takes no options"));
        if (key == QLatin1String("latency")) {
            if (!allDigits(value) || value.size() > 6 || value.toInt() > kMaxLatencyMs)
                return refused(QStringLiteral("url does not parse: latency must be 0 to %1 ms").arg(kMaxLatencyMs));
            u.latencyMs = value.toInt();
        } else if (key == QLatin1String("passphrase")) {
            u.passphrase = value.toUtf8();
            if (u.passphrase.size() < kMinPassphrase || u.passphrase.size() > kMaxPassphrase)
                return refused(QStringLiteral("url does not parse: passphrase must be %1 to %2 characters")
                                   .arg(kMinPassphrase)
                                   .arg(kMaxPassphrase));
        } else {
            return refused(QStringLiteral("url does not parse: unknown option \"%1\"").arg(key.left(40)));
        }
    }
    return u;
}

QString pullUrl::redacted(const QString& text)
{
    QString out = text;
    out.replace(QRegularExpression(QStringLiteral("passphrase=[^&]*")), QStringLiteral("passphrase=***"));
    return out;
}
