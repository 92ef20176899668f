// The byte stream of a connection: every receive and send after the TCP
// connect goes through one of these. The plain one is the socket itself; a
// security scheme may put another in its place (TLS, or a layer of
// encrypted frames over the transport it replaces).
#ifndef QUENVIRA_VNC_TRANSPORT_H
#define QUENVIRA_VNC_TRANSPORT_H

#include <atomic>
#include <cstddef>
#include <memory>

#include "vnc_alloc.h"
#include "vnc_socket.h"

class vnc_transport {
public:
    // A receive found no whole piece of data yet (a record still arriving):
    // wait for the socket again.
    static constexpr long kAgain = -2;

    explicit vnc_transport(vnc_socket_t sock) : sock_(sock) {}
    virtual ~vnc_transport() = default;
    vnc_transport(const vnc_transport &) = delete;
    vnc_transport &operator=(const vnc_transport &) = delete;

    // The socket underneath: waits, the close's delivery and drain, and the
    // shutdown that wakes a blocked thread all act on it.
    vnc_socket_t socket() const { return sock_; }

    // Bytes a receive hands over without touching the socket (records the
    // layer has decrypted already). A wait must not sleep on the socket
    // while there are some.
    virtual size_t pending() const { return 0; }
    // Whether a receive may block in the socket itself: then a wait with
    // neither limit nor cancel can be left to the receive.
    virtual bool receive_blocks() const { return true; }

    // One receive, once a wait said readable: the count (at most max), 0
    // when the peer ended the stream, -1 on an error (recv_error() says
    // which), kAgain when nothing whole has come yet. Only one thread
    // receives at a time.
    virtual long recv_some(void *buffer, size_t max) = 0;
    // The same scattered over count pieces filled in order; a layer that
    // cannot scatter fills the first piece only.
    virtual long recv_spans(const vnc_span *spans, int /*count*/) {
        return recv_some(spans[0].data, spans[0].size);
    }
    // 1 readable (or data pending), 0 timed out, -1 cancelled, woken or
    // failed; as vnc_sock_wait_readable.
    int wait_readable(int timeout_ms, const std::atomic<int> *cancel, int slice_ms, int wake_fd) {
        if (pending()) return 1;
        return vnc_sock_wait_readable(sock_, timeout_ms, cancel, slice_ms, wake_fd);
    }

    // Sends all length bytes, under the connection's send lock (one sender
    // at a time, beside the one receiver). Gives up once *cancel (when
    // non-null) reads 0, or when no byte could be sent for stall_ms
    // (negative: no limit). 0, -1 failed or cancelled (send_error() says
    // which for a failure), -2 stalled.
    virtual int send_all(const void *data, size_t length, const std::atomic<int> *cancel,
                         int stall_ms) = 0;

    // Ends our side of the stream: what the layer needs to close it (TLS's
    // close_notify), then the socket's half-close, so the peer reads all
    // that went before. Under the send lock. reader_active: another thread
    // may be receiving still; a layer that cannot close beside a receive
    // only half-closes what it safely can now and finishes on a later
    // call without it. Safe to call more than once.
    virtual void end_stream(bool reader_active) = 0;

    // The last failure of a receive or a send (each kept apart, since two
    // threads use them), and its text in words.
    virtual int recv_error() const = 0;
    virtual int send_error() const = 0;
    virtual void error_text(int code, char *buf, size_t size) const = 0;

protected:
    vnc_socket_t sock_;
};

using vnc_transport_ptr = std::unique_ptr<vnc_transport, vnc_deleter>;

// The socket as it is: receives straight into the caller's memory.
vnc_transport_ptr vnc_plain_transport(vnc_socket_t sock);

#endif
