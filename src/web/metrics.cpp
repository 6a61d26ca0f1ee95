#include "metrics.h"
#include "service/opsCounters.h"
#include "node/oxNode.h"
#include "service/oxServices.h"
#include "oxStream.h"
#include "oxStreamType.h"
#include "service/publicFunc.h"

#include <QCoreApplication>
#include <QCryptographicHash>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <unistd.h>

#ifndef OXNODE_VERSION
#define OXNODE_VERSION "unknown"
#endif

namespace {

// The text is built in the QByteArray that is sent: no copy of it is made.
using Text = QByteArray;

void append(Text& out, const std::string& s)
{
    out.append(s.data(), static_cast<int>(s.size()));
}

void appendInt(std::string& out, int64_t v)
{
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void appendInt(Text& out, int64_t v)
{
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<int>(r.ptr - buf));
}

void appendUint(Text& out, uint64_t v)
{
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<int>(r.ptr - buf));
}

void appendDouble(Text& out, double v)
{
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "%.10g", v);
    out.append(buf, n > 0 ? n : 0);
}

void family(Text& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sampleHead(Text& out, const char* name, const std::string& labels)
{
    out += name;
    if (!labels.empty()) {
        out += '{';
        append(out, labels);
        out += '}';
    }
    out += ' ';
}

struct EndpointRow {
    std::string labels; // stream, name, endpoint
    bool output = false;
    oxEndpointFigures f;
};

struct StreamRow {
    std::string labels; // stream, name
    uint64_t received = 0;
    int64_t rate = 0;
    bool gated = false; // a publish policy is set
    uint64_t switches = 0;
    uint64_t publisherDropped = 0;
};

// Process figures from /proc; zero where it cannot be read.
double processStartSeconds()
{
    static double cached = -1;
    if (cached >= 0)
        return cached;
    cached = 0;
    long long bootTime = 0;
    if (FILE* f = std::fopen("/proc/stat", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "btime %lld", &bootTime) == 1)
                break;
        }
        std::fclose(f);
    }
    if (FILE* f = std::fopen("/proc/self/stat", "r")) {
        char buf[1024];
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = '\0';
        // Field 22 (start time in clock ticks), counted after the ')' that ends the name.
        const char* p = std::strrchr(buf, ')');
        unsigned long long ticks = 0;
        if (p && std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                             &ticks) == 1) {
            const long hz = ::sysconf(_SC_CLK_TCK);
            if (hz > 0)
                cached = static_cast<double>(bootTime) + static_cast<double>(ticks) / static_cast<double>(hz);
        }
    }
    return cached;
}

int64_t openDescriptors()
{
    DIR* d = ::opendir("/proc/self/fd");
    if (!d)
        return 0;
    int64_t n = 0;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.')
            ++n;
    }
    ::closedir(d);
    return n > 0 ? n - 1 : 0; // the directory's own descriptor
}

int64_t residentBytes()
{
    long long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        long long size = 0;
        if (std::fscanf(f, "%lld %lld", &size, &pages) != 2)
            pages = 0;
        std::fclose(f);
    }
    return pages * ::sysconf(_SC_PAGESIZE);
}

template <typename Get>
void endpointFamily(Text& out, const std::vector<EndpointRow>& rows, const char* name, const char* type,
                    const char* help, Get get)
{
    bool headed = false;
    for (const EndpointRow& r : rows) {
        if (!get(r, nullptr))
            continue;
        if (!headed) {
            family(out, name, type, help);
            headed = true;
        }
        sampleHead(out, name, r.labels);
        get(r, &out);
        out += '\n';
    }
}

} // namespace

