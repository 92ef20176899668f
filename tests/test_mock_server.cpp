// The loopback test server: the library's own client against it, raw-socket
// clients that check its wire bytes and misbehave, and start/stop from
// awkward places.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "test_util.h"
#include "vnc_client_internal.h"
#include "vnc_des.h"
#include "vnc_mock_server.h"
#include "vnc_socket.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
// Header, Raw rectangle (header + 32 x 32 pixels), RRE rectangle (header,
// count, background, one subrectangle).
constexpr size_t kUpdateSize = 4 + 12 + 32 * 32 * 4 + 12 + 4 + 4 + 12;

// What the canned picture holds at (x, y), as stored in the framebuffer.
uint32_t expected_pixel(int x, int y) {
    if (x < 32 && y < 32)
        return 0xFF000000u | static_cast<uint32_t>(y * 8) << 16 |
               static_cast<uint32_t>(x * 8) << 8 | 0xFFu;
    if (x >= 44 && x < 68 && y >= 44 && y < 68) return 0xFFFF0000u;  // red
    if (x >= 40 && x < 72 && y >= 40 && y < 72) return 0xFF00FF00u;  // green
    return 0;
}

// Stops the process-wide server whatever happens in a test.
struct ServerGuard {
    ~ServerGuard() { vnc_test_server_stop(); }
};

int start_server(const char *password = nullptr) {
    if (vnc_test_server_start(0, password) != 0) return -1;
    return mock_server_bound_port();
}

// A port nobody listens on right now.
int free_port() {
    vnc_socket_t s = VNC_INVALID_SOCKET;
    if (vnc_sock_listen_loopback(0, &s) != 0) return -1;
    const int port = vnc_sock_local_port(s);
    vnc_sock_close(s);
    return port;
}

struct Client {
    vnc_client_t *c = vnc_create();
    ~Client() { vnc_destroy(c); }
    int connect(int port, const char *pw = nullptr) {
        return vnc_connect(c, "127.0.0.1", port, pw);
    }
};

struct Area {
    bool any = false;
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    void add(int x, int y, int w, int h) {
        if (!any) {
            any = true;
            x0 = x, y0 = y, x1 = x + w, y1 = y + h;
            return;
        }
        x0 = std::min(x0, x), y0 = std::min(y0, y);
        x1 = std::max(x1, x + w), y1 = std::max(y1, y + h);
    }
    bool is(int ax0, int ay0, int ax1, int ay1) const {
        return any && x0 == ax0 && y0 == ay0 && x1 == ax1 && y1 == ay1;
    }
};

// Collects dirty rectangles until they span exactly (0,0)-(72,72).
Area collect_first_picture(vnc_client_t *c) {
    Area a;
    wait_until([&] {
        int x, y, w, h;
        while (vnc_get_dirty_rect(c, &x, &y, &w, &h) == 1) a.add(x, y, w, h);
        return a.is(0, 0, 72, 72);
    });
    return a;
}

// A hand-driven client for checking bytes and for misbehaving.
class RawClient {
public:
    explicit RawClient(int port) {
        connected_ = vnc_sock_connect_tcp("127.0.0.1", port, &sock_) == 0;
    }
    ~RawClient() { close(); }
    bool connected() const { return connected_; }

    bool send(const Bytes &b) { return vnc_sock_write_exact(sock_, b.vec().data(), b.size()) == 0; }
    bool send(const std::string &s) { return vnc_sock_write_exact(sock_, s.data(), s.size()) == 0; }
    std::vector<uint8_t> read(size_t n, int timeout_ms = 5000) {
        std::vector<uint8_t> out(n);
        if (vnc_sock_read_exact(sock_, out.data(), n, timeout_ms) != 0) out.clear();
        return out;
    }
    // True when the server closes the connection without sending anything
    // more first.
    bool closed_by_server(int timeout_ms = 5000) {
        if (vnc_sock_wait_readable(sock_, timeout_ms, nullptr) != 1) return false;
        uint8_t b;
        return vnc_sock_recv_some(sock_, &b, 1) <= 0;
    }
    // Whether anything arrives within timeout_ms.
    bool quiet_for(int timeout_ms) { return vnc_sock_wait_readable(sock_, timeout_ms, nullptr) == 0; }
    void shutdown() { vnc_sock_shutdown(sock_); }
    void close() {
        vnc_sock_close(sock_);
        sock_ = VNC_INVALID_SOCKET;
    }

