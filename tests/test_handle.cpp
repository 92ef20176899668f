// Handle lifecycle, status, null arguments, version and the process-wide
// last-error text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "scripted_server.h"
#include "vnc_client_internal.h"

namespace {

// What the process saw before any test ran: this executable is its own
// process, and the environment is set up before the first test whatever
// order or filter the tests run with.
std::string g_version_at_start;
std::string g_error_at_start;

class StartState : public ::testing::Environment {
public:
    void SetUp() override {
        g_version_at_start = vnc_version();
        g_error_at_start = vnc_last_error();
    }
};
::testing::Environment *const g_start_state = ::testing::AddGlobalTestEnvironment(new StartState);

const char kInvalidArgs[] = "Invalid connection arguments";
const char kNoConnect[] = "Could not connect to VNC server";

// A loopback port that nothing listens on (bound once, then released).
int refused_port() {
    vnc_platform_net_init();
    vnc_socket_t l;
    if (vnc_sock_listen_loopback(0, &l) != 0) return -1;
    const int port = vnc_sock_local_port(l);
    vnc_sock_close(l);
    return port;
}

// Makes vnc_last_error hold kNoConnect, so a later check shows that a call
// really wrote its own text.
void record_connect_failure() {
    vnc_client_t *c = vnc_create();
    ASSERT_NE(nullptr, c);
    const int port = refused_port();
    ASSERT_GT(port, 0);
    EXPECT_EQ(-1, vnc_connect(c, "127.0.0.1", port, nullptr));
    vnc_destroy(c);
    ASSERT_STREQ(kNoConnect, vnc_last_error());
}


TEST(LastError, EmptyBeforeAnyFailure) {
    EXPECT_EQ("", g_error_at_start);
}

TEST(Version, IsFixedAndNeedsNoSetUp) {
    EXPECT_EQ("1.0.1", g_version_at_start);
    EXPECT_STREQ("1.0.1", vnc_version());
}

TEST(Lifecycle, FreshHandleAndDisconnectWithoutConnection) {
    vnc_client_t *c = vnc_create();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
    EXPECT_EQ(0, vnc_disconnect(c));
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
    EXPECT_EQ(0, vnc_disconnect(c));
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
    vnc_destroy(c);

    // Handles are independent of each other.
    vnc_client_t *a = vnc_create();
    vnc_client_t *b = vnc_create();
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_NE(a, b);
    vnc_destroy(a);
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(b));
    vnc_destroy(b);
}

TEST(Lifecycle, DisconnectKeepsFramebufferAndCutTextUntilDestroy) {
    vnc_client_t *c = vnc_create();
    ASSERT_NE(nullptr, c);
    uint32_t *pixels;
    {
        std::lock_guard<std::recursive_mutex> g(c->lock);
        vnc_framebuffer_resize(c, 20, 10);
        pixels = c->framebuffer;
    }
    {
        std::lock_guard<std::mutex> g(c->info_lock);
        c->cut_text = static_cast<char *>(std::malloc(6));
        std::memcpy(c->cut_text, "hello", 6);
        c->cut_text_len = 5;
    }
    ASSERT_NE(nullptr, pixels);
    EXPECT_EQ(0, vnc_disconnect(c));
    int w = 0, h = 0;
    EXPECT_EQ(0, vnc_get_dimensions(c, &w, &h));
    EXPECT_EQ(20, w);
    EXPECT_EQ(10, h);
    EXPECT_EQ(pixels, c->framebuffer);
    char text[8];
    EXPECT_EQ(5, vnc_get_cut_text(c, text, sizeof text, nullptr));
    EXPECT_STREQ("hello", text);
    // Destroy frees both (a leak shows in the sanitizer build).
    vnc_destroy(c);
}

TEST(Lifecycle, DisconnectAfterAFailedAttemptResetsTheStatus) {
    vnc_client_t *c = vnc_create();
    ASSERT_NE(nullptr, c);
    const int port = refused_port();
    ASSERT_GT(port, 0);
    EXPECT_EQ(-1, vnc_connect(c, "127.0.0.1", port, nullptr));
    EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(c));
    EXPECT_EQ(0, vnc_disconnect(c));
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
    vnc_destroy(c);
}

