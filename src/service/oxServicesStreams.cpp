// Stream registry: stream.json, ID allocation, creation, deletion, renaming.
// Main thread only.
#include "logging.h"
#include "oxProfile.h"
#include "oxServices.h"
#include "streamPull.h"
#include "streamPublish.h"
#include "oxStream.h"
#include "publicFunc.h"

namespace {
const QString kStreamFile = QStringLiteral("stream.json");
constexpr int kMaxLoadedId = 100;  // accepted from the file
constexpr int kMaxCreatedId = 99; // handed out to new streams

int intOr(const QJsonValue& v, int def)
{
    return v.isDouble() ? v.toInt() : def;
}
} // namespace

void oxServices::loadStream()
{
    const QJsonArray list = readJsonArrayFile(kStreamFile);
    for (const QJsonValue& v : list) {
        QJsonObject o = v.toObject();
        const int id = intOr(o.value(QStringLiteral("id")), -1);
        if (!checkStreamIdUsable(id))
            continue;
        const QString name = o.value(QStringLiteral("name")).toString();
        if (oxStream::nameChars(name) > oxStream::kMaxNameChars) {
            qCWarning(lcService, "stream %d: its name in %s has %d characters, cut to %d", id,
                      qUtf8Printable(kStreamFile), oxStream::nameChars(name), oxStream::kMaxNameChars);
            o.insert(QStringLiteral("name"), oxStream::cutName(name));
            needSave = true;
        }
        streams.append(new oxStream(this, id, o, nullptr));
        loadStreamAccess(streams.last(), o);
    }
    if (streams.isEmpty()) {
        streams.append(new oxStream(this, 0, QJsonObject(), nullptr));
        saveStream();
    }
}

bool oxServices::saveStream()
{
    QJsonArray array;
    for (oxStream* s : streams)
        array.append(withStreamAccess(s->getCfg(), s, true));
    QString error;
    bool tightened = false;
    const bool ok = saveJsonArrayToFile(array, kStreamFile, &error, &tightened);
    noteFileSaved(kStreamFile, ok, error, tightened);
    return ok;
}

QJsonArray oxServices::getStreamList()
{
    QJsonArray array;
    for (oxStream* s : streams) {
        QJsonObject entry = oxProfile::current().liveStatus ? s->getStatus() : s->getCfg();
        if (s->publishPolicySet())
            entry.insert(QStringLiteral("publishState"), streamPublish::state(s));
        array.append(withStreamAccess(streamPull::shown(entry), s, false));
    }
    return array;
}

int oxServices::getUseableStreamID()
{
    for (int i = 0; i <= kMaxCreatedId; ++i) {
        if (checkStreamIdUsable(i))
            return i;
    }
    return -1;
}

bool oxServices::checkStreamIdUsable(int id)
{
    if (id < 0 || id > kMaxLoadedId)
        return false;
    for (oxStream* s : streams) {
        if (s->streamId == id)
            return false;
    }
    return true;
}

void oxServices::cmdSlot(QJsonObject cmd)
{
    if (shutDown)
        return;
    const QString c = cmd.value(QStringLiteral("cmd")).toString();
    const QJsonObject data = cmd.value(QStringLiteral("data")).toObject();
    if (c == QLatin1String("newStreamServer")) {
        if (data.isEmpty())
            return;
        createStream(data.value(QStringLiteral("newName")).toString());
    } else if (c == QLatin1String("deleteStreamServer")) {
        if (data.isEmpty())
            return;
        deleteStream(intOr(data.value(QStringLiteral("streamID")), -1));
    }
}

QString oxServices::streamNameRefusal(const QString& name)
{
    const int chars = oxStream::nameChars(name);
    if (chars <= oxStream::kMaxNameChars)
        return QString();
    return QStringLiteral("stream name too long: %1 characters (at most %2)").arg(chars).arg(oxStream::kMaxNameChars);
}

void oxServices::createStream(const QString& newName)
{
    if (newName.isEmpty() || !streamNameRefusal(newName).isEmpty())
        return;
    const int id = getUseableStreamID();
    if (id < 0)
        return;
    auto* stream = new oxStream(this, id, QJsonObject{{QStringLiteral("name"), newName}}, nullptr);
    streams.append(stream);
    stream->start();
    needSave = true;
}

void oxServices::deleteStream(int id)
{
    if (id < 0)
        return;
    const QList<oxStream*> snapshot = streams;
    for (oxStream* s : snapshot) {
        if (s->streamId == id) {
            streams.removeOne(s);
            s->stop();
            delete s;
            break;
        }
    }
    needSave = true;
}

void oxServices::renameStream(const QJsonObject& cmd)
{
    const QJsonObject data = cmd.value(QStringLiteral("data")).toObject();
    if (data.isEmpty())
        return;
    const int id = intOr(data.value(QStringLiteral("id")), 0);
    const QJsonValue nameValue = data.value(QStringLiteral("newName"));
    const QString newName = nameValue.isString() ? nameValue.toString() : QString();
    if (newName.isEmpty() || !streamNameRefusal(newName).isEmpty())
        return;
    for (oxStream* s : streams) {
        if (s->streamId == id) {
            s->streamName = newName;
            needSave = true;
            return;
        }
    }
}
