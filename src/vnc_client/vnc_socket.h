// Thin platform socket layer (POSIX / Winsock). Everything platform-specific
// about sockets lives in vnc_socket.cpp; the rest of the library sees only
// these functions.
#ifndef QUENVIRA_VNC_SOCKET_H
#define QUENVIRA_VNC_SOCKET_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#ifdef _WIN32
typedef uintptr_t vnc_socket_t;  // SOCKET
#define VNC_INVALID_SOCKET (~static_cast<uintptr_t>(0))
#else
typedef int vnc_socket_t;
#define VNC_INVALID_SOCKET (-1)
#endif

// Starts the platform socket layer once per process. 0 or -1.
int vnc_platform_net_init();
// Kept for symmetry; the socket layer is never shut down.
void vnc_platform_net_cleanup();

// Waits until sock is readable. Returns 1 readable (or closed/error pending,
// which the next receive reports), 0 on timeout, -1 on error or cancel.
// timeout_ms < 0 waits without limit. When cancel is non-null the wait is cut
// into short slices and gives up (-1) as soon as *cancel reads 0, so a caller
// can stop a waiting thread whatever the platform's shutdown semantics.
// slice_ms > 0 sets how long each slice may be (how late a bare cancel is
// noticed); 0 uses the default of a few tens of milliseconds.
// wake_fd (from vnc_wake_open, or -1) is polled beside the socket: once
// signalled, the wait gives up (-1) at once, whatever its slice.
int vnc_sock_wait_readable(vnc_socket_t sock, int timeout_ms, const std::atomic<int> *cancel,
                           int slice_ms = 0, int wake_fd = -1);

// Wakes another thread's socket wait at once, so that wait need not look at
// a cancel flag in short slices. Linux only (an eventfd); elsewhere open
// gives -1 and waits keep their slices.
int vnc_wake_open();
void vnc_wake_signal(int fd);
void vnc_wake_close(int fd);

// One receive of at most max bytes. Returns the count, 0 when the peer closed
// the connection, -1 on error. Retries interrupted calls.
long vnc_sock_recv_some(vnc_socket_t sock, void *buffer, size_t max);

// One receive scattered over count pieces of memory, filled in order (at
// most kMaxRecvSpans). As vnc_sock_recv_some otherwise.
struct vnc_span {
    void *data;
    size_t size;
};
constexpr int kMaxRecvSpans = 64;
long vnc_sock_recv_spans(vnc_socket_t sock, const vnc_span *spans, int count);

// Reads exactly length bytes; each wait for data is bounded by timeout_ms.
// 0 on success, -1 on timeout, closed connection or error.
int vnc_sock_read_exact(vnc_socket_t sock, void *buffer, size_t length, int timeout_ms);
// As above, abandoning the read once *cancel reads 0.
int vnc_sock_read_exact_cancel(vnc_socket_t sock, void *buffer, size_t length, int timeout_ms,
                               const std::atomic<int> *cancel);

// Sends all length bytes. 0 or -1. Never raises SIGPIPE.
int vnc_sock_write_exact(vnc_socket_t sock, const void *data, size_t length);
// As above, in pieces, each after a wait for room in the send buffer that
// gives up (-1) once *cancel (when non-null) reads 0, or when no byte could
// be sent for stall_timeout_ms (negative: no limit): a peer that stops
// reading cannot hold the caller, where shutting the socket down does not
// wake a blocked send. -2 for a stall, -1 for the rest.
int vnc_sock_write_exact_cancel(vnc_socket_t sock, const void *data, size_t length,
                                const std::atomic<int> *cancel, int stall_timeout_ms = -1);

// Without waiting (for layers that wait themselves, such as TLS): a
// receive of at most max bytes (count, 0 peer closed, -1 error, -2 nothing
// there) and a send of at most length bytes (count, -1 error, -2 no room).
long vnc_sock_try_recv(vnc_socket_t sock, void *buffer, size_t max);
long vnc_sock_try_send(vnc_socket_t sock, const void *data, size_t length);
// Waits until sock has room to send; as vnc_sock_wait_readable.
int vnc_sock_wait_writable(vnc_socket_t sock, int timeout_ms, const std::atomic<int> *cancel);
// What is left of a send's stall limit (stall_ms; < 0 for none) counted
// from its last progress: -1 no limit, 0 stalled, else milliseconds.
int vnc_stall_left_ms(int stall_ms, std::chrono::steady_clock::time_point last_progress);

// The calling thread's last socket error (errno, or Winsock's code), and its
// text in words ("Connection refused"), for reasons shown to the host.
int vnc_sock_last_error();
void vnc_sock_error_text(int error, char *buf, size_t size);

// Resolves host:port (any address family) and connects the first address
// that accepts, with TCP_NODELAY, trying them in turn within one limit of
// timeout_ms for the whole attempt (negative: each connect waits as long as
// the system lets it). With cancel, each wait gives up once it reads 0 (the
// name look-up itself cannot be cut short). 0 with *out set; -1 resolution
// failed; -2 no address connected in time. detail (may be null) receives
// why the last address failed, in words.
int vnc_sock_connect_tcp(const char *host, int port, vnc_socket_t *out, int timeout_ms = -1,
                         const std::atomic<int> *cancel = nullptr, char *detail = nullptr,
                         size_t detail_size = 0);

// Listening IPv4 socket on 127.0.0.1:port, address reuse on, backlog 5.
// 0 with *out set, or -1.
int vnc_sock_listen_loopback(int port, vnc_socket_t *out);
// Port a bound socket listens on, or -1.
int vnc_sock_local_port(vnc_socket_t sock);
// Accepts one connection (call after vnc_sock_wait_readable). Sets TCP_NODELAY.
vnc_socket_t vnc_sock_accept(vnc_socket_t listener);

void vnc_sock_set_nodelay(vnc_socket_t sock);
// Shuts both directions and wakes a thread blocked in a send or receive on
// the socket (on Windows by cancelling its pending I/O, since shutdown alone
// does not). Safe on an invalid socket.
void vnc_sock_shutdown(vnc_socket_t sock);
void vnc_sock_close(vnc_socket_t sock);
// Half-close: the peer gets what was sent, then the end of the stream; the
// receiving side stays open. Safe on an invalid socket.
void vnc_sock_shutdown_send(vnc_socket_t sock);
// Reads and drops what the peer sends until it closes its side, an error,
// or timeout_ms has passed (0: only what is already there).
void vnc_sock_drain(vnc_socket_t sock, int timeout_ms);
// Bytes sent on sock that the peer has not acknowledged yet (0 once its
// system holds them all; our end of the stream is not counted), or -1 where
// the platform cannot tell (all but Linux).
long vnc_sock_unacked(vnc_socket_t sock);

#endif
