#pragma once
// The address of a pull source as a value: "oxdp://host:port?latency=20&passphrase=..."
// (SRT caller) or "oxtcp://host:port" (TCP client). Parsing is a pure
// function with a stated reason for every refusal, so the command that sets
// a pull source can answer clearly and the parser is tested without a network.
#include <QByteArray>
#include <QString>

struct pullUrl {
    enum Scheme { None, Oxdp, Oxtcp };

    // Longest URL accepted: it is stored in stream.json and shown in every status.
    static constexpr int kMaxUrlLength = 1024;
    // A host is an IPv4 address or a DNS name: letters, digits, hyphens and
    // dots, labels of at most 63 characters, 253 in all. Nothing else reaches
    // a resolver or a log line.
    static constexpr int kMaxHostLength = 253;
    static constexpr int kMaxLabelLength = 63;
    // What libsrt accepts as a passphrase (SRTO_PASSPHRASE).
    static constexpr int kMinPassphrase = 10;
    static constexpr int kMaxPassphrase = 79;
    // SRT receive latency: the default is that of the oxdp listeners.
    static constexpr int kDefaultLatencyMs = 20;
    static constexpr int kMaxLatencyMs = 10000;

    Scheme scheme = None;
    QString host;  // hostIsValid() holds for it
    int port = 0;
    int latencyMs = kDefaultLatencyMs;
    QByteArray passphrase; // empty: unencrypted
    QString error;         // why the text was refused; empty when it was accepted

    bool ok() const { return error.isEmpty() && scheme != None; }

    // Any thread.
    static pullUrl parse(const QString& text);
    // Any thread: true for a dotted IPv4 address or a DNS name as above.
    static bool hostIsValid(const QString& host);
    // The text with its passphrase hidden, for log lines.
    static QString redacted(const QString& text);
};
