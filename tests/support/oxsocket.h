// Raw IPv4 sockets for tests: blocking descriptors whose every wait is a
// poll() with a deadline. Each object belongs to the thread that uses it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace oxt {

// True once 127.0.0.1:port accepts a connection (which is then closed).
bool waitTcpPort(int port, int timeoutMs = 5000);
// True while some socket of this network namespace listens on the TCP port,
// on any address. Reads /proc/net/tcp{,6}, so it opens no connection.
bool tcpPortInUse(int port);
// The same in the network namespace of process pid (0: this process's).
bool tcpPortInUse(int port, int pid);
// Binds 0.0.0.0:port without SO_REUSEADDR (and, for TCP, listens) so that
// the port is taken; returns the descriptor, or -1. The caller closes it.
int holdTcpPort(int port);
int holdUdpPort(int port);

class TcpClient {
public:
    TcpClient() = default;
    explicit TcpClient(int connectedFd) : fd_(connectedFd) {}  // takes ownership
    ~TcpClient() { close(); }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Applied at the next connect(): a small buffer makes a client that
    // never reads fill up quickly.
    void setRecvBuffer(int bytes) { recvBuffer_ = bytes; }
    // Applied at the next connect(): the local address to connect from
    // (lo holds all of 127.0.0.0/8, so "127.0.0.2" is a second peer).
    void setLocalAddress(const std::string& host) { localHost_ = host; }
    bool connect(const std::string& host, int port, int timeoutMs = 5000);
    // False when not everything could be written before the deadline.
    bool sendAll(const std::string& bytes, int timeoutMs = 5000);
    // Fewer bytes than n when the deadline passes or the peer closes first.
    std::string recvExactly(size_t n, int timeoutMs = 5000);
    // What has arrived (at least one byte), or empty on timeout or close.
    std::string recvSome(int timeoutMs = 5000);
    // Up to and including delim; empty on timeout or close (what arrived
    // stays buffered, see pending()).
    std::string recvUntil(const std::string& delim, int timeoutMs = 5000);
    std::string recvUntil(char delim, int timeoutMs = 5000) { return recvUntil(std::string(1, delim), timeoutMs); }
    // True when the peer closes (or resets) before the deadline; data read
    // meanwhile is kept in pending().
    bool waitClosed(int timeoutMs = 5000);
    const std::string& pending() const { return pending_; }
    bool peerClosed() const { return eof_; }
    int fd() const { return fd_; }
    int localPort() const;  // as the peer sees it, e.g. in "127.0.0.1:port connected"
    void close();

private:
    // Appends one read to pending_; false on timeout, close or error.
    bool fill(int timeoutMs);

    int fd_ = -1;
    int recvBuffer_ = 0;
    std::string localHost_;
    bool eof_ = false;
    std::string pending_;
};

struct Datagram {
    std::string data;
    std::string host;
    int port = 0;
};

class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // host:port with SO_REUSEADDR (port 0: any free port).
    bool bind(int port, const std::string& host = "0.0.0.0");
    int localPort() const;
    // Joins group on lo and sends multicast out of lo too.
    bool joinMulticast(const std::string& group);
    bool sendTo(const std::string& host, int port, const std::string& bytes);
    std::optional<Datagram> recvFrom(int timeoutMs = 5000);
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace oxt
