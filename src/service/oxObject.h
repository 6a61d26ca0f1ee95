#pragma once
// Common base of the service, streams and endpoints: a QObject with an
// identity (type, name, endpointId) and the coloured oxLog. Nodes and node
// connections are plain objects: a fleet holds one of each per device.
#include <QObject>
#include <QString>

class oxObject : public QObject
{
    Q_OBJECT
public:
    explicit oxObject(QObject* parent = nullptr);
    ~oxObject() override = default;

    // Thread safe as long as type/name are not changed concurrently:
    // endpoints log from their network threads.
    virtual void oxLog(int level, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;
    virtual void setLogLeve(int level);

    int endpointId = 0;
    QString type = QStringLiteral("Notset");
    QString name;
    int logLevel = 0;

protected:
    void oxLogV(int level, const char* format, va_list ap);
};
