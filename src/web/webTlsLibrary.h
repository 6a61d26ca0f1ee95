#pragma once
// Lets CivetWeb find the TLS library the program links (webTlsLibrary.cpp).

// Any thread. True when the TLS library is ready for CivetWeb.
bool webTlsLibraryLinked();