std::string metricsLabelValue(const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    std::string out;
    out.reserve(static_cast<size_t>(utf8.size()));
    for (const char c : utf8) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

bool metricsAccessAllowed(const oxServices& services, bool loopback, const QByteArray& authorization)
{
    if (loopback)
        return true;
    static const QByteArray kBasic = QByteArrayLiteral("Basic ");
    if (!authorization.startsWith(kBasic))
        return false;
    const QByteArray decoded = QByteArray::fromBase64(authorization.mid(kBasic.size()).trimmed());
    const int colon = decoded.indexOf(':');
    if (colon < 0)
        return false;
    const QString user = QString::fromUtf8(decoded.left(colon));
    const QByteArray pass = decoded.mid(colon + 1);
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(pass, QCryptographicHash::Md5).toHex());
    // As for a web login: the plain password, whose digest is passMd5, or a
    // configured value of 32 characters as it stands. Everything is compared,
    // whatever the first comparison gives: the time says nothing about which was wrong.
    const bool userOk = constantTimeEquals(user, services.username);
    const bool digestOk = constantTimeEquals(digest, services.passMd5);
    const bool finishedOk = services.password.size() == 32 && constantTimeEquals(QString::fromUtf8(pass), services.password);
    return userOk && (digestOk || finishedOk);
}

