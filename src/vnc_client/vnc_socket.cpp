// The one platform-specific file: sockets on POSIX and on Winsock 2.
#include "vnc_socket.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#ifdef __linux__
#include <linux/sockios.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#endif
#include <unistd.h>
#endif

namespace {

// Slice of a cancellable wait: how quickly a cleared run flag is noticed.
constexpr int kCancelSliceMs = 20;
#ifdef _WIN32
// Largest piece sent after one wait for room: small enough that a socket
// reported writable takes it without blocking.
constexpr size_t kWritePiece = 2048;
#endif

std::atomic<int> s_wsa_init{0};

#ifdef _WIN32
constexpr int kErrTimedOut = WSAETIMEDOUT;
constexpr int kErrCancelled = WSAECANCELLED;
#else
constexpr int kErrTimedOut = ETIMEDOUT;
constexpr int kErrCancelled = ECANCELED;
#endif

#ifdef _WIN32
typedef int sock_len_t;
// Only Winsock 1.1 blocking hooks raise WSAEINTR; checked for completeness.
bool interrupted() { return WSAGetLastError() == WSAEINTR; }
SOCKET native(vnc_socket_t s) { return static_cast<SOCKET>(s); }

// A socket the host's child processes do not inherit (the counterpart of
// SOCK_CLOEXEC). Older stacks reject the flag; they get a plain socket whose
// handle is then made non-inheritable.
SOCKET new_socket(int family, int type, int protocol) {
    SOCKET s = WSASocketW(family, type, protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s != INVALID_SOCKET)
            SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    return s;
}
#else
typedef socklen_t sock_len_t;
bool interrupted() { return errno == EINTR; }
int native(vnc_socket_t s) { return s; }
#endif

// One poll of a single socket for readability (or, with for_write, room to
// send), bounded by timeout_ms (negative: no limit). 1 ready, 0 timeout, -1
// error. poll/WSAPoll rather than select: select cannot watch descriptors
// above FD_SETSIZE.
int poll_once(vnc_socket_t sock, int timeout_ms, bool for_write = false, int wake_fd = -1) {
#ifdef _WIN32
    (void)wake_fd;
    WSAPOLLFD p;
    p.fd = native(sock);
    p.events = for_write ? POLLWRNORM : POLLRDNORM;
    p.revents = 0;
    // No signals interrupt WSAPoll, so the timeout needs no recomputing.
    int r = WSAPoll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (r == SOCKET_ERROR) return -1;
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) return -1;
    return 1;  // ready, hung up or in error: the receive or send tells which
#else
    struct pollfd fds[2];
    struct pollfd &p = fds[0];
    p.fd = native(sock);
    p.events = for_write ? POLLOUT : POLLIN;
    p.revents = 0;
    fds[1].fd = wake_fd;
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    const nfds_t count = wake_fd >= 0 ? 2 : 1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int wait = timeout_ms;
        if (timeout_ms >= 0) {
            // Rounded up: a wait rounded down to 0 would spin until the
            // deadline instead of sleeping through its last millisecond.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = left.count() < 0 ? 0 : static_cast<int>(left.count());
        }
        int r = ::poll(fds, count, wait);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return 0;
        if (p.revents & POLLNVAL) return -1;
        if (!p.revents) return -1;  // woken: somebody stops this wait
        return 1;  // ready, hung up or in error: the receive or send tells which
    }
#endif
}

// Connects sock to addr. With timeout_ms >= 0 the connect is non-blocking
// and given up after that long: dropped SYNs (a full accept queue, a
// filtering firewall) would otherwise hold the caller for the system's whole
// retry schedule, about two minutes. The socket is blocking again after.
// With cancel, the wait gives up once it reads 0. 0 connected, -1 not.
int connect_within(vnc_socket_t sock, const struct sockaddr *addr, sock_len_t len,
                   int timeout_ms, const std::atomic<int> *cancel, int *error) {
#ifdef _WIN32
    *error = 0;
    if (timeout_ms < 0) {
        if (::connect(native(sock), addr, len) == 0) return 0;
        *error = WSAGetLastError();
        return -1;
    }
    u_long nonblocking = 1;
    if (ioctlsocket(native(sock), FIONBIO, &nonblocking) != 0) return -1;
    int result = -1;
    if (::connect(native(sock), addr, len) == 0) {
        result = 0;
    } else if ((*error = WSAGetLastError()) == WSAEWOULDBLOCK) {
        *error = WSAETIMEDOUT;
        // select, not WSAPoll: older WSAPoll never reports a failed connect.
        // In slices, so that a cancel is seen.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (cancel && !cancel->load()) break;
            const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       deadline - std::chrono::steady_clock::now())
                                       .count();
            if (left < 0) break;
            const int slice = cancel && left > kCancelSliceMs ? kCancelSliceMs : static_cast<int>(left);
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(native(sock), &writable);
            FD_SET(native(sock), &failed);
            struct timeval tv;
            tv.tv_sec = slice / 1000;
            tv.tv_usec = (slice % 1000) * 1000;
            const int r = ::select(0, nullptr, &writable, &failed, &tv);
            if (r < 0) break;
            if (r > 0) {
                if (FD_ISSET(native(sock), &writable) && !FD_ISSET(native(sock), &failed)) {
                    result = 0;
                } else {
                    int err = 0;
                    int err_len = sizeof err;
                    if (getsockopt(native(sock), SOL_SOCKET, SO_ERROR,
                                   reinterpret_cast<char *>(&err), &err_len) == 0 && err)
                        *error = err;
                }
                break;
            }
            if (left == 0) break;
        }
    }
    nonblocking = 0;
    if (ioctlsocket(native(sock), FIONBIO, &nonblocking) != 0) result = -1;
    return result;
