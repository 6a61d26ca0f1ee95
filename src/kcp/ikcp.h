// KCP: a fast ARQ protocol carried in datagrams, with the classic ikcp_* API.
//
// The control block knows nothing about sockets: the owner feeds received
// datagrams to ikcp_input, drives the clock with ikcp_update and gets the
// datagrams to send through the output hook. The wire format is the common
// one (24-byte little-endian segment header, commands 81..84), so a control
// block talks to any other KCP implementation.
//
// Threads: a control block is not thread safe. All calls on one block,
// including the output hook it makes, must come from one thread at a time;
// the owner serialises them (the oxlat session does all of it on its
// session thread and takes its state lock for readers on other threads).
#ifndef OX_IKCP_H
#define OX_IKCP_H

#include <cstdint>

typedef uint8_t IUINT8;
typedef uint16_t IUINT16;
typedef uint32_t IUINT32;
typedef int32_t IINT32;
typedef int64_t IINT64;

// Wire commands.
constexpr IUINT32 IKCP_CMD_PUSH = 81;  // data
constexpr IUINT32 IKCP_CMD_ACK = 82;   // acknowledgement of one segment
constexpr IUINT32 IKCP_CMD_WASK = 83;  // ask the peer for its window
constexpr IUINT32 IKCP_CMD_WINS = 84;  // tell the peer our window

constexpr IUINT32 IKCP_OVERHEAD = 24;  // segment header size
constexpr IUINT32 IKCP_MTU_DEF = 1400;
constexpr IUINT32 IKCP_WND_SND = 32;
constexpr IUINT32 IKCP_WND_RCV = 128;  // also the fragment limit of one message
constexpr IUINT32 IKCP_RTO_NDL = 30;   // rx_minrto in nodelay mode
constexpr IUINT32 IKCP_RTO_MIN = 100;  // rx_minrto in normal mode
constexpr IUINT32 IKCP_RTO_DEF = 200;
// Ceiling of rx_rto and of any one RTT sample. The common implementations
// allow 60000; a peer that delays or forges its ACK timestamps could then
// stall every retransmission of this side for a minute. No honest link of
// a low-latency relay needs more than five seconds.
constexpr IUINT32 IKCP_RTO_MAX = 5000;
constexpr IUINT32 IKCP_INTERVAL = 100;
constexpr IUINT32 IKCP_DEADLINK = 20;
constexpr IUINT32 IKCP_THRESH_INIT = 2;
constexpr IUINT32 IKCP_THRESH_MIN = 2;
constexpr IUINT32 IKCP_PROBE_INIT = 7000;
constexpr IUINT32 IKCP_PROBE_LIMIT = 120000;
constexpr IUINT32 IKCP_FASTACK_LIMIT = 5;
constexpr IUINT32 IKCP_ASK_SEND = 1;  // probe bit: send WASK
constexpr IUINT32 IKCP_ASK_TELL = 2;  // probe bit: send WINS
// Longest segment payload taken on input (unless our own MSS is larger):
// an Ethernet-sized datagram of 1500 bytes less the segment header. The
// common implementations never send a larger MTU, so a longer segment is
// forged and refused before it costs any memory.
constexpr IUINT32 IKCP_SEG_DATA_MAX = 1500 - IKCP_OVERHEAD;
// Default bound on what a control block keeps for reassembly: payload and
// bookkeeping of the segments in rcv_buf and rcv_queue. A full receive
// window of honest segments is far smaller at relay rates (8 MiB is about
// a second of 64 Mbit/s waiting behind one lost segment); past the bound a
// segment out of order is neither kept nor acknowledged, so an honest
// sender simply sends it again later. The segment at rcv_nxt is taken
// whenever no whole message waits to be read, so reassembly always moves on
// (and the bound is passed by the fragments of one message at most).
constexpr IUINT32 IKCP_RCV_BYTES_DEF = 8 * 1024 * 1024;

struct IKCPCB;
typedef struct IKCPCB ikcpcb;

// Queues and buffers of a control block; private to ikcp.cpp.
struct IKCPQUEUES;

