// Pointer, key and clipboard messages: their bytes, when they are refused,
// and that messages from many threads and the worker never interleave.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "test_util.h"
#include "vnc_client_internal.h"

namespace {

struct Conn {
    vnc_client_t *c = vnc_create();
    ~Conn() { vnc_destroy(c); }
};

}  // namespace

TEST(Input, MessageBytes) {
    ScriptedServer s;
    s.handshake(10, 10).read(6).read(6).read(8).read(8).read(8).read(8 + 5).read(8);
    s.start();
    Conn k;
    ASSERT_EQ(0, vnc_connect(k.c, "127.0.0.1", s.port(), nullptr));
    // The worker's first request goes out on its own thread: let it pass first.
    ASSERT_TRUE(wait_until([&] { return s.reads().size() >= 6; }));
    EXPECT_EQ(0, vnc_send_pointer(k.c, 0x12345, 0x0203, 0x105));  // low 16 / low 8 bits
    EXPECT_EQ(0, vnc_send_pointer(k.c, -1, 0, 0));
    EXPECT_EQ(0, vnc_send_key(k.c, 0xFF0D, 5));  // any non-zero down is 1
    EXPECT_EQ(0, vnc_send_key(k.c, 0x1234ABCD, 0));
    EXPECT_EQ(0, vnc_send_client_cut_text(k.c, "", 0));
    EXPECT_EQ(0, vnc_send_client_cut_text(k.c, "a\0b\xffz", 5));  // bytes sent unchanged
    EXPECT_EQ(0, vnc_send_client_cut_text(k.c, "ignored", 0));
    ASSERT_TRUE(s.wait_done());
    ASSERT_TRUE(s.ok()) << s.error();
    EXPECT_EQ((std::vector<uint8_t>{5, 5, 0x23, 0x45, 0x02, 0x03}), s.read_at(6));
    EXPECT_EQ((std::vector<uint8_t>{5, 0, 0xFF, 0xFF, 0, 0}), s.read_at(7));
    EXPECT_EQ((std::vector<uint8_t>{4, 1, 0, 0, 0, 0, 0xFF, 0x0D}), s.read_at(8));
    EXPECT_EQ((std::vector<uint8_t>{4, 0, 0, 0, 0x12, 0x34, 0xAB, 0xCD}), s.read_at(9));
    EXPECT_EQ((std::vector<uint8_t>{6, 0, 0, 0, 0, 0, 0, 0}), s.read_at(10));
    EXPECT_EQ((std::vector<uint8_t>{6, 0, 0, 0, 0, 0, 0, 5, 'a', 0, 'b', 0xFF, 'z'}),
              s.read_at(11));
    EXPECT_EQ((std::vector<uint8_t>{6, 0, 0, 0, 0, 0, 0, 0}), s.read_at(12));
}

TEST(Input, RefusedWithoutConnectionOrBadArguments) {
    EXPECT_EQ(-1, vnc_send_pointer(nullptr, 1, 1, 0));
    EXPECT_EQ(-1, vnc_send_key(nullptr, 1, 1));
    EXPECT_EQ(-1, vnc_send_client_cut_text(nullptr, "x", 1));
    Conn k;
    EXPECT_EQ(-1, vnc_send_pointer(k.c, 1, 1, 0)) << "before connect";
    EXPECT_EQ(-1, vnc_send_key(k.c, 1, 1));
    EXPECT_EQ(-1, vnc_send_client_cut_text(k.c, "x", 1));

    ScriptedServer s;
    s.handshake(4, 4).gate();
    s.start();
    ASSERT_EQ(0, vnc_connect(k.c, "127.0.0.1", s.port(), nullptr));
    EXPECT_EQ(-1, vnc_send_client_cut_text(k.c, nullptr, 0)) << "null text, even with length 0";
    EXPECT_EQ(-1, vnc_send_client_cut_text(k.c, "x", -1));
    ASSERT_EQ(0, vnc_disconnect(k.c));
    EXPECT_EQ(-1, vnc_send_pointer(k.c, 1, 1, 0)) << "after disconnect";
    EXPECT_EQ(-1, vnc_send_key(k.c, 1, 1));
    EXPECT_EQ(-1, vnc_send_client_cut_text(k.c, "x", 1));
    s.open_gate();
}

