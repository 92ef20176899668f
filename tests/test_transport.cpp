// The socket primitives (exact reads and writes, waits, cancel) and the byte
// sources built on them, over real loopback TCP connections.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "quenvira_vnc.h"
#include "vnc_byte_source.h"
#include "vnc_client_internal.h"
#include "vnc_socket.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/select.h>
#include <unistd.h>

#include <csignal>
#endif

namespace {

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A connected loopback TCP pair made with the library's own functions, so it
// works wherever the library does. `near` is the side under test.
struct Pair {
    vnc_socket_t near = VNC_INVALID_SOCKET;
    vnc_socket_t far = VNC_INVALID_SOCKET;

    Pair() {
        vnc_platform_net_init();
        vnc_socket_t listener;
        if (vnc_sock_listen_loopback(0, &listener) != 0) return;
        const int port = vnc_sock_local_port(listener);
        if (port > 0 && vnc_sock_connect_tcp("127.0.0.1", port, &near) == 0 &&
            vnc_sock_wait_readable(listener, 5000, nullptr) == 1)
            far = vnc_sock_accept(listener);
        vnc_sock_close(listener);
    }
    ~Pair() {
        close_near();
        close_far();
    }
    bool ok() const { return near != VNC_INVALID_SOCKET && far != VNC_INVALID_SOCKET; }
    void close_near() {
        vnc_sock_close(near);
        near = VNC_INVALID_SOCKET;
    }
    void close_far() {
        vnc_sock_close(far);
        far = VNC_INVALID_SOCKET;
    }
    void send(const std::vector<uint8_t> &bytes) {
        ASSERT_EQ(0, vnc_sock_write_exact(far, bytes.data(), bytes.size()));
    }
};

// The other end of a test on a thread of its own. Should a test end early
// (a failed ASSERT), the pair is shut down first so that a thread stuck in a
// send or a wait wakes up and can be joined.
class PeerThread {
public:
    template <class F>
    PeerThread(Pair &p, F f) : p_(p), t_(f) {}
    void join() {
        if (t_.joinable()) t_.join();
    }
    ~PeerThread() {
        if (!t_.joinable()) return;
        vnc_sock_shutdown(p_.far);
        vnc_sock_shutdown(p_.near);
        t_.join();
    }

private:
    Pair &p_;
    std::thread t_;
};

std::vector<uint8_t> pattern(size_t n, unsigned seed = 1) {
    std::vector<uint8_t> v(n);
    uint32_t s = seed * 2654435761u + 12345;
    for (auto &b : v) {
        s = s * 1103515245u + 12345u;
        b = static_cast<uint8_t>(s >> 16);
    }
    return v;
}

// ---- vnc_sock_read_exact / vnc_sock_write_exact --------------------------

TEST(SockReadExact, ZeroLengthSucceedsWithoutTouchingTheSocket) {
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(0, vnc_sock_read_exact(VNC_INVALID_SOCKET, buf, 0, 1000));
    EXPECT_EQ(0, vnc_sock_read_exact(VNC_INVALID_SOCKET, buf, 0, -1));

    // A socket that has been closed: any wait or receive on it would fail.
    Pair closed;
    ASSERT_TRUE(closed.ok());
    vnc_socket_t dead = closed.near;
    closed.close_near();
    EXPECT_EQ(0, vnc_sock_read_exact(dead, buf, 0, 1000));
    EXPECT_EQ(-1, vnc_sock_read_exact(dead, buf, 1, 1000)) << "the socket really is unusable";

    // On a live socket nothing pending is consumed.
    Pair p;
    ASSERT_TRUE(p.ok());
    p.send({9, 8, 7});
    EXPECT_EQ(0, vnc_sock_read_exact(p.near, buf, 0, 1000));
    EXPECT_EQ(0, vnc_sock_read_exact(p.near, buf, 3, 2000));
    EXPECT_EQ(9, buf[0]);
    EXPECT_EQ(7, buf[2]);
}

TEST(SockReadExact, TwelveBytesInThreePiecesEachWithinItsOwnWait) {
    Pair p;
    ASSERT_TRUE(p.ok());
    // Pieces 1200 ms apart with a 2000 ms timeout: every wait is within its
    // timeout while the whole read takes longer than one timeout.
    const std::vector<uint8_t> data = pattern(12);
    PeerThread peer(p, [&] {
        for (int piece = 0; piece < 3; ++piece) {
            if (piece) sleep_ms(1200);
            vnc_sock_write_exact(p.far, data.data() + 4 * piece, 4);
        }
    });
    uint8_t buf[12] = {0};
    const auto start = Clock::now();
    const int r = vnc_sock_read_exact(p.near, buf, sizeof buf, 2000);
    const long long took = ms_since(start);
    peer.join();
    EXPECT_EQ(0, r);
    EXPECT_EQ(0, std::memcmp(buf, data.data(), 12));
    EXPECT_GE(took, 2000) << "the pieces really were spread wider than one timeout";
}

TEST(SockReadExact, TimesOutWhenThePeerSendsTooLittle) {
    Pair p;
    ASSERT_TRUE(p.ok());
    p.send({1, 2, 3, 4, 5});
    uint8_t buf[8] = {0};
    const auto start = Clock::now();
    EXPECT_EQ(-1, vnc_sock_read_exact(p.near, buf, sizeof buf, 300));
    EXPECT_GE(ms_since(start), 250) << "it waited for the missing bytes";
    // What did arrive stays in the buffer.
    EXPECT_EQ(0, std::memcmp(buf, "\1\2\3\4\5", 5));
}

TEST(SockReadExact, NegativeTimeoutBlocksUntilDataArrives) {
    Pair p;
    ASSERT_TRUE(p.ok());
    PeerThread peer(p, [&] {
        sleep_ms(300);
        vnc_sock_write_exact(p.far, "abcdef", 6);
    });
    char buf[6];
    EXPECT_EQ(0, vnc_sock_read_exact(p.near, buf, sizeof buf, -1));
    peer.join();
    EXPECT_EQ(0, std::memcmp(buf, "abcdef", 6));
}

TEST(SockReadExact, ClosedPeerFailsEveryReadAtOnce) {
    Pair p;
    ASSERT_TRUE(p.ok());
    p.send({1, 2});
    p.close_far();
    uint8_t buf[4];
    // A 30 s timeout that must not be waited out; 10 s is a generous bound for
    // "at once" on a loaded machine.
    const auto start = Clock::now();
    EXPECT_EQ(-1, vnc_sock_read_exact(p.near, buf, 4, 30000));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(-1, vnc_sock_read_exact(p.near, buf, 1, 30000));
        EXPECT_EQ(-1, vnc_sock_read_exact(p.near, buf, 1, -1));
    }
    EXPECT_LT(ms_since(start), 10000);
}

