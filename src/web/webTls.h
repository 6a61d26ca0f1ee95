#pragma once
// TLS of the web server's HTTPS port. CivetWeb runs the handshakes and the
// record layer on its workers with the SSL_CTX made here; which certificate
// a handshake presents is chosen in that handshake from the pair loaded
// last, so a reload (SIGHUP, a new path) reaches the next connection and
// never disturbs an open one.
//
// Threads: made and reloaded on the main thread; the certificate callback
// runs on CivetWeb's workers. One mutex guards the pointer to the current
// pair; a pair never changes once loaded.
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
struct webTlsIdentity;

class webTlsContext
{
public:
    // Certificate and key files are small; a larger one is refused unread.
    static constexpr long kMaxPemBytes = 1024 * 1024;

    // Main thread. TLS 1.2 and 1.3, no renegotiation, the library's default
    // ciphers; no certificate yet (see load).
    webTlsContext();
    ~webTlsContext();
    webTlsContext(const webTlsContext&) = delete;
    webTlsContext& operator=(const webTlsContext&) = delete;

    // Main thread. Loads the certificate chain of certPath and the key of
    // keyPath (empty: from certPath) and serves them from the next
    // handshake on. On failure nothing changes and *error says why.
    bool load(const QString& certPath, const QString& keyPath, QString* error);
    bool hasCertificate() const;
    // SHA-256 of the certificate in use, "AB:CD:...", empty without one.
    QString fingerprint() const;
    // Null when the library refused to make a context. Owned here.
    SSL_CTX* sslContext() const { return ctx; }

private:
    static int certificateCallback(SSL* ssl, void* self);

    SSL_CTX* ctx = nullptr;
    mutable std::mutex mutex;
    std::shared_ptr<const webTlsIdentity> current;  // under mutex
};

// Any thread. Whether certPath and keyPath (empty: from certPath) load as a
// certificate chain with its private key; *error says why not.
bool webTlsCheckPair(const QString& certPath, const QString& keyPath, QString* error);

// Any thread. A self-signed certificate with a new P-256 key, signed with
// SHA-256, for names (the first is also the subject), key and certificate
// in one PEM file at path, readable by its owner only. *fingerprint is the
// certificate's SHA-256.
bool webTlsMakeSelfSigned(const QString& path, const QStringList& names, QString* fingerprint, QString* error);