struct IKCPCB {
    IUINT32 conv, mtu, mss, state;
    IUINT32 snd_una, snd_nxt, rcv_nxt;
    IUINT32 ts_recent, ts_lastack, ssthresh;
    IINT32 rx_rttval, rx_srtt, rx_rto, rx_minrto;
    IUINT32 snd_wnd, rcv_wnd, rmt_wnd, cwnd, probe;
    IUINT32 current, interval, ts_flush, xmit;
    IUINT32 nrcv_buf, nsnd_buf;
    IUINT32 nrcv_que, nsnd_que;
    IUINT32 rcv_bytes_max;  // bound of nrcv_bytes, IKCP_RCV_BYTES_DEF at creation
    IUINT32 nrcv_bytes;     // kept for reassembly (rcv_buf and rcv_queue)
    IUINT32 rcv_dropped;    // segments refused for that bound (never reset)
    IUINT32 seg_dropped;    // segments refused as longer than any MTU (never reset)
    IUINT32 nodelay, updated;
    IUINT32 ts_probe, probe_wait;
    IUINT32 dead_link, incr;
    int fastresend;
    int fastlimit;
    int nocwnd, stream;
    void *user;
    int (*output)(const char *buf, int len, ikcpcb *kcp, void *user);
    IKCPQUEUES *q;  // owned
};

// Creates a control block for conversation `conv`; `user` is handed to the
// output hook. Release it with ikcp_release.
ikcpcb *ikcp_create(IUINT32 conv, void *user);
void ikcp_release(ikcpcb *kcp);
void ikcp_setoutput(ikcpcb *kcp, int (*output)(const char *buf, int len, ikcpcb *kcp, void *user));

// Takes the next message out: its size, -1 nothing queued, -2 message not
// complete yet, -3 `len` too small (the message stays queued). A negative
// `len` peeks at a message of up to -len bytes without removing it.
int ikcp_recv(ikcpcb *kcp, char *buffer, int len);
// Queues one message: 0, -1 bad length, -2 more fragments than a receiver
// can reassemble (IKCP_WND_RCV or more). Stream mode returns bytes queued.
int ikcp_send(ikcpcb *kcp, const char *buffer, int len);
// Advances the clock to `current` (ms) and flushes when an interval is due.
void ikcp_update(ikcpcb *kcp, IUINT32 current);
// When ikcp_update next has work to do, at or after `current`.
IUINT32 ikcp_check(const ikcpcb *kcp, IUINT32 current);
// Milliseconds until ikcp_update can have work to do, not counting flushes
// that would send nothing: what ikcp_check says while acknowledgements,
// probes or sendable segments wait (or the peer's window is closed); the
// earliest retransmission when only segments in flight wait; -1 when nothing
// waits at all (then only ikcp_input or ikcp_send can give it work).
IINT32 ikcp_idle_wait(const ikcpcb *kcp, IUINT32 current);
// Feeds one received datagram: 0, -1 shorter than a header or another
// conversation, -2 a segment longer than the datagram, -3 unknown command,
// -4 a segment longer than any MTU allows. Segments before a bad one are
// taken; the rest of the datagram is not.
int ikcp_input(ikcpcb *kcp, const char *data, long size);
// Sends acknowledgements, probes and due segments now.
void ikcp_flush(ikcpcb *kcp);
// Size of the next complete message, or -1.
int ikcp_peeksize(const ikcpcb *kcp);
// 0, or -1 for an MTU that cannot hold a header plus data.
int ikcp_setmtu(ikcpcb *kcp, int mtu);
// Values of 0 or less leave a window unchanged; rcvwnd is at least IKCP_WND_RCV.
int ikcp_wndsize(ikcpcb *kcp, int sndwnd, int rcvwnd);
// Segments not yet acknowledged plus segments not yet sent.
int ikcp_waitsnd(const ikcpcb *kcp);
// nodelay 0/1/2, interval ms (clamped to 10..5000), fast resend after
// `resend` skips (0 off), nc 1 turns congestion control off; a negative
// argument leaves that setting unchanged.
int ikcp_nodelay(ikcpcb *kcp, int nodelay, int interval, int resend, int nc);
// Conversation number of a datagram; `ptr` must hold at least 4 bytes.
IUINT32 ikcp_getconv(const void *ptr);

#endif
