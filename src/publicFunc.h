#pragma once
// JSON file helpers and digests shared by the service, registry and nodes.
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

QJsonObject readJsonFile(QString path);
QJsonArray readJsonArrayFile(QString path);
// Write Qt's indented JSON, replacing the file. Returns false when the file
// could not be written completely (the old file is then left in place).
bool saveJsonToFile(QJsonObject json, QString path);
bool saveJsonArrayToFile(QJsonArray array, QString path);
QString md5Str(const char* data, int len);
// 32 lower-case hex digits from a cryptographically secure source.
QString randomToken();
// Compares in time independent of where the texts differ.
bool constantTimeEquals(const QString& a, const QString& b);
