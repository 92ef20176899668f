// A host that knows only the public header and the shipped shared library
// (quenvira-vnc.dll through its import library on Windows): the exports
// resolve, the library starts its socket layer and worker threads from inside
// the DLL, and the built-in test server's desktop arrives intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "quenvira_vnc.h"

namespace {

// Starts the test server on a free port. The public interface cannot report
// the port the system picks for port 0, and other test processes run servers
// at the same time, so ports are tried at random below the ephemeral ranges
// (Linux from 32768, Windows from 49152), where no test asks for "any port".
int start_test_server(const char *password) {
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> pick(20000, 32767);
    for (int attempt = 0; attempt < 50; ++attempt) {
        int port = pick(rng);
        if (vnc_test_server_start(port, password) == 0) return port;
    }
    return -1;
}

struct TestServer {
    int port;
    explicit TestServer(const char *password = nullptr) : port(start_test_server(password)) {}
    ~TestServer() { vnc_test_server_stop(); }
};

struct Handle {
    vnc_client_t *c = vnc_create();
    ~Handle() { vnc_destroy(c); }
};

// Polls the dirty rectangle until the accumulated area covers (0,0)-(x1,y1).
bool wait_for_dirty_area(vnc_client_t *c, int x1, int y1, int timeout_ms = 5000) {
    int ax0 = 1 << 30, ay0 = 1 << 30, ax1 = -1, ay1 = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int x, y, w, h;
        if (vnc_get_dirty_rect(c, &x, &y, &w, &h) == 1) {
            ax0 = std::min(ax0, x);
            ay0 = std::min(ay0, y);
            ax1 = std::max(ax1, x + w);
            ay1 = std::max(ay1, y + h);
            if (ax0 <= 0 && ay0 <= 0 && ax1 >= x1 && ay1 >= y1) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

uint32_t pixel_at(const void *pixels, int stride, int x, int y) {
    uint32_t v;
    std::memcpy(&v, static_cast<const uint8_t *>(pixels) + static_cast<size_t>(y) * stride + x * 4,
                sizeof v);
    return v;
}

}  // namespace

TEST(DllHost, FrameWorksWithoutAServer) {
    EXPECT_STREQ("1.0.1", vnc_version());
    ASSERT_NE(nullptr, vnc_last_error());

    Handle h;
    ASSERT_NE(nullptr, h.c) << vnc_last_error();
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(h.c));
    int w = -1, ht = -1;
    ASSERT_EQ(0, vnc_get_dimensions(h.c, &w, &ht));
    EXPECT_EQ(0, w);
    EXPECT_EQ(0, ht);
    void *px = reinterpret_cast<void *>(1);
    int stride = -1;
    EXPECT_EQ(-1, vnc_lock_framebuffer(h.c, &px, &stride, &w, &ht));
    EXPECT_EQ(nullptr, px);
    vnc_unlock_framebuffer(h.c);
    EXPECT_EQ(-1, vnc_send_key(h.c, 0x61, 1)) << "nothing to send to";
    EXPECT_EQ(0, vnc_disconnect(h.c));

    EXPECT_EQ(-1, vnc_get_status(nullptr));
    EXPECT_EQ(-1, vnc_disconnect(nullptr));
    EXPECT_EQ(-1, vnc_connect(h.c, "127.0.0.1", 0, nullptr));
    EXPECT_STREQ("Invalid connection arguments", vnc_last_error());
}

TEST(DllHost, RefusedConnectionReportsItsText) {
    int port;
    {
        TestServer server;
        ASSERT_GT(server.port, 0) << "no free port for the test server";
        port = server.port;
    }
    // Nobody listens there any more.
    Handle h;
    ASSERT_NE(nullptr, h.c);
    EXPECT_EQ(-1, vnc_connect(h.c, "127.0.0.1", port, nullptr));
    EXPECT_STREQ("Could not connect to VNC server", vnc_last_error());
    EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(h.c));
}

TEST(DllHost, ReceivesTheTestServersDesktop) {
    TestServer server;
    ASSERT_GT(server.port, 0) << "no free port for the test server";
    Handle h;
    ASSERT_NE(nullptr, h.c);
    ASSERT_EQ(0, vnc_connect(h.c, "127.0.0.1", server.port, nullptr)) << vnc_last_error();
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(h.c));
    int w = 0, ht = 0;
    ASSERT_EQ(0, vnc_get_dimensions(h.c, &w, &ht));
    EXPECT_EQ(640, w);
    EXPECT_EQ(480, ht);
    ASSERT_TRUE(wait_for_dirty_area(h.c, 72, 72)) << "the update never arrived";

    void *px = nullptr;
    int stride = 0;
    ASSERT_EQ(0, vnc_lock_framebuffer(h.c, &px, &stride, &w, &ht));
    EXPECT_EQ(640 * 4, stride);
    // Raw gradient: blue 255, green 8 per column, red 8 per row.
    EXPECT_EQ(0xFF0000FFu, pixel_at(px, stride, 0, 0));
    EXPECT_EQ(0xFF2818FFu, pixel_at(px, stride, 3, 5));
    EXPECT_EQ(0xFFF8F8FFu, pixel_at(px, stride, 31, 31));
    EXPECT_EQ(0u, pixel_at(px, stride, 32, 32)) << "between the rectangles";
    // RRE: green background with a red square inset by 4.
    EXPECT_EQ(0xFF00FF00u, pixel_at(px, stride, 41, 41));
    EXPECT_EQ(0xFFFF0000u, pixel_at(px, stride, 44, 44));
    EXPECT_EQ(0xFFFF0000u, pixel_at(px, stride, 67, 67));
    EXPECT_EQ(0xFF00FF00u, pixel_at(px, stride, 68, 68));
    EXPECT_EQ(0u, pixel_at(px, stride, 639, 479));
    vnc_unlock_framebuffer(h.c);

    EXPECT_EQ(0, vnc_send_pointer(h.c, 10, 20, 1));
    EXPECT_EQ(0, vnc_send_key(h.c, 0x61, 1));
    EXPECT_EQ(0, vnc_send_key(h.c, 0x61, 0));
    EXPECT_EQ(0, vnc_send_client_cut_text(h.c, "clip", 4));
    // The server answers every request, so updates keep coming while the
    // input is absorbed; the connection must still be alive.
    EXPECT_TRUE(wait_for_dirty_area(h.c, 72, 72));
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(h.c));

    EXPECT_EQ(0, vnc_disconnect(h.c));
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(h.c));
    ASSERT_EQ(0, vnc_get_dimensions(h.c, &w, &ht));
    EXPECT_EQ(640, w) << "the framebuffer survives a disconnect";
}

TEST(DllHost, PasswordIsCheckedOnItsFirstEightCharacters) {
    TestServer server("sesame12");
    ASSERT_GT(server.port, 0) << "no free port for the test server";
    Handle h;
    ASSERT_NE(nullptr, h.c);
    EXPECT_EQ(-1, vnc_connect(h.c, "127.0.0.1", server.port, "sesame13"));
    EXPECT_STREQ("VNC Authentication failed", vnc_last_error());
    // The server drops the refused client and serves the next one.
    ASSERT_EQ(0, vnc_connect(h.c, "127.0.0.1", server.port, "sesame12 and more")) << vnc_last_error();
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(h.c));
    EXPECT_TRUE(wait_for_dirty_area(h.c, 72, 72));
    EXPECT_EQ(0, vnc_disconnect(h.c));
}