QByteArray metricsText(oxServices& services)
{
    std::vector<StreamRow> streams;
    std::vector<EndpointRow> endpoints;
    bool anyGated = false;
    streams.reserve(static_cast<size_t>(services.streams.size()));
    endpoints.reserve(static_cast<size_t>(services.streams.size()) * 6);
    for (oxStream* s : services.streams) {
        StreamRow row;
        row.labels = "stream=\"";
        appendInt(row.labels, s->streamId);
        row.labels += "\",name=\"";
        row.labels += metricsLabelValue(s->streamName);
        row.labels += '"';
        row.received = s->bytesReceivedTotal();
        row.rate = s->currentBitRate();
        if (s->publishPolicySet()) {
            const publishGate::figures f = s->publishFigures();
            row.gated = true;
            row.switches = f.switches;
            row.publisherDropped = f.droppedBytes;
            anyGated = true;
        }
        auto add = [&](oxStreamType* ep, bool output) {
            EndpointRow e;
            e.labels = row.labels + ",endpoint=\"" + metricsLabelValue(ep->type) + '"';
            e.output = output;
            e.f = ep->figures();
            endpoints.push_back(std::move(e));
        };
        for (oxStreamType* in : s->inputs())
            add(in, false);
        for (oxStreamType* out : s->outputs())
            add(out, true);
        streams.push_back(std::move(row));
    }

    // Room for every sample: most endpoint families have a sample per endpoint.
    size_t room = 8192;
    for (const StreamRow& r : streams)
        room += 2 * (r.labels.size() + 96);
    for (const EndpointRow& e : endpoints)
        room += 12 * (e.labels.size() + 64);
    Text out;
    out.reserve(static_cast<int>(std::min<size_t>(room, 256u * 1024 * 1024)));

    family(out, "oxnode_build_info", "gauge", "Program and version of this oxnode.");
    out += "oxnode_build_info{program=\"";
    append(out, metricsLabelValue(QCoreApplication::instance() ? QCoreApplication::applicationName()
                                                                 : QStringLiteral("oxnode")));
    append(out, "\",version=\"" OXNODE_VERSION "\"} 1\n");

    family(out, "oxnode_stream_received_bytes_total", "counter", "Bytes the stream received on its inputs.");
    for (const StreamRow& r : streams) {
        sampleHead(out, "oxnode_stream_received_bytes_total", r.labels);
        appendUint(out, r.received);
        out += '\n';
    }
    family(out, "oxnode_stream_receive_rate_bytes_per_second", "gauge",
           "Bytes the stream received in the last second (its bitRate).");
    for (const StreamRow& r : streams) {
        sampleHead(out, "oxnode_stream_receive_rate_bytes_per_second", r.labels);
        appendInt(out, r.rate);
        out += '\n';
    }

    // Only where a publish policy is set, so that other instances' pages stay as they were.
    if (anyGated) {
        family(out, "oxnode_stream_publisher_switches_total", "counter",
               "Times another publisher took the stream (publish policy single or failover).");
        for (const StreamRow& r : streams) {
            if (!r.gated)
                continue;
            sampleHead(out, "oxnode_stream_publisher_switches_total", r.labels);
            appendUint(out, r.switches);
            out += '\n';
        }
        family(out, "oxnode_stream_publisher_dropped_bytes_total", "counter",
               "Bytes publishers sent while another one owned the stream.");
        for (const StreamRow& r : streams) {
            if (!r.gated)
                continue;
            sampleHead(out, "oxnode_stream_publisher_dropped_bytes_total", r.labels);
            appendUint(out, r.publisherDropped);
            out += '\n';
        }
    }

    using Out = Text*;
    endpointFamily(out, endpoints, "oxnode_endpoint_clients", "gauge",
                   "Clients (outputs) or publishers (inputs) connected to the endpoint.",
                   [](const EndpointRow& r, Out o) { if (o) appendInt(*o, r.f.clients); return true; });
    endpointFamily(out, endpoints, "oxnode_endpoint_sent_bytes_total", "counter",
                   "Bytes the output sent to its clients.",
                   [](const EndpointRow& r, Out o) { if (o) appendUint(*o, r.f.bytesSent); return r.output; });
    endpointFamily(out, endpoints, "oxnode_endpoint_received_bytes_total", "counter",
                   "Bytes the input received from its publishers.",
                   [](const EndpointRow& r, Out o) { if (o) appendUint(*o, r.f.bytesReceived); return !r.output; });
    endpointFamily(out, endpoints, "oxnode_endpoint_write_limit_closed_total", "counter",
                   "Clients closed because their write queue reached its limit.",
                   [](const EndpointRow& r, Out o) {
                       if (o) appendUint(*o, r.f.closedAtWriteLimit);
                       return r.output && r.f.hasWriteLimit;
                   });
    endpointFamily(out, endpoints, "oxnode_endpoint_dropped_copies_total", "counter",
                   "Copies of chunks dropped from the output's send queue when it was full.",
                   [](const EndpointRow& r, Out o) {
                       if (o) appendUint(*o, r.f.copiesDropped);
                       return r.output && r.f.hasSendQueue;
                   });
    endpointFamily(out, endpoints, "oxnode_endpoint_link_up", "gauge", "1 while the endpoint's link is up.",
                   [](const EndpointRow& r, Out o) { if (o) *o += r.f.linkUp ? '1' : '0'; return true; });

    endpointFamily(out, endpoints, "oxnode_srt_rtt_seconds", "gauge", "Round-trip time of the last SRT caller measured.",
                   [](const EndpointRow& r, Out o) { if (o) appendDouble(*o, r.f.srtRttMs / 1000.0); return r.f.hasSrt; });
    endpointFamily(out, endpoints, "oxnode_srt_send_loss_packets_total", "counter",
                   "Packets lost on the way to the last SRT caller measured.",
                   [](const EndpointRow& r, Out o) { if (o) appendInt(*o, r.f.srtSendLoss); return r.f.hasSrt; });
    endpointFamily(out, endpoints, "oxnode_srt_receive_loss_packets_total", "counter",
                   "Packets lost on the way from the last SRT caller measured.",
                   [](const EndpointRow& r, Out o) { if (o) appendInt(*o, r.f.srtReceiveLoss); return r.f.hasSrt; });
    endpointFamily(out, endpoints, "oxnode_srt_retransmitted_packets_total", "counter",
                   "Packets retransmitted to the last SRT caller measured.",
                   [](const EndpointRow& r, Out o) { if (o) appendInt(*o, r.f.srtRetransmitted); return r.f.hasSrt; });
    endpointFamily(out, endpoints, "oxnode_srt_link_bandwidth_bits_per_second", "gauge",
                   "Link bandwidth SRT estimates for the last caller measured.",
                   [](const EndpointRow& r, Out o) { if (o) appendDouble(*o, r.f.srtBandwidthMbps * 1e6); return r.f.hasSrt; });

    endpointFamily(out, endpoints, "oxnode_oxlat_rtt_seconds", "gauge", "Smoothed round-trip time of the oxlat session.",
                   [](const EndpointRow& r, Out o) { if (o) appendDouble(*o, r.f.latRttMs / 1000.0); return r.f.hasLat; });
    endpointFamily(out, endpoints, "oxnode_oxlat_rto_seconds", "gauge", "Retransmission time-out of the oxlat session.",
                   [](const EndpointRow& r, Out o) { if (o) appendDouble(*o, r.f.latRtoMs / 1000.0); return r.f.hasLat; });
    endpointFamily(out, endpoints, "oxnode_oxlat_resent_segments_total", "counter",
                   "Segments the oxlat session sent again.",
                   [](const EndpointRow& r, Out o) { if (o) appendUint(*o, r.f.latResent); return r.f.hasLat; });
    endpointFamily(out, endpoints, "oxnode_oxlat_queue_segments", "gauge",
                   "Segments in flight in the oxlat session, not yet acknowledged.",
                   [](const EndpointRow& r, Out o) { if (o) appendInt(*o, r.f.latQueue); return r.f.hasLat; });

    int64_t online = 0;
    for (const oxNode* n : services.nodes)
        online += n->online ? 1 : 0;
    family(out, "oxnode_nodes", "gauge", "Known nodes by state.");
    out += "oxnode_nodes{state=\"online\"} ";
    appendInt(out, online);
    out += "\noxnode_nodes{state=\"offline\"} ";
    appendInt(out, services.nodes.size() - online);
    out += '\n';
    oxOpsCounters& c = opsCounters();
    family(out, "oxnode_node_logins_total", "counter", "Node logins accepted.");
    out += "oxnode_node_logins_total ";
    appendUint(out, c.nodeLogins.load(std::memory_order_relaxed));
    out += '\n';
    family(out, "oxnode_node_logins_refused_total", "counter", "Node logins refused.");
    out += "oxnode_node_logins_refused_total ";
    appendUint(out, c.nodeLoginsRefused.load(std::memory_order_relaxed));
    out += '\n';
    family(out, "oxnode_node_frames_refused_total", "counter",
           "Node frames refused: too long, malformed or oversized reports.");
    out += "oxnode_node_frames_refused_total ";
    appendUint(out, c.nodeFramesRefused.load(std::memory_order_relaxed));
    out += '\n';

    family(out, "oxnode_web_requests_total", "counter", "Requests the web server ended, by result.");
    for (int i = 0; i < static_cast<int>(webResult::Count); ++i) {
        out += "oxnode_web_requests_total{result=\"";
        out += webResultName(static_cast<webResult>(i));
        out += "\"} ";
        appendUint(out, c.webRequests[i].load(std::memory_order_relaxed));
        out += '\n';
    }

    family(out, "oxnode_process_start_time_seconds", "gauge", "Start time of the process since the epoch.");
    out += "oxnode_process_start_time_seconds ";
    appendDouble(out, processStartSeconds());
    out += '\n';
    family(out, "oxnode_process_open_fds", "gauge", "Open file descriptors of the process.");
    out += "oxnode_process_open_fds ";
    appendInt(out, openDescriptors());
    out += '\n';
    family(out, "oxnode_process_resident_memory_bytes", "gauge", "Resident memory of the process.");
    out += "oxnode_process_resident_memory_bytes ";
    appendInt(out, residentBytes());
    out += '\n';
    return out;
}

namespace {

std::atomic<int> readingsInFlight{0};

} // namespace

std::shared_ptr<void> takeMetricsReading()
{
    int n = readingsInFlight.load();
    do {
        if (n >= kMaxMetricsReadings)
            return nullptr;
    } while (!readingsInFlight.compare_exchange_weak(n, n + 1));
    static int place; // the token points here: only its deleter matters
    return std::shared_ptr<void>(&place, [](void*) { readingsInFlight.fetch_sub(1); });
}