#else
    *error = 0;
    if (timeout_ms < 0) {
        int r;
        do {
            r = ::connect(native(sock), addr, len);
        } while (r != 0 && interrupted());
        if (r != 0) *error = errno;
        return r == 0 ? 0 : -1;
    }
    const int flags = fcntl(native(sock), F_GETFL);
    if (flags < 0 || fcntl(native(sock), F_SETFL, flags | O_NONBLOCK) != 0) return -1;
    int result = -1;
    if (::connect(native(sock), addr, len) == 0) {
        result = 0;
    } else if (errno == EINPROGRESS || errno == EINTR) {
        // An interrupted connect goes on in the background like one in progress.
        *error = ETIMEDOUT;
        int ready = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!(cancel && !cancel->load())) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            const int slice = static_cast<int>(
                std::clamp<long long>(left, 0, cancel ? kCancelSliceMs : timeout_ms));
            ready = poll_once(sock, slice, true);
            if (ready != 0 || left <= 0) break;
        }
        if (ready > 0) {
            int err = 0;
            socklen_t err_len = sizeof err;
            if (getsockopt(native(sock), SOL_SOCKET, SO_ERROR, &err, &err_len) == 0 && err == 0)
                result = 0;
            else
                *error = err;
        }
    } else {
        *error = errno;
    }
    if (fcntl(native(sock), F_SETFL, flags) != 0) result = -1;
    return result;
#endif
}

}  // namespace

int vnc_platform_net_init() {
    if (s_wsa_init.load()) return 0;
    // Hosts may create their first handles from several threads at once;
    // the start-up must still happen exactly once.
    static std::mutex init_lock;
    std::lock_guard<std::mutex> guard(init_lock);
    if (s_wsa_init.load()) return 0;
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return -1;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        WSACleanup();
        return -1;
    }
#endif
    s_wsa_init.store(1);
    return 0;
}

void vnc_platform_net_cleanup() {}

int vnc_sock_wait_readable(vnc_socket_t sock, int timeout_ms, const std::atomic<int> *cancel,
                           int slice_ms, int wake_fd) {
    if (sock == VNC_INVALID_SOCKET) return -1;
    if (!cancel) return poll_once(sock, timeout_ms, false, wake_fd);
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (!cancel->load()) return -1;
        int slice = slice_ms > 0 ? slice_ms : kCancelSliceMs;
        long long left = -1;
        if (timeout_ms >= 0) {
            auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
            left = std::max<long long>(timeout_ms - spent, 0);
            if (left < slice) slice = static_cast<int>(left);
        }
        // Polled at least once, also when no time is left: data already
        // waiting is never reported as a timeout.
        int r = poll_once(sock, slice, false, wake_fd);
        if (r != 0 || left == 0) return r;
    }
}

int vnc_wake_open() {
#ifdef __linux__
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#else
    return -1;
#endif
}

void vnc_wake_signal(int fd) {
#ifdef __linux__
    const uint64_t one = 1;
    if (fd >= 0 && ::write(fd, &one, sizeof one) < 0) {
        // Only a full counter fails, and that is signalled already.
    }
#else
    (void)fd;
#endif
}

void vnc_wake_close(int fd) {
#ifdef __linux__
    if (fd >= 0) ::close(fd);
#else
    (void)fd;
#endif
}