    // Version and None security; stops before ClientInit.
    bool handshake_to_security() {
        return read(12).size() == 12 && send("RFB 003.008\n") && read(2) == std::vector<uint8_t>{1, 1} &&
               send(Bytes{1}) && read(4) == std::vector<uint8_t>{0, 0, 0, 0};
    }
    // Whole handshake without a password, ServerInit consumed.
    bool handshake() { return handshake_to_security() && send(Bytes{1}) && read(24 + 15).size() == 39; }

private:
    vnc_socket_t sock_ = VNC_INVALID_SOCKET;
    bool connected_ = false;
};

Bytes update_request() { return Bytes().u8(3).u8(0).u16(0).u16(0).u16(kWidth).u16(kHeight); }

Bytes cut_text_header(uint32_t length) { return Bytes().u8(6).u8(0).u16(0).u32(length); }

// Runs fn on a thread; true when it returns within timeout_ms. A call that
// hangs is left behind so the test can fail instead of hanging.
bool returns_within(std::function<void()> fn, int timeout_ms) {
    auto state = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto done = std::make_shared<bool>(false);
    std::thread t([fn, state, done] {
        fn();
        std::lock_guard<std::mutex> g(state->first);
        *done = true;
        state->second.notify_all();
    });
    std::unique_lock<std::mutex> lock(state->first);
    const bool ok = state->second.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                           [&] { return *done; });
    lock.unlock();
    if (ok)
        t.join();
    else
        t.detach();
    return ok;
}

}  // namespace

TEST(MockServer, ClientWithoutPasswordGetsTheCannedDesktop) {
    ServerGuard guard;
    const int port = start_server();
    ASSERT_GT(port, 0);
    Client cl;
    ASSERT_EQ(0, cl.connect(port));
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(cl.c));
    int w = 0, h = 0;
    ASSERT_EQ(0, vnc_get_dimensions(cl.c, &w, &h));
    EXPECT_EQ(kWidth, w);
    EXPECT_EQ(kHeight, h);
    EXPECT_STREQ("QuenviraMockVNC", cl.c->desktop_name);

    const Area a = collect_first_picture(cl.c);
    EXPECT_TRUE(a.is(0, 0, 72, 72)) << "dirty area (" << a.x0 << "," << a.y0 << ")-(" << a.x1
                                    << "," << a.y1 << ")";

    void *pixels = nullptr;
    int stride = 0;
    const int locked = vnc_lock_framebuffer(cl.c, &pixels, &stride, &w, &h);
    ASSERT_EQ(0, locked);
    int wrong = 0;
    std::string first_wrong;
    for (int y = 0; y < h; ++y) {
        const uint32_t *row = reinterpret_cast<const uint32_t *>(static_cast<uint8_t *>(pixels) +
                                                                 static_cast<size_t>(stride) * y);
        for (int x = 0; x < w; ++x) {
            if (row[x] != expected_pixel(x, y) && wrong++ == 0) {
                char text[96];
                std::snprintf(text, sizeof text, "(%d,%d) is %08X, expected %08X", x, y, row[x],
                              expected_pixel(x, y));
                first_wrong = text;
            }
        }
    }
    vnc_unlock_framebuffer(cl.c);
    EXPECT_EQ(0, wrong) << first_wrong;
}

TEST(MockServer, PasswordIsCheckedOnItsFirstEightCharacters) {
    ServerGuard guard;
    const int port = start_server("secret12");
    ASSERT_GT(port, 0);
    {
        Client cl;
        EXPECT_EQ(0, cl.connect(port, "secret12"));
        EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(cl.c));
    }
    {
        Client cl;
        EXPECT_EQ(0, cl.connect(port, "secret12 and then some"));
        int w = 0, h = 0;
        vnc_get_dimensions(cl.c, &w, &h);
        EXPECT_EQ(kWidth, w);
    }
    {
        Client cl;
        EXPECT_EQ(-1, cl.connect(port, "secret13"));
        EXPECT_STREQ("VNC Authentication failed", vnc_last_error());
        EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(cl.c));
    }
    {
        // Only VNC authentication is offered: no password means the all-zero key.
        Client cl;
        EXPECT_EQ(-1, cl.connect(port, nullptr));
        EXPECT_STREQ("VNC Authentication failed", vnc_last_error());
    }
    {
        // Refused clients did not leave the server stuck.
        Client cl;
        EXPECT_EQ(0, cl.connect(port, "secret12"));
    }
}

