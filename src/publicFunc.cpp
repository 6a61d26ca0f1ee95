#include "publicFunc.h"
#include "logging.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

#include <sys/random.h>

namespace {

QJsonDocument readJsonDocument(const QString& path)
{
    QByteArray bytes;
    QFile file(path);
    // A file that is not there yet (the first start in a directory) is not
    // malformed: the caller's defaults apply without a parser message.
    if (!file.exists())
        return QJsonDocument();
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        bytes = file.readAll();
        file.close();
    }
    // Up to the first zero byte, as text.
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    bytes = QString::fromUtf8(bytes).toUtf8();
    QJsonParseError err;
    QJsonDocument doc = QJsonDocument::fromJson(bytes, &err);
    if (err.error != QJsonParseError::NoError)
        qCDebug(lcService, "%s", qUtf8Printable(err.errorString()));
    return doc;
}

bool writeAtomically(const QByteArray& text, const QString& path)
{
    // Write to a temporary file and rename it over the old one, so that a
    // crash or a full disk never leaves a truncated settings file behind.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCWarning(lcService, "cannot write %s: %s", qUtf8Printable(path), qUtf8Printable(file.errorString()));
        return false;
    }
    file.write(text);
    if (!file.commit()) {
        qCWarning(lcService, "cannot write %s: %s", qUtf8Printable(path), qUtf8Printable(file.errorString()));
        return false;
    }
    return true;
}

} // namespace

QJsonObject readJsonFile(QString path)
{
    const QJsonDocument doc = readJsonDocument(path);
    return doc.isObject() ? doc.object() : QJsonObject();
}

QJsonArray readJsonArrayFile(QString path)
{
    const QJsonDocument doc = readJsonDocument(path);
    return doc.isArray() ? doc.array() : QJsonArray();
}

bool saveJsonToFile(QJsonObject json, QString path)
{
    return writeAtomically(QJsonDocument(json).toJson(QJsonDocument::Indented), path);
}

bool saveJsonArrayToFile(QJsonArray array, QString path)
{
    return writeAtomically(QJsonDocument(array).toJson(QJsonDocument::Indented), path);
}

QString md5Str(const char* data, int len)
{
    const QByteArray digest = QCryptographicHash::hash(QByteArray::fromRawData(data ? data : "", data ? len : 0),
                                                       QCryptographicHash::Md5);
    return QString::fromLatin1(digest.toHex());
}

QString randomToken()
{
    unsigned char raw[16];
    size_t got = 0;
    while (got < sizeof raw) {
        const ssize_t n = getrandom(raw + got, sizeof raw - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
    }
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(raw), sizeof raw).toHex());
}

bool constantTimeEquals(const QString& a, const QString& b)
{
    const QByteArray x = a.toUtf8();
    const QByteArray y = b.toUtf8();
    unsigned diff = static_cast<unsigned>(x.size() ^ y.size());
    const int n = qMax(x.size(), y.size());
    for (int i = 0; i < n; ++i) {
        const unsigned char cx = i < x.size() ? static_cast<unsigned char>(x[i]) : 0;
        const unsigned char cy = i < y.size() ? static_cast<unsigned char>(y[i]) : 0;
        diff |= static_cast<unsigned>(cx ^ cy);
    }
    return diff == 0;
}