TEST(SockWriteExact, LargeWriteArrivesWhole) {
    Pair p;
    ASSERT_TRUE(p.ok());
    // Far larger than the socket buffers, so the send loop has to go round.
    const std::vector<uint8_t> data = pattern(6 * 1024 * 1024, 7);
    std::vector<uint8_t> got(data.size());
    int read_result = -2;
    PeerThread reader(
        p, [&] { read_result = vnc_sock_read_exact(p.far, got.data(), got.size(), 5000); });
    EXPECT_EQ(0, vnc_sock_write_exact(p.near, data.data(), data.size()));
    reader.join();
    EXPECT_EQ(0, read_result);
    EXPECT_TRUE(got == data);
}

TEST(SockWriteExact, ZeroLengthSucceedsAndClosedPeerFails) {
    EXPECT_EQ(0, vnc_sock_write_exact(VNC_INVALID_SOCKET, "x", 0));
#ifndef _WIN32
    // With SIGPIPE at its default disposition a raised SIGPIPE ends the
    // process, so surviving this test is the check.
    struct sigaction dfl {
    }, old{};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGPIPE, &dfl, &old);
#endif
    Pair p;
    ASSERT_TRUE(p.ok());
    p.close_far();
    // The first sends may still be accepted locally until the peer's reset
    // comes back; a bounded number of tries must reach the failure.
    const std::vector<uint8_t> chunk(4096, 0x55);
    int r = 0;
    for (int i = 0; i < 500 && r == 0; ++i) {
        r = vnc_sock_write_exact(p.near, chunk.data(), chunk.size());
        if (r == 0) sleep_ms(5);
    }
    EXPECT_EQ(-1, r);
    EXPECT_EQ(-1, vnc_sock_write_exact(p.near, chunk.data(), chunk.size()))
        << "and it stays failed";
