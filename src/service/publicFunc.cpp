#include "publicFunc.h"
#include "logging.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

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

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool writeAtomically(const QByteArray& text, const QString& path, QString* error, bool* looserMode)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    const QByteArray target = QFile::encodeName(path);
    if (looserMode) {
        struct stat st{};
        *looserMode = ::stat(target.constData(), &st) == 0 && (st.st_mode & 077) != 0;
    }
    // Write to a temporary file beside it and rename that over the old one,
    // so that a crash or a full disk never leaves a cut settings file behind.
    // mkstemp creates it readable by its owner only: both files hold secrets.
    QByteArray temp = target + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return fail(systemError());
    auto discard = [&](const QString& why) {
        ::close(fd);
        ::unlink(temp.constData());
        return fail(why);
    };
    for (qint64 done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.constData() + done, static_cast<size_t>(text.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return discard(systemError());
        done += n;
    }
    if (::fsync(fd) != 0)
        return discard(systemError());
    if (::close(fd) != 0) {
        const QString why = systemError();
        ::unlink(temp.constData());
        return fail(why);
    }
    if (::rename(temp.constData(), target.constData()) != 0) {
        const QString why = systemError();
        ::unlink(temp.constData());
        return fail(why);
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

bool saveJsonToFile(QJsonObject json, QString path, QString* error, bool* looserMode)
{
    return writeAtomically(QJsonDocument(json).toJson(QJsonDocument::Indented), path, error, looserMode);
}

bool saveJsonArrayToFile(QJsonArray array, QString path, QString* error, bool* looserMode)
{
    return writeAtomically(QJsonDocument(array).toJson(QJsonDocument::Indented), path, error, looserMode);
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

bool constantTimeEquals(const QString& a, const QByteArray& b)
{
    unsigned diff = static_cast<unsigned>(a.size() ^ b.size());
    const int n = qMax(a.size(), b.size());
    for (int i = 0; i < n; ++i) {
        const unsigned ca = i < a.size() ? a.at(i).unicode() : 0u;
        const unsigned cb = i < b.size() ? static_cast<unsigned char>(b.at(i)) : 0u;
        diff |= ca ^ cb;
    }
    return diff == 0;
}
