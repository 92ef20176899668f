// Disconnect and destroy at awkward moments of the worker's life: nothing may
// hang, crash or be touched after the call returns.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "test_util.h"
#include "vnc_client_internal.h"

namespace {

Bytes big_raw_update(int w, int h) {
    Bytes b;
    b.u8(0).u8(0).u16(1).rect(0, 0, w, h, 0).fill(static_cast<size_t>(w) * h * 4, 0x5A);
    return b;
}

}  // namespace

TEST(Disconnect, NeverConnectedHandle) {
    vnc_client_t *c = vnc_create();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(0, vnc_disconnect(c));
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
    EXPECT_EQ(0, vnc_disconnect(c)) << "twice is fine";
    vnc_destroy(c);
}

// The worker is inside a Raw rectangle, waiting for the rest of its payload.
TEST(Disconnect, MidRectangle) {
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroy" : "disconnect");
        ScriptedServer s;
        Bytes part;
        part.u8(0).u8(0).u16(1).rect(0, 0, 100, 100, 0).fill(100 * 4 * 10 + 7, 1);
        s.handshake(100, 100).send(part).gate();
        s.start();
        vnc_client_t *c = vnc_create();
        ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", s.port(), nullptr));
        // Ten rows and a bit arrive: the worker then waits inside the
        // rectangle, holding the framebuffer lock.
        ASSERT_TRUE(wait_until([&] { return s.steps_done() >= 11; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto t0 = std::chrono::steady_clock::now();
        if (destroy) {
            vnc_destroy(c);
        } else {
            EXPECT_EQ(0, vnc_disconnect(c));
            EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
            // The ten finished rows are shown and reported, the row in
            // progress is not.
            int x = -1, y = -1, w = -1, h = -1;
            EXPECT_EQ(1, vnc_get_dirty_rect(c, &x, &y, &w, &h));
            EXPECT_EQ((std::vector<int>{0, 0, 100, 10}), (std::vector<int>{x, y, w, h}));
            vnc_destroy(c);
        }
        // Far below the 5 s payload timeout: the worker was woken, not timed out.
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
        s.open_gate();
    }
}

// The host holds the framebuffer lock while the worker wants it for the next
// rectangle; disconnecting from the lock-holding thread must not deadlock.
TEST(Disconnect, FromThreadHoldingFramebufferLock) {
    ScriptedServer s;
    s.handshake(20, 20).gate().send(big_raw_update(20, 20)).gate();
    s.start();
    vnc_client_t *c = vnc_create();
    ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", s.port(), nullptr));
    void *px;
    int st, w, h;
    ASSERT_EQ(0, vnc_lock_framebuffer(c, &px, &st, &w, &h));
    s.open_gate();
    // Give the worker time to read the header and start waiting for the lock.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, vnc_disconnect(c));
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
    EXPECT_EQ(0x00000000u, static_cast<uint32_t *>(px)[0]) << "the worker never drew under our lock";
    vnc_unlock_framebuffer(c);
    vnc_destroy(c);
    s.open_gate();
}

// A host thread blocked in a send (the server reads nothing) is released by
// a disconnect from another thread.
TEST(Disconnect, WakesBlockedSender) {
    ScriptedServer s;
    s.handshake(4, 4).gate();
    s.start();
    vnc_client_t *c = vnc_create();
    ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", s.port(), nullptr));
    std::atomic<bool> done{false};
    std::thread sender([&] {
        const std::string chunk(1 << 20, 'x');
        while (vnc_send_client_cut_text(c, chunk.data(), static_cast<int>(chunk.size())) == 0) {
        }
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // fill the socket buffers
    EXPECT_EQ(0, vnc_disconnect(c));
    EXPECT_TRUE(wait_until([&] { return done.load(); }));
    sender.join();
    vnc_destroy(c);
    s.open_gate();
}

// Connect, let updates stream, and tear down after a random delay: any
// moment of the worker's life. Sanitizer builds check for races and leaks.
TEST(Disconnect, RandomMomentsUnderStreamingUpdates) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        ScriptedServer s;
        s.handshake(64, 64);
        for (int i = 0; i < 20; ++i) s.send(big_raw_update(64, 64));
        s.start();
        vnc_client_t *c = vnc_create();
        ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", s.port(), nullptr));
        std::thread input([c] {
            for (int i = 0; i < 50; ++i) vnc_send_pointer(c, i, i, 0);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 5000));
        input.join();
        if (round % 2) {
            EXPECT_EQ(0, vnc_disconnect(c));
            EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
        }
        vnc_destroy(c);
    }
}

// Disconnect racing with host threads that poll and read the framebuffer.
TEST(Disconnect, WhileHostThreadsReadFramebuffer) {
    ScriptedServer s;
    s.handshake(64, 64);
    for (int i = 0; i < 30; ++i) s.send(big_raw_update(64, 64));
    s.start();
    vnc_client_t *c = vnc_create();
    ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", s.port(), nullptr));
    std::atomic<bool> stop{false};
    std::atomic<long> sum{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                int x, y, w, h, st;
                void *px;
                vnc_get_dirty_rect(c, &x, &y, &w, &h);
                if (vnc_lock_framebuffer(c, &px, &st, &w, &h) == 0)
                    sum += static_cast<uint8_t *>(px)[(w * h * 4) - 1];
                vnc_unlock_framebuffer(c);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(0, vnc_disconnect(c));
    stop = true;
    for (auto &t : readers) t.join();
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
    vnc_destroy(c);
}

// Input sent just before the close reaches a server that reads only after
// the client has gone, also when the client had bytes of the server's still
// unread: the close ends the stream cleanly instead of resetting it.
TEST(Disconnect, CloseDeliversTheLastInput) {
    ScriptedServer s;
    Bytes keys;
    for (int i = 0; i < 200; ++i) keys.u8(4).u8(i & 1).u16(0).u32(0x61 + i % 26);
    Bytes update;
    update.u8(0).u8(0).u16(1).rect(0, 0, 1, 1, 0).fill(4, 1);
    // Bells the worker cannot read while the host holds the lock, which it
    // takes before the update comes.
    s.handshake(8, 8).gate().send(update).send(Bytes().fill(65536, 2)).gate();
    s.read(keys.size()).expect_closed();
    s.start();
    vnc_client_t *c = vnc_create();
    ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", s.port(), nullptr));
    void *px;
    int st, w, h;
    vnc_lock_framebuffer(c, &px, &st, &w, &h);
    s.open_gate();
    ASSERT_TRUE(wait_until([&] { return s.steps_done() >= 13; }));
    for (int i = 0; i < 200; ++i) ASSERT_EQ(0, vnc_send_key(c, 0x61 + i % 26, i & 1));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, vnc_disconnect(c));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
    vnc_unlock_framebuffer(c);
    s.open_gate();
    ASSERT_TRUE(s.wait_done());
    EXPECT_TRUE(s.ok()) << s.error();
    EXPECT_EQ(keys.vec(), s.read_at(6));
    vnc_destroy(c);
}

// 20,000 keys reported sent all reach a server that read nothing while it
// sent updates; one that never reads holds the close only for the stall limit.
TEST(Disconnect, CloseDeliversAQueueOrSaysWhatWasLost) {
    // Third: keys from another thread until one fails, so that a send is
    // blocked when the close begins; what returned 0 must still arrive,
    // and nothing after the part of a message the close cut off.
    for (const auto &[reads, blocked] : {std::pair{true, false}, {false, false}, {true, true}}) {
        SCOPED_TRACE(reads ? "the server reads after a second" : "the server never reads");
        SCOPED_TRACE(blocked ? "a send blocked at the close" : "");
#ifdef _WIN32
        // Winsock cannot tell what the server has not taken: the close
        // there waits only for the server's end of the stream.
        if (!reads || blocked) continue;
#endif
        vnc_set_send_stall_timeout_for_testing(reads ? 0 : 300);
        ScriptedServer s;
        s.handshake(256, 256);
        for (int i = 0; i < 25; ++i) s.send(big_raw_update(256, 256)).pause(40);
        const size_t updates_sent = s.steps_scripted();
        reads ? s.expect_closed().close() : s.gate();
        s.start();
        vnc_client_t *c = vnc_create();
        ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", s.port(), nullptr));
        Bytes keys;
        std::thread typist([&] {
            for (int i = 0; i < (blocked ? 4000000 : 20000); ++i) {
                if (vnc_send_key(c, 0x61 + i % 26, i & 1) != 0) break;
                keys.u8(4).u8(i & 1).u16(0).u32(0x61 + i % 26);
            }
        });
        if (blocked) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        } else {
            typist.join();
            ASSERT_EQ(20000u * 8, keys.size());
        }
#ifdef _WIN32
        // Its close cannot wait for the server to read: a server still
        // sending when it closes would meet a reset, however fast the keys
        // went.
        ASSERT_TRUE(wait_until([&] { return s.steps_done() >= updates_sent; }));
#else
        (void)updates_sent;
#endif
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(0, vnc_disconnect(c));
        if (typist.joinable()) typist.join();
        EXPECT_TRUE(reads || std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3));
        char reason[256] = {};
        vnc_get_end_reason(c, reason, sizeof reason);
        EXPECT_EQ(!reads, std::strstr(reason, "bytes were not delivered") != nullptr) << reason;
        if (reads) {
            ASSERT_TRUE(s.wait_done() && s.ok()) << s.error();
            // The keys, in order, between the worker's update requests.
            const std::vector<uint8_t> all = s.reads().back();
            Bytes got;
            size_t at = 0;
            for (; at + 8 <= all.size() && all[at] >= 3 && all[at] <= 4; at += all[at] == 3 ? 10 : 8)
                if (all[at] == 4) got.raw({all.begin() + at, all.begin() + at + 8});
            EXPECT_TRUE(keys.vec() == got.vec()) << got.size() << " of " << keys.size() << " bytes";
            EXPECT_GT(10u, all.size() - at) << "at most a cut message after the last whole one";
        }
        s.open_gate();
        vnc_destroy(c);
    }
    vnc_set_send_stall_timeout_for_testing(0);
}