#ifndef _WIN32
    sigaction(SIGPIPE, &old, nullptr);
#endif
}

// ---- waits and cancel ------------------------------------------------------

TEST(SockWait, ReportsReadableTimeoutAndInvalid) {
    Pair p;
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(0, vnc_sock_wait_readable(p.near, 50, nullptr));
    std::atomic<int> run{1};
    EXPECT_EQ(0, vnc_sock_wait_readable(p.near, 50, &run))
        << "a running flag does not end the wait";
    p.send({1});
    EXPECT_EQ(1, vnc_sock_wait_readable(p.near, 2000, nullptr));
    EXPECT_EQ(1, vnc_sock_wait_readable(p.near, 2000, &run));
    EXPECT_EQ(1, vnc_sock_wait_readable(p.near, 0, &run)) << "no time left still polls once";
    EXPECT_EQ(-1, vnc_sock_wait_readable(VNC_INVALID_SOCKET, 50, nullptr));
}

TEST(SockWait, ClearedCancelFlagEndsALongWaitPromptly) {
    Pair p;
    ASSERT_TRUE(p.ok());
    std::atomic<int> run{1};
    int result = -2;
    long long took = 0;
    PeerThread reader(p, [&] {
        uint8_t buf[4];
        const auto start = Clock::now();
        result = vnc_sock_read_exact_cancel(p.near, buf, sizeof buf, 60000, &run);
        took = ms_since(start);
    });
    sleep_ms(200);
    run.store(0);
    reader.join();
    EXPECT_EQ(-1, result);
    EXPECT_LT(took, 10000) << "a 60 s wait was not cut short";

    // An unlimited wait with the flag already clear gives up even though data is waiting.
    p.send({1, 2, 3, 4});
    uint8_t buf[4];
    EXPECT_EQ(-1, vnc_sock_wait_readable(p.near, -1, &run));
    EXPECT_EQ(-1, vnc_sock_read_exact_cancel(p.near, buf, 4, -1, &run));
    run.store(1);
    EXPECT_EQ(0, vnc_sock_read_exact_cancel(p.near, buf, 4, -1, &run));
    EXPECT_EQ(4, buf[3]);
}

#ifndef _WIN32

std::atomic<int> g_usr1_count{0};
extern "C" void count_usr1(int) {
    g_usr1_count.fetch_add(1);
}

// Interrupts the reading thread with SIGUSR1 (no SA_RESTART) several times
// while its read waits, then completes the data.
void check_read_survives_signals(int timeout_ms) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = count_usr1;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));
    g_usr1_count.store(0);

    Pair p;
    ASSERT_TRUE(p.ok());
    std::atomic<bool> started{false};
    pthread_t reader_id{};
    int result = -2;
    uint8_t buf[8] = {0};
    PeerThread reader(p, [&] {
        reader_id = pthread_self();
        started.store(true);
        result = vnc_sock_read_exact(p.near, buf, sizeof buf, timeout_ms);
    });
    while (!started.load()) sleep_ms(1);
    sleep_ms(100);
    for (int i = 0; i < 3; ++i) {
        pthread_kill(reader_id, SIGUSR1);
        sleep_ms(50);
    }
    vnc_sock_write_exact(p.far, "abcd", 4);
    sleep_ms(100);
    pthread_kill(reader_id, SIGUSR1);
    sleep_ms(50);
    vnc_sock_write_exact(p.far, "efgh", 4);
    reader.join();
    sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(0, result);
    EXPECT_EQ(0, std::memcmp(buf, "abcdefgh", 8));
    EXPECT_EQ(4, g_usr1_count.load()) << "the handler ran, so the waits were interrupted";
}

