#pragma once
// JSON file helpers and digests shared by the service, registry and nodes.
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

QJsonObject readJsonFile(QString path);
QJsonArray readJsonArrayFile(QString path);
// Write Qt's indented JSON, replacing the file, readable by its owner only
// (both files hold secrets). Returns false, with the system's reason in
// *error, when the file could not be written completely: the old file is
// then left as it was. *looserMode is set when the old file could be read
// by others (it is 0600 from now on).
bool saveJsonToFile(QJsonObject json, QString path, QString* error = nullptr, bool* looserMode = nullptr);
bool saveJsonArrayToFile(QJsonArray array, QString path, QString* error = nullptr, bool* looserMode = nullptr);
QString md5Str(const char* data, int len);
// 32 lower-case hex digits from a cryptographically secure source.
QString randomToken();
// Compares in time independent of where the texts differ.
bool constantTimeEquals(const QString& a, const QString& b);
// The same against Latin-1 bytes (a token kept as bytes), without a conversion.
bool constantTimeEquals(const QString& a, const QByteArray& latin1);
