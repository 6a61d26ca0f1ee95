#pragma once
// What the service knows about one device, as a plain value: the last status
// report, its rendering as a status object, the component property cache and
// how a message on a logged-in connection is classified. No sockets and no
// service here, so the rules are unit-tested and fuzzed on their own.
// Not thread safe: the owning oxNode lives on the main thread.
#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// The latest reported object per property of one component, in order of arrival.
struct compProperties {
    QString compName;
    QList<QJsonObject> propList;
};

// Cache bounds per node: a device (or any host on the multicast group) could
// otherwise grow it without limit by naming ever new components or properties.
constexpr int kMaxCachedComponents = 256;
constexpr int kMaxCachedProperties = 256;
// The same in bytes (a report counts with its compact JSON size). A device's
// properties are a few dozen short values, a few KiB together; 64 KiB per
// node and 16 MiB for all nodes (2,048 devices at 8 KiB each) leave honest
// devices far below, and a report that would pass either is dropped, newest
// first: what is cached stays.
constexpr qint64 kMaxPropertyBytesPerNode = 64 * 1024;
constexpr qint64 kMaxPropertyBytesTotal = 16 * 1024 * 1024;

// The property bytes cached by all nodes of one service. Same thread as the
// nodes (main thread); each node gives its share back when it goes away.
// Shared ownership: the service's Qt children (its nodes) outlive its members.
struct oxPropertyBudget {
    qint64 used = 0;
    qint64 limit = kMaxPropertyBytesTotal;
};

// Lenient readers: a missing key or a value of another type gives the default.
QString jsonStr(const QJsonObject& o, const QString& key, const QString& def = QString());
int jsonInteger(const QJsonObject& o, const QString& key, int def = 0);
bool jsonBool(const QJsonObject& o, const QString& key, bool def = false);

// What a frame on a logged-in connection asks for.
enum class BoundMessage { Login, BadSession, KeepAlive, Status, Command };
BoundMessage classifyBoundMessage(const QJsonObject& json, const QByteArray& sessionToken);

class oxNodeState
{
public:
    oxNodeState() = default;
    // Not copyable: the cache's bytes are counted once in the shared budget.
    oxNodeState(const oxNodeState&) = delete;
    oxNodeState& operator=(const oxNodeState&) = delete;
    ~oxNodeState();

    // Applies a "nodeStatus" report (anything else is ignored): every field is
    // overwritten, missing keys reset it. Does not touch id, sn or liveness.
    // Returns false when json is not a status report.
    bool applyStatus(const QJsonObject& json);
    QJsonObject statusObject(bool online) const;

    // Stores one "compProperty" report; false when a cache bound refused it
    // (logged, at most once a second per node).
    bool compPropertyInfo(const QJsonObject& data);
    // A copy of the cached object, or an empty object.
    QJsonObject getCompProperties(const QString& compName, const QString& propName) const;

    int id = 0;
    QString sn;
    QString alias;
    int runtime = 0;
    int temperature = 0;
    bool loginToServer = false;
    // The rest of the last report, read back from its compact form.
    QString version() const { return textField(Version); }
    QString server() const { return textField(Server); }
    QString mainIp() const { return textField(MainIp); }
    QString workMode() const { return textField(WorkMode); }
    // Empty before the first report, at least one (maybe empty) mode after it.
    QStringList modeList() const;
    QJsonArray pipelist() const;
    QJsonObject network() const;
    QList<compProperties> compList;
    // Shared with the other nodes of the service, or null (no total bound).
    std::shared_ptr<oxPropertyBudget> propertyBudget;
    qint64 propertyBytes() const { return propertyBytes_; }

private:
    // What report_ holds: how the texts are encoded (kUtf8 or kUtf16), then
    // in this order each field as a length and its bytes: the texts
    // ("modeList" as the node sent it), then "pipelist" and "network" as
    // compact JSON (empty for none).
    enum Field { Version, Server, MainIp, WorkMode, ModeList, kTextFields, Pipelist = kTextFields, Network, kFields };
    static constexpr char kUtf8 = '8';
    static constexpr char kUtf16 = 'w';
    QByteArray rawField(Field f) const;
    QString textField(Field f) const;

    // The last report's texts in one block: a node of a large fleet holds one
    // buffer instead of a string, list or parsed tree per field (a value
    // taken out of the parsed report would even keep that whole report alive).
    // Empty before the first report.
    QByteArray report_;
    qint64 propertyBytes_ = 0; // compact JSON size of everything in compList
};