// Several host threads send input while the worker answers updates with
// requests; the server must be able to parse every message whole.
TEST(Input, ConcurrentSendersNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 150;
    constexpr int kUpdates = 200;
    const std::string text(3000, 't');  // large enough to be split by send
    // Per thread and round: pointer (6) + key (8) + cut text (8 + len).
    const size_t input_bytes = static_cast<size_t>(kThreads) * kPerThread * (6 + 8 + 8 + text.size());
    const size_t total = input_bytes + kUpdates * 10;

    ScriptedServer s;
    s.handshake(10, 10).gate();
    Bytes updates;
    for (int i = 0; i < kUpdates; ++i) updates.u8(0).u8(0).u16(0);
    s.send(updates).read(total, 20000);
    s.start();
    Conn k;
    ASSERT_EQ(0, vnc_connect(k.c, "127.0.0.1", s.port(), nullptr));
    // The worker's first request goes out on its own thread: let it pass first.
    ASSERT_TRUE(wait_until([&] { return s.reads().size() >= 6; }));

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                if (vnc_send_pointer(k.c, t, i, 1)) ++failures;
                if (vnc_send_key(k.c, 0x100u * t + 1, 1)) ++failures;
                if (vnc_send_client_cut_text(k.c, text.data(), static_cast<int>(text.size())))
                    ++failures;
            }
        });
    }
    s.open_gate();
    for (auto &th : threads) th.join();
    EXPECT_EQ(0, failures.load());
    ASSERT_TRUE(s.wait_done(30000));
    ASSERT_TRUE(s.ok()) << s.error();

    const std::vector<uint8_t> stream = s.read_at(6);
    ASSERT_EQ(total, stream.size());
    std::map<int, int> counts;
    std::map<int, int> next_pointer_y;
    size_t p = 0;
    while (p < stream.size()) {
        const uint8_t type = stream[p];
        if (type == 3) {
            ASSERT_EQ((std::vector<uint8_t>{3, 1, 0, 0, 0, 0, 0, 10, 0, 10}),
                      std::vector<uint8_t>(stream.begin() + p, stream.begin() + p + 10));
            p += 10;
        } else if (type == 5) {
            ASSERT_EQ(1, stream[p + 1]);
            const int t = stream[p + 2] << 8 | stream[p + 3];
            const int y = stream[p + 4] << 8 | stream[p + 5];
            ASSERT_LT(t, kThreads);
            EXPECT_EQ(next_pointer_y[t]++, y) << "each thread's messages stay in its order";
            p += 6;
        } else if (type == 4) {
            ASSERT_EQ(1, stream[p + 1]);
            ASSERT_EQ(1, stream[p + 7]);
            p += 8;
        } else if (type == 6) {
            const uint32_t len = static_cast<uint32_t>(stream[p + 4]) << 24 | stream[p + 5] << 16 |
                                 stream[p + 6] << 8 | stream[p + 7];
            ASSERT_EQ(text.size(), len);
            ASSERT_EQ(text, std::string(stream.begin() + p + 8, stream.begin() + p + 8 + len));
            p += 8 + len;
        } else {
            FAIL() << "message boundary lost at offset " << p << " (byte " << int(type) << ")";
        }
        ++counts[type];
    }
    EXPECT_EQ(kUpdates, counts[3]);
    EXPECT_EQ(kThreads * kPerThread, counts[4]);
    EXPECT_EQ(kThreads * kPerThread, counts[5]);
    EXPECT_EQ(kThreads * kPerThread, counts[6]);
}

// A server that stops reading: the input call that finds no room gives up
// after the stall limit, the connection ends (status 0, later input refused)
// and disconnect stays prompt.
TEST(Input, StalledServerEndsTheConnection) {
    vnc_set_send_stall_timeout_for_testing(300);
    ScriptedServer s;
    s.handshake(4, 4).gate();
    s.start();
    Conn k;
    ASSERT_EQ(0, vnc_connect(k.c, "127.0.0.1", s.port(), nullptr));
    const std::string chunk(1 << 20, 'x');
    int result = 0;
    auto last_call = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < 256 && result == 0; ++i) {  // far more than the socket buffers hold
        const auto t0 = std::chrono::steady_clock::now();
        result = vnc_send_client_cut_text(k.c, chunk.data(), static_cast<int>(chunk.size()));
        last_call = std::chrono::steady_clock::now() - t0;
    }
    vnc_set_send_stall_timeout_for_testing(0);
    EXPECT_EQ(-1, result);
    EXPECT_LT(last_call, std::chrono::seconds(3)) << "not the 5 s default, nor unbounded";
    EXPECT_TRUE(wait_until([&] { return vnc_get_status(k.c) == VNC_STATUS_DISCONNECTED; }));
    EXPECT_EQ(-1, vnc_send_pointer(k.c, 1, 1, 0));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, vnc_disconnect(k.c));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    s.open_gate();
}

// A message meant for an ended connection never reaches the next one, even
// when the handle has been connected again in the meantime.
TEST(Input, MessageForAnEndedConnectionIsDropped) {
    ScriptedServer a, b;
    a.handshake(4, 4).gate();
    b.handshake(4, 4).read(6);
    a.start();
    b.start();
    Conn k;
    ASSERT_EQ(0, vnc_connect(k.c, "127.0.0.1", a.port(), nullptr));
    const uint32_t stale = k.c->generation.load();
    ASSERT_EQ(0, vnc_connect(k.c, "127.0.0.1", b.port(), nullptr));
    const uint8_t key[8] = {4, 1, 0, 0, 0, 0, 0, 'k'};
    EXPECT_EQ(-1, vnc_send_on(k.c, stale, true, key, sizeof key, nullptr, 0));
    ASSERT_TRUE(wait_until([&] { return b.reads().size() >= 6; }));
    EXPECT_EQ(0, vnc_send_pointer(k.c, 7, 8, 1));
    ASSERT_TRUE(b.wait_done());
    ASSERT_TRUE(b.ok()) << b.error();
    EXPECT_EQ((std::vector<uint8_t>{5, 1, 0, 7, 0, 8}), b.read_at(6)) << "the stale key came first";
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(k.c)) << "a dropped message ends nothing";
    a.open_gate();
}
