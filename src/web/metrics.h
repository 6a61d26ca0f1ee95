#pragma once
// GET /metrics: the service's figures in the Prometheus text format 0.0.4.
// Built on the main thread from what it holds (streams, nodes, the heart
// tick's byte counts) and from what the endpoints and the web server publish
// in atomics; building it takes no lock of the media path. No password,
// token or passphrase ever appears in it: the only free-form label values
// are the stream names an operator set, escaped.
#include <QByteArray>
#include <QString>

#include <memory>
#include <string>

class oxServices;

// Main thread.
QByteArray metricsText(oxServices& services);

// Readings of /metrics in flight at once, each from its build to the end of
// its write, for it holds its whole text meanwhile. One more is answered 503
// (with Retry-After: 1) at once instead of waiting, so that readers who never
// read cannot pile texts up or hold web workers in a queue.
constexpr int kMaxMetricsReadings = 2;
// Main thread: a place for one reading, given back when the last copy of the
// token is dropped (any thread); null when all are taken.
std::shared_ptr<void> takeMetricsReading();

// Main thread. Loopback clients read without credentials; others must send
// HTTP Basic credentials of the web user: the plain password (checked
// against the stored digest) or, when the configured password is a finished
// 32-character digest, that value as it stands.
bool metricsAccessAllowed(const oxServices& services, bool loopback, const QByteArray& authorization);

// A label value with '\', '"' and line feeds escaped as the format wants.
std::string metricsLabelValue(const QString& value);