TEST(MockServer, WireBytesOfHandshakeAndUpdate) {
    ServerGuard guard;
    const int port = start_server();
    ASSERT_GT(port, 0);
    RawClient raw(port);
    ASSERT_TRUE(raw.connected());
    const std::vector<uint8_t> version = raw.read(12);
    EXPECT_EQ(std::string("RFB 003.008\n"), std::string(version.begin(), version.end()));
    // An older version in the reply changes nothing: 3.8 rules follow.
    ASSERT_TRUE(raw.send("RFB 003.003\n"));
    EXPECT_EQ((std::vector<uint8_t>{1, 1}), raw.read(2));
    ASSERT_TRUE(raw.send(Bytes{1}));
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), raw.read(4));
    ASSERT_TRUE(raw.send(Bytes{0}));  // exclusive ClientInit: also accepted
    const std::vector<uint8_t> init = raw.read(24 + 15);
    const std::vector<uint8_t> expected_init = {0x02, 0x80, 0x01, 0xE0, 0x20, 0x18, 0x00, 0x01,
                                                0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x10, 0x08,
                                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F};
    ASSERT_EQ(39u, init.size());
    EXPECT_EQ(expected_init, std::vector<uint8_t>(init.begin(), init.begin() + 24));
    EXPECT_EQ("QuenviraMockVNC", std::string(init.begin() + 24, init.end()));

    // Every message the server knows, each of its own length, then a
    // request: a length misjudged anywhere puts the request out of step.
    Bytes msgs;
    msgs.u8(0).fill(3, 0).raw({8, 8, 0, 1, 0, 7, 0, 7, 0, 3, 0, 3, 6, 0, 0, 0});  // 8 bpp asked
    msgs.u8(2).u8(0).u16(3).s32(0).s32(2).s32(-223);                             // SetEncodings
    msgs.u8(4).u8(1).u16(0).u32(0xFF0D);                                         // KeyEvent
    msgs.u8(5).u8(1).u16(10).u16(20);                                            // PointerEvent
    msgs.u8(6).fill(3, 0).u32(5).str("hello");                                   // ClientCutText
    msgs.u8(1).u8(200);  // types that carry nothing
    msgs.raw(update_request().vec());
    ASSERT_TRUE(raw.send(msgs));

    const std::vector<uint8_t> u = raw.read(kUpdateSize);
    ASSERT_EQ(kUpdateSize, u.size());
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 2}), std::vector<uint8_t>(u.begin(), u.begin() + 4));
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 32, 0, 32, 0, 0, 0, 0}),
              std::vector<uint8_t>(u.begin() + 4, u.begin() + 16));
    // Still 32-bit pixels despite SetPixelFormat: blue 255, green from the
    // column, red from the row.
    const uint8_t *raw_pixels = u.data() + 16;
    const size_t at_5_9 = (9 * 32 + 5) * 4;
    EXPECT_EQ((std::vector<uint8_t>{0xFF, 40, 72, 0xFF}),
              std::vector<uint8_t>(raw_pixels + at_5_9, raw_pixels + at_5_9 + 4));
    const uint8_t *rre = raw_pixels + 4096;
    EXPECT_EQ((std::vector<uint8_t>{0, 40, 0, 40, 0, 32, 0, 32, 0, 0, 0, 2, 0, 0, 0, 1, 0x00, 0xFF,
                                    0x00, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0, 4, 0, 4, 0, 24, 0, 24}),
              std::vector<uint8_t>(rre, rre + 32));

    // Incremental or not, any area: the same update again.
    ASSERT_TRUE(raw.send(Bytes().u8(3).u8(1).u16(100).u16(100).u16(1).u16(1)));
    EXPECT_EQ(u, raw.read(kUpdateSize));
}