long vnc_sock_recv_some(vnc_socket_t sock, void *buffer, size_t max) {
    if (max == 0) return 0;
    int chunk = max > (1u << 30) ? (1 << 30) : static_cast<int>(max);
    for (;;) {
        long r = ::recv(native(sock), static_cast<char *>(buffer), chunk, 0);
        if (r < 0 && interrupted()) continue;
        return r < 0 ? -1 : r;
    }
}

long vnc_sock_try_recv(vnc_socket_t sock, void *buffer, size_t max) {
    if (max == 0) return 0;
    const int chunk = max > (1u << 30) ? (1 << 30) : static_cast<int>(max);
    for (;;) {
#ifdef _WIN32
        // Only asked after a wait said readable, so this does not block.
        const long r = ::recv(native(sock), static_cast<char *>(buffer), chunk, 0);
        if (r < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return -2;
#else
        const long r = ::recv(native(sock), buffer, chunk, MSG_DONTWAIT);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -2;
#endif
        if (r < 0 && interrupted()) continue;
        return r < 0 ? -1 : r;
    }
}

long vnc_sock_try_send(vnc_socket_t sock, const void *data, size_t length) {
    if (length == 0) return 0;
    for (;;) {
#ifdef _WIN32
        // A socket reported writable takes a piece this small without blocking.
        const int n = static_cast<int>(length < kWritePiece ? length : kWritePiece);
        if (poll_once(sock, 0, true) == 0) return -2;
        const long r = ::send(native(sock), static_cast<const char *>(data), n, 0);
#else
        const long r = ::send(native(sock), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -2;
#endif
        if (r < 0 && interrupted()) continue;
        return r <= 0 ? -1 : r;
    }
}

int vnc_sock_wait_writable(vnc_socket_t sock, int timeout_ms, const std::atomic<int> *cancel) {
    if (sock == VNC_INVALID_SOCKET) return -1;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (cancel && !cancel->load()) return -1;
        int slice = cancel ? kCancelSliceMs : timeout_ms;
        long long left = -1;
        if (timeout_ms >= 0) {
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count();
            left = std::max<long long>(timeout_ms - spent, 0);
            if (slice < 0 || left < slice) slice = static_cast<int>(left);
        }
        const int r = poll_once(sock, slice, true);
        if (r != 0 || left == 0) return r;
    }
}

long vnc_sock_recv_spans(vnc_socket_t sock, const vnc_span *spans, int count) {
    count = std::min(count, kMaxRecvSpans);
    if (count <= 0) return 0;
#ifdef _WIN32
    WSABUF bufs[kMaxRecvSpans];
    for (int i = 0; i < count; ++i) {
        bufs[i].buf = static_cast<char *>(spans[i].data);
        bufs[i].len = static_cast<ULONG>(std::min<size_t>(spans[i].size, 1u << 30));
    }
    for (;;) {
        DWORD got = 0, flags = 0;
        if (WSARecv(native(sock), bufs, static_cast<DWORD>(count), &got, &flags, nullptr, nullptr) == 0)
            return static_cast<long>(got);
        if (!interrupted()) return -1;
    }
#else
    iovec iov[kMaxRecvSpans];
    for (int i = 0; i < count; ++i) iov[i] = {spans[i].data, std::min<size_t>(spans[i].size, 1u << 30)};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(count);
    for (;;) {
        long r = ::recvmsg(native(sock), &msg, 0);
        if (r < 0 && interrupted()) continue;
        return r < 0 ? -1 : r;
    }
#endif
}

int vnc_sock_read_exact_cancel(vnc_socket_t sock, void *buffer, size_t length, int timeout_ms,
                               const std::atomic<int> *cancel) {
    size_t got = 0;
    char *out = static_cast<char *>(buffer);
    while (got < length) {
        if (timeout_ms >= 0 || cancel) {
            if (vnc_sock_wait_readable(sock, timeout_ms, cancel) <= 0) return -1;
        }
        long r = vnc_sock_recv_some(sock, out + got, length - got);
        if (r <= 0) return -1;
        got += static_cast<size_t>(r);
    }
    return 0;
}

int vnc_sock_read_exact(vnc_socket_t sock, void *buffer, size_t length, int timeout_ms) {
    return vnc_sock_read_exact_cancel(sock, buffer, length, timeout_ms, nullptr);
}

int vnc_sock_write_exact(vnc_socket_t sock, const void *data, size_t length) {
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
        int chunk = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
#ifdef _WIN32
        long r = ::send(native(sock), p, chunk, 0);
#else
        // MSG_NOSIGNAL: a peer that has gone must not kill the host with SIGPIPE.
        long r = ::send(native(sock), p, chunk, MSG_NOSIGNAL);
#endif
        if (r < 0 && interrupted()) continue;
        if (r <= 0) return -1;
        p += r;
        length -= static_cast<size_t>(r);
    }
    return 0;
}

