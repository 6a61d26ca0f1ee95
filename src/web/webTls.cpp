#include "webTls.h"

#include <QFile>
#include <QHostAddress>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

// One certificate chain with its key; freed with the last handshake that uses it.
struct webTlsIdentity {
    X509* leaf = nullptr;
    STACK_OF(X509)* chain = nullptr;
    EVP_PKEY* key = nullptr;
    QString fingerprint;
    ~webTlsIdentity()
    {
        X509_free(leaf);
        sk_X509_pop_free(chain, X509_free);
        EVP_PKEY_free(key);
    }
};

namespace {

// The newest reason the library gave, for an error line.
QString libraryError()
{
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0)
        return QStringLiteral("unknown reason");
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return QString::fromLatin1(buf);
}

bool readPem(const QString& path, QByteArray* out, QString* error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return false;
    }
    if (f.size() > webTlsContext::kMaxPemBytes) {
        *error = QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(webTlsContext::kMaxPemBytes);
        return false;
    }
    *out = f.readAll();
    return true;
}

QString sha256Fingerprint(X509* cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(cert, EVP_sha256(), md, &n) != 1)
        return {};
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(md), static_cast<int>(n)).toHex(':').toUpper());
}

std::shared_ptr<webTlsIdentity> loadIdentity(const QString& certPath, const QString& keyPath, QString* error)
{
    QByteArray certPem;
    QByteArray keyPem;
    if (!readPem(certPath, &certPem, error))
        return nullptr;
    if (keyPath.isEmpty())
        keyPem = certPem;
    else if (!readPem(keyPath, &keyPem, error))
        return nullptr;

    auto id = std::make_shared<webTlsIdentity>();
    ERR_clear_error();
    BIO* bio = BIO_new_mem_buf(certPem.constData(), certPem.size());
    id->leaf = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    if (id->leaf) {
        id->chain = sk_X509_new_null();
        while (X509* extra = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr))
            sk_X509_push(id->chain, extra);
    }
    BIO_free(bio);
    if (!id->leaf) {
        *error = QStringLiteral("no PEM certificate in %1").arg(certPath);
        ERR_clear_error();
        return nullptr;
    }
    ERR_clear_error();  // the end of the chain reads as an error
    bio = BIO_new_mem_buf(keyPem.constData(), keyPem.size());
    // No pass phrase prompt: an encrypted key cannot be used unattended.
    id->key = PEM_read_bio_PrivateKey(bio, nullptr, [](char*, int, int, void*) { return 0; }, nullptr);
    BIO_free(bio);
    const QString keyFile = keyPath.isEmpty() ? certPath : keyPath;
    if (!id->key) {
        *error = QStringLiteral("no unencrypted PEM private key in %1").arg(keyFile);
        ERR_clear_error();
        return nullptr;
    }
    if (X509_check_private_key(id->leaf, id->key) != 1) {
        *error = QStringLiteral("the private key in %1 does not belong to the certificate in %2").arg(keyFile, certPath);
        ERR_clear_error();
        return nullptr;
    }
    id->fingerprint = sha256Fingerprint(id->leaf);
    return id;
}

bool addExtension(X509* cert, int nid, const QByteArray& value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.constData());
    if (!ext)
        return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

} // namespace

webTlsContext::webTlsContext()
{
    ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx)
        return;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
    static const unsigned char kSessionContext[] = "oxnode";
    SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
    SSL_CTX_set_cert_cb(ctx, &webTlsContext::certificateCallback, this);
}

webTlsContext::~webTlsContext()
{
    SSL_CTX_free(ctx);
}

bool webTlsContext::load(const QString& certPath, const QString& keyPath, QString* error)
{
    std::shared_ptr<const webTlsIdentity> id = loadIdentity(certPath, keyPath, error);
    if (!id)
        return false;
    std::lock_guard<std::mutex> lock(mutex);
    current = std::move(id);
    return true;
}

bool webTlsContext::hasCertificate() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return current != nullptr;
}

QString webTlsContext::fingerprint() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return current ? current->fingerprint : QString();
}

int webTlsContext::certificateCallback(SSL* ssl, void* self)
{
    std::shared_ptr<const webTlsIdentity> id;
    {
        auto* tls = static_cast<webTlsContext*>(self);
        std::lock_guard<std::mutex> lock(tls->mutex);
        id = tls->current;
    }
    // The handshake takes its own references: a later reload may free this pair.
    return id && SSL_use_cert_and_key(ssl, id->leaf, id->key, id->chain, 1) == 1 ? 1 : 0;
}

bool webTlsCheckPair(const QString& certPath, const QString& keyPath, QString* error)
{
    return loadIdentity(certPath, keyPath, error) != nullptr;
}

bool webTlsMakeSelfSigned(const QString& path, const QStringList& names, QString* fingerprint, QString* error)
{
    if (names.isEmpty()) {
        *error = QStringLiteral("no name for the certificate");
        return false;
    }
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    bool ok = key && cert;
    QByteArray san;
    for (const QString& name : names) {
        if (!san.isEmpty())
            san += ',';
        san += (QHostAddress(name).isNull() ? "DNS:" : "IP:") + name.toLatin1();
    }
    if (ok) {
        unsigned char serial[16];
        ok = RAND_bytes(serial, sizeof serial) == 1;
        serial[0] &= 0x7f;  // a positive number
        BIGNUM* bn = ok ? BN_bin2bn(serial, sizeof serial, nullptr) : nullptr;
        ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
        BN_free(bn);
    }
    if (ok) {
        constexpr long kValidSeconds = 10L * 365 * 24 * 3600;
        X509_NAME* subject = X509_get_subject_name(cert);
        const QByteArray cn = names.first().toUtf8();
        ok = X509_set_version(cert, 2) == 1 && X509_gmtime_adj(X509_getm_notBefore(cert), -3600)
            && X509_gmtime_adj(X509_getm_notAfter(cert), kValidSeconds) && X509_set_pubkey(cert, key) == 1
            && X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(cn.constData()), -1, -1, 0)
                == 1
            && X509_set_issuer_name(cert, subject) == 1
            && addExtension(cert, NID_basic_constraints, "critical,CA:FALSE")
            && addExtension(cert, NID_key_usage, "critical,digitalSignature")
            && addExtension(cert, NID_ext_key_usage, "serverAuth")
            && addExtension(cert, NID_subject_alt_name, san) && X509_sign(cert, key, EVP_sha256()) > 0;
    }
    if (!ok) {
        *error = QStringLiteral("cannot make a certificate: %1").arg(libraryError());
    } else {
        // Written beside and renamed, so that a reader never sees half a file.
        const QByteArray target = QFile::encodeName(path);
        const QByteArray temp = target + ".new";
        const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        FILE* f = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
        ok = f && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1
            && PEM_write_X509(f, cert) == 1;
        if (f)
            ok = std::fclose(f) == 0 && ok;
        else if (fd >= 0)
            ::close(fd);
        ok = ok && ::rename(temp.constData(), target.constData()) == 0;
        if (!ok) {
            ::unlink(temp.constData());
            *error = QStringLiteral("cannot write %1").arg(path);
        } else {
            *fingerprint = sha256Fingerprint(cert);
        }
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok;
}