// vnc_disconnect or vnc_destroy from another thread abandons a vnc_connect
// at once: one that waits for a silent server, and one that waits for the
// framebuffer lock the disconnecting host holds.
TEST(Disconnect, AbandonsAConnectInProgress) {
    const struct {
        bool destroy, hold_lock;
    } cases[] = {{false, false}, {true, false}, {false, true}};
    for (const auto &t : cases) {
        const bool destroy = t.destroy;
        SCOPED_TRACE(testing::Message() << (destroy ? "destroy" : "disconnect")
                                        << (t.hold_lock ? ", lock held" : ""));
        ScriptedServer s;
        if (t.hold_lock)
            s.handshake(8, 8).gate();
        else
            s.gate();  // accepts, never greets
        s.start();
        vnc_client_t *c = vnc_create();
        void *px;
        int st, w, h;
        if (t.hold_lock) vnc_lock_framebuffer(c, &px, &st, &w, &h);
        std::atomic<int> result{1};
        std::thread th([&] { result = vnc_connect(c, "127.0.0.1", s.port(), nullptr); });
        ASSERT_TRUE(wait_until([&] { return vnc_get_status(c) == VNC_STATUS_CONNECTING; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));  // in the greeting's wait
        const auto t0 = std::chrono::steady_clock::now();
        if (destroy)
            vnc_destroy(c);
        else
            EXPECT_EQ(0, vnc_disconnect(c));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
        th.join();
        EXPECT_EQ(-1, result.load());
        if (t.hold_lock) vnc_unlock_framebuffer(c);
        if (!destroy) {
            EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
            vnc_destroy(c);
        }
        s.open_gate();
    }
}

// A server that goes on sending after our end of the stream cannot hold the
// close past its bound.
TEST(Disconnect, CloseIsBoundedAgainstAServerThatKeepsSending) {
    ScriptedServer s;
    s.handshake(8, 8);
    for (int i = 0; i < 2000; ++i) s.send(Bytes().fill(16384, 2)).pause(1);  // Bells
    s.start();
    vnc_client_t *c = vnc_create();
    ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", s.port(), nullptr));
    ASSERT_TRUE(wait_until([&] { return s.steps_done() >= 20; }));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, vnc_disconnect(c));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(800));
    vnc_destroy(c);
}