void vnc_sock_set_nodelay(vnc_socket_t sock) {
    int one = 1;
    setsockopt(native(sock), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one),
               sizeof one);
}

int vnc_sock_last_error() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

void vnc_sock_error_text(int error, char *buf, size_t size) {
    if (!size) return;
    buf[0] = '\0';
#ifdef _WIN32
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), 0, buf, static_cast<DWORD>(size), nullptr);
    // Without its line break and full stop, to fit inside a sentence.
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == '.')) buf[--n] = '\0';
    if (n == 0) std::snprintf(buf, size, "error %d", error);
#else
    // strerror is not thread-safe and strerror_r has two incompatible
    // forms; the common errors are named here.
    const char *text = nullptr;
    switch (error) {
    case ECONNREFUSED: text = "Connection refused"; break;
    case ECONNRESET: text = "Connection reset by peer"; break;
    case ETIMEDOUT: text = "Connection timed out"; break;
    case EHOSTUNREACH: text = "No route to host"; break;
    case ENETUNREACH: text = "Network is unreachable"; break;
    case EPIPE: text = "Broken pipe"; break;
    case ECONNABORTED: text = "Connection aborted"; break;
    case EADDRNOTAVAIL: text = "Cannot assign requested address"; break;
    case ECANCELED: text = "Cancelled"; break;
    default: break;
    }
    if (text)
        std::snprintf(buf, size, "%s", text);
    else
        std::snprintf(buf, size, "error %d", error);
#endif
}

int vnc_sock_connect_tcp(const char *host, int port, vnc_socket_t *out, int timeout_ms,
                         const std::atomic<int> *cancel, char *detail, size_t detail_size) {
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    // Winsock refuses every call until it is started; callers that reach the
    // transport directly need not know that.
    vnc_platform_net_init();
    const int gai = getaddrinfo(host, service, &hints, &list);
    if (gai != 0 || !list) {
        if (list) freeaddrinfo(list);
        if (detail && detail_size)
            std::snprintf(detail, detail_size, "%s", gai ? gai_strerror(gai) : "no address");
        return -1;
    }
    int error = kErrTimedOut;
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    vnc_socket_t found = VNC_INVALID_SOCKET;
    for (struct addrinfo *a = list; a && !(cancel && !cancel->load()); a = a->ai_next) {
        int left = -1;
        if (timeout_ms >= 0) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now())
                    .count();
            if (ms <= 0) break;
            left = static_cast<int>(ms);
        }
#ifdef _WIN32
        SOCKET s = new_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        vnc_socket_t vs = static_cast<vnc_socket_t>(s);
#else
        int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) continue;
        vnc_socket_t vs = s;
#endif
        vnc_sock_set_nodelay(vs);
        if (connect_within(vs, a->ai_addr, static_cast<sock_len_t>(a->ai_addrlen), left, cancel,
                           &error) == 0) {
            found = vs;
            break;
        }
        vnc_sock_close(vs);
    }
    freeaddrinfo(list);
    if (found == VNC_INVALID_SOCKET) {
        if (cancel && !cancel->load()) error = kErrCancelled;
        if (detail && detail_size) vnc_sock_error_text(error, detail, detail_size);
        return -2;
    }
    *out = found;
    return 0;
}

int vnc_sock_listen_loopback(int port, vnc_socket_t *out) {
    vnc_platform_net_init();
#ifdef _WIN32
    SOCKET s = new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return -1;
    vnc_socket_t vs = static_cast<vnc_socket_t>(s);
    // On Windows SO_REUSEADDR would let another process steal the port;
    // exclusive use still allows an immediate re-bind after close.
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&one), sizeof one);
#else
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    vnc_socket_t vs = s;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(native(vs), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(native(vs), 5) != 0) {
        vnc_sock_close(vs);
        return -1;
    }
    *out = vs;
    return 0;
}

