#pragma once
// The HTTPS settings of appcfg.json: "httpsPort" (0: off), "httpsCert" (a PEM
// certificate chain) and "httpsKey" (its private key; empty: in the
// certificate's file). Unset keys are never written, so a file or reply of
// a service that never used HTTPS stays as it was. Main thread.
#include <QJsonObject>
#include <QString>

#include <functional>

// The file made at the first start with HTTPS on and no certificate set,
// in the working directory.
extern const QString kSelfSignedCertFile;

struct httpsSettings {
    // Longest accepted path of a certificate or key file.
    static constexpr int kMaxPathChars = 4096;

    int port = 0;
    QString cert;
    QString key;

    // From appcfg.json; a key of another type reads as unset.
    static httpsSettings fromJson(const QJsonObject& cfg);
    // Adds the keys that are set to o.
    void addTo(QJsonObject* o) const;
    // Whether a settings command names any of the three keys.
    static bool named(const QJsonObject& data);
    // Applies the keys data names; false, with *error and nothing changed,
    // when any is invalid. portFree tells a port the service may take;
    // webPorts are the plain web port now and after the same command.
    bool update(const QJsonObject& data, const std::function<bool(int)>& portFree, int webPortNow, int webPortNext,
                QString* error);
    // The certificate and key files in use: the made one when none is set.
    QString certFile() const { return cert.isEmpty() ? kSelfSignedCertFile : cert; }
    QString keyFile() const { return cert.isEmpty() ? QString() : key; }
};