TEST(SockReadExact, SignalDuringTimedWaitIsRetried) {
    check_read_survives_signals(5000);
}

TEST(SockReadExact, SignalDuringBlockingReceiveIsRetried) {
    check_read_survives_signals(-1);
}

TEST(SockWait, DescriptorAboveFdSetsize) {
    const int kHigh = 1500;
    static_assert(kHigh >= FD_SETSIZE, "the descriptor must lie beyond what select can watch");
    struct rlimit old {};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    bool raised = false;
    if (old.rlim_cur <= static_cast<rlim_t>(kHigh)) {
        if (old.rlim_max != RLIM_INFINITY && old.rlim_max <= static_cast<rlim_t>(kHigh))
            GTEST_SKIP() << "RLIMIT_NOFILE hard limit " << old.rlim_max << " is below "
                         << kHigh + 1;
        struct rlimit more = old;
        more.rlim_cur = kHigh + 1;
        if (setrlimit(RLIMIT_NOFILE, &more) != 0)
            GTEST_SKIP() << "cannot raise RLIMIT_NOFILE to " << kHigh + 1;
        raised = true;
    }
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(kHigh, dup2(p.near, kHigh));
    const vnc_socket_t high = kHigh;

    EXPECT_EQ(0, vnc_sock_wait_readable(high, 50, nullptr));
    std::atomic<int> run{1};
    EXPECT_EQ(0, vnc_sock_wait_readable(high, 50, &run));
    const std::vector<uint8_t> data = pattern(16, 3);
    p.send(data);
    uint8_t buf[16];
    EXPECT_EQ(0, vnc_sock_read_exact(high, buf, 8, 2000));
    vnc_socket_reader reader(high, &run);
    EXPECT_EQ(0, reader.read(buf + 8, 8, 2000));
    EXPECT_EQ(0, std::memcmp(buf, data.data(), 16));
    EXPECT_EQ(-1, reader.read(buf, 1, 50));
    EXPECT_TRUE(reader.timed_out());

    close(kHigh);
    if (raised) setrlimit(RLIMIT_NOFILE, &old);
}

// A listener whose accept queue is full drops further SYNs; a connect to it
// must fail within the limit (shortened here) instead of the system's two
// minutes of retries.
TEST(SockConnect, FullAcceptQueueFailsWithinTheLimit) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(listener, 0));  // never accepted: the queue fills at once
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len));
    const int port = ntohs(addr.sin_port);

    std::vector<vnc_socket_t> queued;
    int result = 0;
    for (int i = 0; i < 8 && result == 0; ++i) {
        vnc_socket_t s;
        const auto t0 = Clock::now();
        result = vnc_sock_connect_tcp("127.0.0.1", port, &s, 300);
        if (result == 0) queued.push_back(s);
        else EXPECT_LT(ms_since(t0), 2000);
    }
    EXPECT_EQ(-2, result) << "the queue never filled";

    vnc_set_connect_timeout_for_testing(300);
    vnc_client_t *c = vnc_create();
    const auto t0 = Clock::now();
    EXPECT_EQ(-1, vnc_connect(c, "127.0.0.1", port, nullptr));
    EXPECT_LT(ms_since(t0), 2000);
    EXPECT_STREQ("Could not connect to VNC server", vnc_last_error());
    EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(c));
    vnc_set_connect_timeout_for_testing(0);
    vnc_destroy(c);
    for (vnc_socket_t s : queued) vnc_sock_close(s);
    close(listener);
}

#endif  // _WIN32

// ---- vnc_memory_reader -----------------------------------------------------