TEST(NullArguments, EveryHandleExportRejectsNull) {
    EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(nullptr));
    EXPECT_EQ(-1, vnc_disconnect(nullptr));
    vnc_destroy(nullptr);
    vnc_unlock_framebuffer(nullptr);
    int a = 0, b = 0, x = 0, y = 0;
    void *p = nullptr;
    EXPECT_EQ(-1, vnc_get_dimensions(nullptr, &a, &b));
    EXPECT_EQ(-1, vnc_lock_framebuffer(nullptr, &p, &a, &b, &x));
    EXPECT_EQ(0, vnc_get_dirty_rect(nullptr, &a, &b, &x, &y));
    EXPECT_EQ(-1, vnc_send_pointer(nullptr, 1, 2, 0));
    EXPECT_EQ(-1, vnc_send_key(nullptr, 0x61, 1));
    EXPECT_EQ(-1, vnc_send_client_cut_text(nullptr, "x", 1));
}

TEST(NullArguments, ConnectRecordsInvalidArgumentsAndLeavesStatus) {
    record_connect_failure();
    EXPECT_EQ(-1, vnc_connect(nullptr, "127.0.0.1", 5900, nullptr));
    EXPECT_STREQ(kInvalidArgs, vnc_last_error());

    vnc_client_t *c = vnc_create();
    ASSERT_NE(nullptr, c);
    struct Case {
        const char *host;
        int port;
    } cases[] = {{"127.0.0.1", 0}, {"127.0.0.1", -1}, {"127.0.0.1", -65536}, {nullptr, 5900}};
    for (const Case &k : cases) {
        record_connect_failure();
        EXPECT_EQ(-1, vnc_connect(c, k.host, k.port, "pw")) << k.port;
        EXPECT_STREQ(kInvalidArgs, vnc_last_error()) << k.port;
        EXPECT_STREQ(kInvalidArgs, c->last_error) << k.port;
        EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c))
            << "status unchanged, port " << k.port;
    }

    // After a failed attempt the status is -1, and a rejected call keeps it so.
    const int port = refused_port();
    ASSERT_GT(port, 0);
    EXPECT_EQ(-1, vnc_connect(c, "127.0.0.1", port, nullptr));
    EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(c));
    EXPECT_EQ(-1, vnc_connect(c, nullptr, port, nullptr));
    EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(c));
    EXPECT_STREQ(kInvalidArgs, vnc_last_error());
    vnc_destroy(c);
}

TEST(LastError, KeptAfterLaterSuccess) {
    record_connect_failure();

    vnc_client_t *c = vnc_create();
    ASSERT_NE(nullptr, c);
    EXPECT_STREQ(kNoConnect, vnc_last_error()) << "a successful create";

    ScriptedServer server;
    server.handshake(32, 16, "tiny").gate();
    server.start();
    ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", server.port(), nullptr));
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(c));
    EXPECT_STREQ(kNoConnect, vnc_last_error()) << "a successful connect";
    int w = 0, h = 0;
    EXPECT_EQ(0, vnc_get_dimensions(c, &w, &h));
    EXPECT_EQ(32, w);
    EXPECT_EQ(16, h);

    EXPECT_EQ(0, vnc_disconnect(c));
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
    EXPECT_EQ(0, vnc_disconnect(c));
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(c));
    EXPECT_STREQ(kNoConnect, vnc_last_error()) << "a successful disconnect";
    vnc_destroy(c);
    server.open_gate();
}

TEST(Lifecycle, DestroyWhileConnected) {
    ScriptedServer server;
    server.handshake(32, 16, "tiny").gate();
    server.start();
    vnc_client_t *c = vnc_create();
    ASSERT_NE(nullptr, c);
    ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", server.port(), ""));
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(c));
    // Stops the worker before freeing; the sanitizer builds check the rest.
    vnc_destroy(c);
    server.open_gate();
}

}  // namespace