int vnc_sock_local_port(vnc_socket_t sock) {
    struct sockaddr_in addr;
    sock_len_t len = sizeof addr;
    if (getsockname(native(sock), reinterpret_cast<struct sockaddr *>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

vnc_socket_t vnc_sock_accept(vnc_socket_t listener) {
    for (;;) {
#ifdef _WIN32
        SOCKET c = ::accept(native(listener), nullptr, nullptr);
        if (c == INVALID_SOCKET && interrupted()) continue;
        if (c == INVALID_SOCKET) return VNC_INVALID_SOCKET;
        SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
        vnc_socket_t vc = static_cast<vnc_socket_t>(c);
#else
        int c = ::accept4(native(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0 && errno == EINTR) continue;
        if (c < 0) return VNC_INVALID_SOCKET;
        vnc_socket_t vc = c;
#endif
        vnc_sock_set_nodelay(vc);
        return vc;
    }
}

void vnc_sock_shutdown(vnc_socket_t sock) {
    if (sock == VNC_INVALID_SOCKET) return;
#ifdef _WIN32
    ::shutdown(native(sock), SD_BOTH);
    // A send or receive another thread is blocked in is not ended by
    // shutdown (under Wine not even by closesocket); cancelling the socket's
    // pending I/O is, and the call then fails with WSA_OPERATION_ABORTED.
    CancelIoEx(reinterpret_cast<HANDLE>(native(sock)), nullptr);
#else
    ::shutdown(native(sock), SHUT_RDWR);
#endif
}

void vnc_sock_shutdown_send(vnc_socket_t sock) {
    if (sock == VNC_INVALID_SOCKET) return;
#ifdef _WIN32
    ::shutdown(native(sock), SD_SEND);
#else
    ::shutdown(native(sock), SHUT_WR);
#endif
}

void vnc_sock_drain(vnc_socket_t sock, int timeout_ms) {
    if (sock == VNC_INVALID_SOCKET) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char scratch[16384];
    // Past the deadline only what is already queued is read, and no more
    // than a socket buffer's worth: a server that keeps sending cannot hold
    // the close.
    int after_deadline = 64;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 && after_deadline-- <= 0) return;
        if (poll_once(sock, static_cast<int>(std::max<long long>(left, 0))) <= 0) return;
        if (vnc_sock_recv_some(sock, scratch, sizeof scratch) <= 0) return;
    }
}

long vnc_sock_unacked(vnc_socket_t sock) {
    if (sock == VNC_INVALID_SOCKET) return -1;
#ifdef __linux__
    int queued = 0;
    if (::ioctl(native(sock), SIOCOUTQ, &queued) != 0 || queued < 0) return -1;
    // A half close puts the end of the stream in the queue as one more
    // place; it is there, unacknowledged, in these states.
    struct tcp_info info;
    socklen_t len = sizeof info;
    if (queued > 0 && getsockopt(native(sock), IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
        (info.tcpi_state == TCP_FIN_WAIT1 || info.tcpi_state == TCP_CLOSING ||
         info.tcpi_state == TCP_LAST_ACK))
        --queued;
    return queued;
#else
    // Winsock has no such count short of Windows 10's TCP statistics.
    return -1;
#endif
}

void vnc_sock_close(vnc_socket_t sock) {
    if (sock == VNC_INVALID_SOCKET) return;
#ifdef _WIN32
    ::closesocket(native(sock));
#else
    ::close(native(sock));
#endif
}

int vnc_stall_left_ms(int stall_ms, std::chrono::steady_clock::time_point last_progress) {
    if (stall_ms < 0) return -1;
    const long long left = stall_ms - std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - last_progress)
                                          .count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int vnc_sock_write_exact_cancel(vnc_socket_t sock, const void *data, size_t length,
                                const std::atomic<int> *cancel, int stall_timeout_ms) {
    if (!cancel && stall_timeout_ms < 0) return vnc_sock_write_exact(sock, data, length);
    if (sock == VNC_INVALID_SOCKET) return -1;
    using clock = std::chrono::steady_clock;
    const char *p = static_cast<const char *>(data);
    auto last_progress = clock::now();
    while (length > 0) {
#ifndef _WIN32
        // Try first: a socket with room takes the whole rest at once, so a
        // message costs one call and waits only when the server is slow.
        const long r = ::send(native(sock), p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            p += r;
            length -= static_cast<size_t>(r);
            last_progress = clock::now();
            continue;
        }
        if (r == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
#endif
        for (;;) {
            if (cancel && !cancel->load()) return -1;
            int slice = cancel ? kCancelSliceMs : stall_timeout_ms;
            const int left = vnc_stall_left_ms(stall_timeout_ms, last_progress);
            if (left == 0) return -2;
            if (left > 0 && (slice < 0 || left < slice)) slice = left;
            const int r = poll_once(sock, slice, true);
            if (r < 0) return -1;
            if (r > 0) break;
        }
#ifdef _WIN32
        // A socket reported writable takes a piece this small without blocking.
        const size_t sent = length < kWritePiece ? length : kWritePiece;
        if (vnc_sock_write_exact(sock, p, sent) != 0) return -1;
        p += sent;
        length -= sent;
        last_progress = clock::now();
#endif
    }
    return 0;
}