TEST(MemoryReader, ReadsIntegersBigEndianAndSkips) {
    const uint8_t data[] = {0xAB, 0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 0x80, 0x01};
    vnc_memory_reader in(data, sizeof data);
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    EXPECT_EQ(0, in.read_u8(&u8, 0));
    EXPECT_EQ(0xAB, u8);
    EXPECT_EQ(0, in.read_u16(&u16, 0));
    EXPECT_EQ(0x1234, u16);
    EXPECT_EQ(0, in.read_u32(&u32, 0));
    EXPECT_EQ(0xDEADBEEFu, u32);
    EXPECT_EQ(5u, in.buffered());
    EXPECT_EQ(0, in.skip(3, 0));
    EXPECT_EQ(0, in.read_u16(&u16, 0));
    EXPECT_EQ(0x8001, u16);
    EXPECT_EQ(0u, in.buffered());
    EXPECT_EQ(0, in.read(&u8, 0, 0)) << "an empty read at the end succeeds";
    EXPECT_EQ(0, in.skip(0, 0));
}

TEST(MemoryReader, ShortReadFailsAndConsumesTheRest) {
    const uint8_t data[] = {1, 2, 3};
    vnc_memory_reader in(data, sizeof data);
    uint32_t u32 = 0x11111111;
    EXPECT_EQ(-1, in.read_u32(&u32, 0));
    EXPECT_EQ(0u, in.buffered());
    uint8_t b;
    EXPECT_EQ(-1, in.read_u8(&b, 0));

    vnc_memory_reader in2(data, sizeof data);
    EXPECT_EQ(0, in2.read_u8(&b, 0));
    EXPECT_EQ(-1, in2.skip(5, 0));
    EXPECT_EQ(0u, in2.buffered());
    uint16_t u16;
    vnc_memory_reader in3(data, 1);
    EXPECT_EQ(-1, in3.read_u16(&u16, 0));
}

TEST(MemoryReader, SkipLongerThanItsScratchSpace) {
    std::vector<uint8_t> data = pattern(10000, 5);
    data.insert(data.end(), {0xCA, 0xFE, 0xBA, 0xBE});
    vnc_memory_reader in(data.data(), data.size());
    EXPECT_EQ(0, in.skip(10000, 0));
    uint32_t v = 0;
    EXPECT_EQ(0, in.read_u32(&v, 0));
    EXPECT_EQ(0xCAFEBABEu, v);
}

// ---- vnc_socket_reader -----------------------------------------------------

// Waits until the bytes sent are all in the near side's receive queue.
void wait_readable(const Pair &p) {
    ASSERT_EQ(1, vnc_sock_wait_readable(p.near, 5000, nullptr));
    sleep_ms(50);
}

TEST(SocketReader, ManySmallReadsServedFromOneReceive) {
    Pair p;
    ASSERT_TRUE(p.ok());
    const std::vector<uint8_t> data = pattern(64, 11);
    p.send(data);
    wait_readable(p);
    vnc_socket_reader in(p.near, nullptr);
    uint8_t b = 0;
    ASSERT_EQ(0, in.read_u8(&b, 1000));
    EXPECT_EQ(data[0], b);
    EXPECT_EQ(63u, in.buffered());
    // With the socket closed, only the buffer can serve the rest.
    p.close_near();
    for (size_t i = 1; i < 61; ++i) {
        ASSERT_EQ(0, in.read_u8(&b, 1000)) << "byte " << i;
        EXPECT_EQ(data[i], b);
    }
    uint16_t u16 = 0;
    ASSERT_EQ(0, in.read_u16(&u16, 1000));
    EXPECT_EQ(data[61] << 8 | data[62], u16);
    ASSERT_EQ(0, in.read_u8(&b, 1000));
    EXPECT_EQ(data[63], b);
    EXPECT_EQ(-1, in.read_u8(&b, 1000)) << "nothing left and no socket";
    EXPECT_FALSE(in.timed_out());
}