TEST(MockServer, WireBytesOfVncAuthentication) {
    ServerGuard guard;
    const int port = start_server("pw");
    ASSERT_GT(port, 0);
    std::vector<uint8_t> challenge;
    for (int i = 1; i <= 16; ++i) challenge.push_back(static_cast<uint8_t>(0x11 * i));
    uint8_t right[16];
    vnc_des_encrypt_challenge(challenge.data(), "pw", right);
    {
        RawClient raw(port);
        ASSERT_EQ(12u, raw.read(12).size());
        ASSERT_TRUE(raw.send("RFB 003.008\n"));
        EXPECT_EQ((std::vector<uint8_t>{1, 2}), raw.read(2));
        ASSERT_TRUE(raw.send(Bytes{2}));
        EXPECT_EQ(challenge, raw.read(16));
        ASSERT_TRUE(raw.send(Bytes().raw(std::vector<uint8_t>(right, right + 16))));
        EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), raw.read(4));
        ASSERT_TRUE(raw.send(Bytes{1}));
        EXPECT_EQ(39u, raw.read(39).size());
    }
    {
        RawClient raw(port);
        ASSERT_EQ(12u, raw.read(12).size());
        ASSERT_TRUE(raw.send("RFB 003.008\n"));
        ASSERT_EQ(2u, raw.read(2).size());
        ASSERT_TRUE(raw.send(Bytes{2}));
        ASSERT_EQ(16u, raw.read(16).size());
        std::vector<uint8_t> wrong(right, right + 16);
        wrong[15] ^= 1;
        ASSERT_TRUE(raw.send(Bytes().raw(wrong)));
        EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 1}), raw.read(4));
        EXPECT_TRUE(raw.closed_by_server());
    }
    {
        // None chosen although only VNC authentication was offered.
        RawClient raw(port);
        ASSERT_EQ(12u, raw.read(12).size());
        ASSERT_TRUE(raw.send("RFB 003.008\n"));
        ASSERT_EQ(2u, raw.read(2).size());
        ASSERT_TRUE(raw.send(Bytes{1}));
        EXPECT_TRUE(raw.closed_by_server()) << "expected no challenge, only the close";
    }
    Client cl;
    EXPECT_EQ(0, cl.connect(port, "pw"));
}

