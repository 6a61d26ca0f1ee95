// CivetWeb as Debian builds it does not link the TLS library: it loads it at
// run time by the development names "libssl.so" and "libcrypto.so", which
// only libssl-dev provides, and it asks for SSL_get_peer_certificate, which
// OpenSSL 3 no longer exports. Either alone leaves HTTPS dead on a plain
// installation. The program links OpenSSL itself; this file answers
// CivetWeb's two look-ups with the process's own global scope, so CivetWeb
// uses exactly the OpenSSL that the program was built and linked against
// (the SSL_CTX made in webTls.cpp is then valid for it), whatever
// development files the machine has. Every other dlopen passes through
// unchanged. The programs export both symbols (see CMakeLists.txt).
#include "webTlsLibrary.h"

#include <openssl/ssl.h>

#include <cstring>

#include <dlfcn.h>

namespace {

using dlopenFn = void* (*)(const char*, int);

dlopenFn systemDlopen()
{
    static const dlopenFn next = reinterpret_cast<dlopenFn>(::dlsym(RTLD_NEXT, "dlopen"));
    return next;
}

bool isTlsDevelopmentName(const char* file)
{
    return file && (std::strcmp(file, "libssl.so") == 0 || std::strcmp(file, "libcrypto.so") == 0);
}

} // namespace

extern "C" {

void* dlopen(const char* file, int mode) noexcept
{
    const dlopenFn next = systemDlopen();
    if (!next)
        return nullptr;
    // The global scope holds the linked libssl and libcrypto.
    return next(isTlsDevelopmentName(file) ? nullptr : file, mode);
}

// The name of OpenSSL 1.1; OpenSSL 3 calls the same function SSL_get1_peer_certificate.
X509* oxnode_SSL_get_peer_certificate(const SSL* ssl) __asm__("SSL_get_peer_certificate");
X509* oxnode_SSL_get_peer_certificate(const SSL* ssl)
{
    return SSL_get1_peer_certificate(ssl);
}

} // extern "C"

bool webTlsLibraryLinked()
{
    // Referenced by the web server so that this file is always linked in.
    return systemDlopen() != nullptr && OPENSSL_init_ssl(0, nullptr) == 1;
}