TEST(SocketReader, ReadLargerThanTheBuffer) {
    Pair p;
    ASSERT_TRUE(p.ok());
    const size_t big = vnc_socket_reader::kBufferSize * 3 + 12345;
    std::vector<uint8_t> data = pattern(3 + big + 4, 13);
    PeerThread peer(p, [&] {
        // Several writes so the read meets the data in pieces.
        size_t off = 0;
        while (off < data.size()) {
            const size_t n = std::min<size_t>(50000, data.size() - off);
            vnc_sock_write_exact(p.far, data.data() + off, n);
            off += n;
            sleep_ms(2);
        }
    });
    vnc_socket_reader in(p.near, nullptr);
    std::vector<uint8_t> head(3), body(big);
    uint32_t tail = 0;
    EXPECT_EQ(0, in.read(head.data(), 3, 5000));
    EXPECT_EQ(0, in.read(body.data(), big, 5000));
    EXPECT_EQ(0, in.read_u32(&tail, 5000));
    peer.join();
    EXPECT_EQ(0, std::memcmp(head.data(), data.data(), 3));
    EXPECT_TRUE(std::equal(body.begin(), body.end(), data.begin() + 3));
    const uint8_t *t = data.data() + 3 + big;
    EXPECT_EQ(static_cast<uint32_t>(t[0]) << 24 | t[1] << 16 | t[2] << 8 | t[3], tail);
}

TEST(SocketReader, ReadSpanningBufferedAndNewData) {
    Pair p;
    ASSERT_TRUE(p.ok());
    const std::vector<uint8_t> data = pattern(20, 17);
    vnc_socket_reader in(p.near, nullptr);
    p.send(std::vector<uint8_t>(data.begin(), data.begin() + 10));
    wait_readable(p);
    uint8_t buf[20] = {0};
    ASSERT_EQ(0, in.read(buf, 4, 1000));
    EXPECT_EQ(6u, in.buffered());
    // 6 bytes come from the buffer, 6 from the next receive.
    PeerThread peer(p, [&] {
        sleep_ms(100);
        vnc_sock_write_exact(p.far, data.data() + 10, 10);
    });
    ASSERT_EQ(0, in.read(buf + 4, 12, 5000));
    peer.join();
    ASSERT_EQ(0, in.read(buf + 16, 4, 5000));
    EXPECT_EQ(0, std::memcmp(buf, data.data(), 20));

    // The same with a large read: buffered bytes first, then straight into
    // the caller's memory.
    const std::vector<uint8_t> more = pattern(vnc_socket_reader::kBufferSize + 100, 19);
    p.send(std::vector<uint8_t>(more.begin(), more.begin() + 40));
    wait_readable(p);
    std::vector<uint8_t> got(more.size());
    ASSERT_EQ(0, in.read(got.data(), 10, 1000));
    EXPECT_EQ(30u, in.buffered());
    PeerThread peer2(p, [&] { vnc_sock_write_exact(p.far, more.data() + 40, more.size() - 40); });
    ASSERT_EQ(0, in.read(got.data() + 10, more.size() - 10, 5000));
    peer2.join();
    EXPECT_TRUE(got == more);
}

TEST(SocketReader, RowsLandInPlaceHoweverTheReceivesSplit) {
    // More rows than one receive takes, the first row partly buffered, and
    // the bytes after the rows arriving with them.
    const size_t row = 300, stride = 328, rows = 150;
    for (size_t piece : {1u, 97u, 4096u, 70000u}) {
        Pair p;
        ASSERT_TRUE(p.ok());
        const std::vector<uint8_t> data = pattern(5 + row * rows + 4, static_cast<unsigned>(piece));
        PeerThread peer(p, [&] {
            for (size_t off = 0; off < data.size(); off += piece) {
                vnc_sock_write_exact(p.far, data.data() + off, std::min(piece, data.size() - off));
                if (off % 7 == 0) sleep_ms(1);
            }
        });
        vnc_socket_reader in(p.near, nullptr);
        std::vector<uint8_t> fb(stride * rows, 0xEE);
        uint8_t head[5];
        uint32_t tail = 0;
        ASSERT_EQ(0, in.read(head, 5, 5000)) << piece;
        int done = 0;
        ASSERT_EQ(0, in.read_rows(fb.data(), stride, row, rows, 5000, &done)) << piece;
        EXPECT_EQ(static_cast<int>(rows), done) << piece;
        ASSERT_EQ(0, in.read_u32(&tail, 5000)) << piece;
        peer.join();
        for (size_t r = 0; r < rows; ++r) {
            ASSERT_EQ(0, std::memcmp(fb.data() + r * stride, data.data() + 5 + r * row, row))
                << "piece " << piece << " row " << r;
            ASSERT_TRUE(std::all_of(fb.begin() + r * stride + row, fb.begin() + (r + 1) * stride,
                                    [](uint8_t b) { return b == 0xEE; }))
                << "piece " << piece << ": row " << r << " wrote past its end";
        }
        const uint8_t *t = data.data() + data.size() - 4;
        EXPECT_EQ(static_cast<uint32_t>(t[0]) << 24 | t[1] << 16 | t[2] << 8 | t[3], tail) << piece;
    }
}