TEST(MockServer, MisbehavingClientsNeverKeepTheNextOneWaiting) {
    ServerGuard guard;
    const int port = start_server();
    ASSERT_GT(port, 0);
    // Each case ends with the raw client gone; the library's client must
    // then be served. A server still busy with a dead socket would leave
    // it in the backlog until its greeting wait expired.
    const std::vector<std::pair<const char *, std::function<void(RawClient &)>>> cases = {
        {"closes at once", [](RawClient &) {}},
        {"closes after the greeting", [](RawClient &r) { r.read(12); }},
        {"sends junk",
         [](RawClient &r) {
             r.read(12);
             r.send(std::string(300, '\xA5'));
         }},
        {"closes after the handshake", [](RawClient &r) { r.handshake(); }},
        {"closes inside a message",
         [](RawClient &r) {
             r.handshake();
             r.send(Bytes{3, 0, 0});
         }},
        {"closes inside a cut text",
         [](RawClient &r) {
             r.handshake();
             r.send(cut_text_header(1000).str("part"));
         }},
        {"closes with an unread update",
         [](RawClient &r) {
             r.handshake();
             r.send(update_request());
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        {
            RawClient raw(port);
            ASSERT_TRUE(raw.connected());
            c.second(raw);
        }
        Client cl;
        ASSERT_EQ(0, cl.connect(port)) << vnc_last_error();
        const Area a = collect_first_picture(cl.c);
        EXPECT_TRUE(a.any);
    }
}

TEST(MockServer, SecondClientWaitsUntilTheFirstLeaves) {
    ServerGuard guard;
    const int port = start_server();
    ASSERT_GT(port, 0);
    Client first, second;
    ASSERT_EQ(0, first.connect(port));
    std::atomic<int> result{1};
    std::thread t([&] { result = second.connect(port); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(VNC_STATUS_CONNECTING, vnc_get_status(second.c)) << "two clients served at once";
    vnc_disconnect(first.c);
    t.join();
    EXPECT_EQ(0, result.load()) << vnc_last_error();
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(second.c));
}

TEST(MockServer, ClientCutTextOfLengthZeroOrOver65535LeavesTheTextUnread) {
    ServerGuard guard;
    const int port = start_server();
    ASSERT_GT(port, 0);
    RawClient raw(port);
    ASSERT_TRUE(raw.handshake());

    // The "text" bytes are an update request: answered only when the server
    // leaves them unread and takes them as the next message.
    ASSERT_TRUE(raw.send(cut_text_header(0).raw(update_request().vec())));
    EXPECT_EQ(kUpdateSize, raw.read(kUpdateSize).size()) << "length 0";
    ASSERT_TRUE(raw.send(cut_text_header(65536).raw(update_request().vec())));
    EXPECT_EQ(kUpdateSize, raw.read(kUpdateSize).size()) << "length 65536";
    ASSERT_TRUE(raw.send(cut_text_header(0xFFFFFFFFu).raw(update_request().vec())));
    EXPECT_EQ(kUpdateSize, raw.read(kUpdateSize).size()) << "length 2^32-1";

    // Within 1..65535 the text is consumed: one update for the real request.
    ASSERT_TRUE(raw.send(cut_text_header(10).raw(update_request().vec()).raw(update_request().vec())));
    EXPECT_EQ(kUpdateSize, raw.read(kUpdateSize).size());
    EXPECT_TRUE(raw.quiet_for(300)) << "the text was taken as a request";
    std::vector<uint8_t> big(65535, 3);
    ASSERT_TRUE(raw.send(cut_text_header(65535).raw(big).raw(update_request().vec())));
    EXPECT_EQ(kUpdateSize, raw.read(kUpdateSize).size());
    EXPECT_TRUE(raw.quiet_for(300)) << "the text was taken as requests";
}

TEST(MockServer, StopWithClientConnectedThenRestartOnTheSamePort) {
    ServerGuard guard;
    const int port = start_server();
    ASSERT_GT(port, 0);
    Client cl;
    ASSERT_EQ(0, cl.connect(port));
    vnc_test_server_stop();
    EXPECT_EQ(-1, mock_server_bound_port());
    EXPECT_TRUE(wait_until([&] { return vnc_get_status(cl.c) == VNC_STATUS_DISCONNECTED; }))
        << "the client's connection was not closed";

    // The old connection's port is still in the kernel's tables; address
    // reuse lets the new server bind at once.
    ASSERT_EQ(0, vnc_test_server_start(port, nullptr));
    EXPECT_EQ(port, mock_server_bound_port());
    Client again;
    ASSERT_EQ(0, again.connect(port)) << vnc_last_error();
    EXPECT_TRUE(collect_first_picture(again.c).is(0, 0, 72, 72));
}

TEST(MockServer, StopReturnsWhateverTheThreadIsBlockedOn) {
    ServerGuard guard;
    {
        // In the handshake, waiting for a client that says nothing.
        const int port = start_server();
        ASSERT_GT(port, 0);
        RawClient raw(port);
        ASSERT_EQ(12u, raw.read(12).size());
        EXPECT_TRUE(returns_within(vnc_test_server_stop, 10000));
        EXPECT_TRUE(raw.closed_by_server());
    }
    {
        // In a send: requests pile up and the client never reads, so the
        // socket buffers fill and the server's write blocks.
        const int port = start_server();
        ASSERT_GT(port, 0);
        RawClient raw(port);
        ASSERT_TRUE(raw.handshake());
        Bytes requests;
        for (int i = 0; i < 20000; ++i) requests.raw(update_request().vec());
        // Our own send may block too once the server stops reading.
        std::thread sender([&] { raw.send(requests); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(returns_within(vnc_test_server_stop, 10000));
        raw.shutdown();
        sender.join();
    }
    {
        // Waiting in accept, and stopping twice.
        ASSERT_GT(start_server(), 0);
        EXPECT_TRUE(returns_within(vnc_test_server_stop, 10000));
        EXPECT_TRUE(returns_within(vnc_test_server_stop, 10000));
    }
}

TEST(MockServer, StopWithoutServerIsHarmless) {
    ServerGuard guard;
    vnc_test_server_stop();
    vnc_test_server_stop();
    EXPECT_EQ(-1, mock_server_bound_port());
    const int port = start_server();
    ASSERT_GT(port, 0);
    Client cl;
    EXPECT_EQ(0, cl.connect(port));
}

TEST(MockServer, StartOnATakenPortFailsAndStopsTheRunningServer) {
    ServerGuard guard;
    const int old_port = start_server();
    ASSERT_GT(old_port, 0);
    vnc_socket_t taken = VNC_INVALID_SOCKET;
    ASSERT_EQ(0, vnc_sock_listen_loopback(0, &taken));
    const int taken_port = vnc_sock_local_port(taken);
    EXPECT_EQ(-1, vnc_test_server_start(taken_port, nullptr));
    EXPECT_STREQ("Could not listen on the test server port", vnc_last_error());
    EXPECT_EQ(-1, mock_server_bound_port());
    for (int port : {-1, 65536, 80000}) {
        EXPECT_EQ(-1, vnc_test_server_start(port, nullptr)) << port;
        EXPECT_STREQ("Invalid test server port", vnc_last_error());
    }
    vnc_sock_close(taken);
    Client cl;
    EXPECT_EQ(-1, cl.connect(old_port)) << "the earlier server still runs";
    EXPECT_STREQ("Could not connect to VNC server", vnc_last_error());
}

TEST(MockServer, StartAndStopFromSeveralThreadsAtOnce) {
    ServerGuard guard;
    const int port = free_port();
    ASSERT_GT(port, 0);
    std::atomic<int> failed_starts{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                if ((i + t) % 3 == 2) {
                    vnc_test_server_stop();
                } else if (vnc_test_server_start(port, (i % 2) ? "pw" : nullptr) != 0) {
                    ++failed_starts;
                }
            }
        });
    }
    // A client knocking meanwhile must not upset anything either.
    std::thread knocker([&] {
        for (int i = 0; i < 20; ++i) {
            RawClient raw(port);
            raw.read(12, 50);
        }
    });
    for (auto &t : threads) t.join();
    knocker.join();
    EXPECT_EQ(0, failed_starts.load()) << "each start stops the previous server and rebinds";

    ASSERT_EQ(0, vnc_test_server_start(port, nullptr));
    Client cl;
    EXPECT_EQ(0, cl.connect(port)) << vnc_last_error();
}

namespace {

// A connected loopback pair: first is the accepted end.
bool socket_pair(vnc_socket_t *accepted, vnc_socket_t *connected) {
    vnc_socket_t listener = VNC_INVALID_SOCKET;
    if (vnc_sock_listen_loopback(0, &listener) != 0) return false;
    const bool ok =
        vnc_sock_connect_tcp("127.0.0.1", vnc_sock_local_port(listener), connected) == 0 &&
        vnc_sock_wait_readable(listener, 5000, nullptr) == 1 &&
        (*accepted = vnc_sock_accept(listener)) != VNC_INVALID_SOCKET;
    vnc_sock_close(listener);
    return ok;
}

}  // namespace

// The write the test server relies on to stay stoppable.
TEST(SocketWriteCancel, DeliversEverythingInOrder) {
    vnc_socket_t a = VNC_INVALID_SOCKET, b = VNC_INVALID_SOCKET;
    ASSERT_TRUE(socket_pair(&a, &b));
    std::vector<uint8_t> sent(300001);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + i / 251);
    std::vector<uint8_t> got(sent.size());
    std::atomic<int> reader_result{-1};
    std::thread reader([&] { reader_result = vnc_sock_read_exact(b, got.data(), got.size(), 5000); });
    std::atomic<int> go{1};
    EXPECT_EQ(0, vnc_sock_write_exact_cancel(a, sent.data(), sent.size(), &go));
    reader.join();
    EXPECT_EQ(0, reader_result.load());
    EXPECT_TRUE(sent == got);
    vnc_sock_close(a);
    vnc_sock_close(b);
}

TEST(SocketWriteCancel, GivesUpOnceCancelledWhenThePeerNeverReads) {
    vnc_socket_t a = VNC_INVALID_SOCKET, b = VNC_INVALID_SOCKET;
    ASSERT_TRUE(socket_pair(&a, &b));
    std::atomic<int> go{1};
    std::atomic<int> result{1};
    std::vector<uint8_t> lots(64u << 20, 0x5A);  // far more than the socket buffers hold
    std::thread writer([&] { result = vnc_sock_write_exact_cancel(a, lots.data(), lots.size(), &go); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(1, result.load()) << "the write should still be waiting for room";
    go = 0;
    EXPECT_TRUE(wait_until([&] { return result.load() != 1; }, 10000));
    EXPECT_EQ(-1, result.load());
    if (result.load() == 1) {
        vnc_sock_close(b);  // unread data: the reset ends a stuck writer before the join
        b = VNC_INVALID_SOCKET;
    }
    writer.join();
    vnc_sock_close(a);
    vnc_sock_close(b);
}