TEST(SocketReader, SkipAcrossBufferRefills) {
    Pair p;
    ASSERT_TRUE(p.ok());
    std::vector<uint8_t> data = pattern(vnc_socket_reader::kBufferSize + 5000, 23);
    data.insert(data.end(), {0x01, 0x02, 0x03, 0x04});
    PeerThread peer(p, [&] { vnc_sock_write_exact(p.far, data.data(), data.size()); });
    vnc_socket_reader in(p.near, nullptr);
    EXPECT_EQ(0, in.skip(data.size() - 4, 5000));
    uint32_t v = 0;
    EXPECT_EQ(0, in.read_u32(&v, 5000));
    peer.join();
    EXPECT_EQ(0x01020304u, v);
}

TEST(SocketReader, TimeoutBoundsEachWaitNotTheWholeRead) {
    Pair p;
    ASSERT_TRUE(p.ok());
    PeerThread peer(p, [&] {
        vnc_sock_write_exact(p.far, "ab", 2);
        sleep_ms(1000);
        vnc_sock_write_exact(p.far, "cd", 2);
        sleep_ms(1000);
        vnc_sock_write_exact(p.far, "ef", 2);
    });
    vnc_socket_reader in(p.near, nullptr);
    char buf[6];
    const auto start = Clock::now();
    EXPECT_EQ(0, in.read(buf, 6, 1800));
    const long long took = ms_since(start);
    peer.join();
    EXPECT_EQ(0, std::memcmp(buf, "abcdef", 6));
    EXPECT_GE(took, 1800) << "the read as a whole outlasted one timeout";
    EXPECT_FALSE(in.timed_out());
}

TEST(SocketReader, TimedOutTellsATimeoutFromAClosedPeer) {
    Pair p;
    ASSERT_TRUE(p.ok());
    vnc_socket_reader in(p.near, nullptr);
    uint8_t buf[4];
    p.send({1, 2});
    const auto start = Clock::now();
    EXPECT_EQ(-1, in.read(buf, 4, 200));
    EXPECT_GE(ms_since(start), 150);
    EXPECT_TRUE(in.timed_out());

    p.send({3, 4});
    p.close_far();
    const auto start2 = Clock::now();
    EXPECT_EQ(-1, in.read(buf, 4, 30000));
    EXPECT_LT(ms_since(start2), 10000) << "a closed peer is not waited for";
    EXPECT_FALSE(in.timed_out());
    EXPECT_EQ(-1, in.read(buf, 1, 30000));
    EXPECT_FALSE(in.timed_out());
}

TEST(SocketReader, CancelFlagEndsAWaitAndIsNotATimeout) {
    Pair p;
    ASSERT_TRUE(p.ok());
    std::atomic<int> run{1};
    vnc_socket_reader in(p.near, &run);
    int result = -2;
    bool timed_out = true;
    long long took = 0;
    PeerThread reader(p, [&] {
        uint8_t buf[4];
        const auto start = Clock::now();
        result = in.read(buf, 4, 60000);
        took = ms_since(start);
        timed_out = in.timed_out();
    });
    sleep_ms(200);
    run.store(0);
    reader.join();
    EXPECT_EQ(-1, result);
    EXPECT_FALSE(timed_out);
    EXPECT_LT(took, 10000);
}

}  // namespace
