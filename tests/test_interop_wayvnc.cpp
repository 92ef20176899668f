// wayvnc on a headless sway: security type None, the first picture and the
// pictures after a background change and a terminal window equal to grim's
// screenshots of the output, then a clean disconnect and a second client
// that takes Tight.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "interop_client.h"
#include "interop_servers.h"

namespace {

using namespace interop;

// Not multiples of 16 or 64, so that edge tiles are partial.
constexpr int kWidth = 500, kHeight = 380;
const Millis kUpdateTimeout(15000);

class WayvncTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing = Wayvnc::missing_programs();
        if (!on_path("foot")) missing += missing.empty() ? "foot" : " foot";
        if (!missing.empty())
            GTEST_SKIP() << "not installed: " << missing
                         << " (scripts/setup installs sway, swaybg, wayvnc, grim, foot)";
        std::string err;
        ASSERT_TRUE(server_.start(kWidth, kHeight, "#336699", &err)) << err;
    }

    void TearDown() override {
        if (HasFailure())
            std::cerr << "---- wayvnc log (tail) ----\n"
                      << tail_lines(server_.server_log(), 30) << "\n---- sway log (tail) ----\n"
                      << tail_lines(server_.compositor_log(), 30) << std::endl;
    }

    // grim's picture once it holds (and, after a change, has stopped
    // changing: two looks 100 ms apart agree).
    Image screen_when(const std::function<bool(const Image &)> &ready) {
        Image last, now;
        std::string err;
        const bool ok = wait_until(
            [&] {
                if (!server_.screenshot(&now, &err) || !ready(now)) return false;
                const bool same = compare(now, last).count == 0;
                last = now;
                return same;
            },
            Millis(10000), Millis(100));
        EXPECT_TRUE(ok) << "the output never showed what was expected " << err;
        return now;
    }

    // The framebuffer equals the screen, and every pixel that changed since
    // before lies in a dirty rectangle delivered meanwhile.
    void expect_shows(vnc_client_t *c, const Image &screen, DirtyLog *log, const Image *before,
                      const std::string &what) {
        const Match m = wait_image_match(c, screen, kUpdateTimeout, log);
        if (!m.ok) m.save(dir_.file(what));
        ASSERT_TRUE(m.ok) << what << ": " << m.str();
        if (before) {
            EXPECT_EQ(log->uncovered_changes(*before, screen), 0) << what << ": " << log->str();
        }
    }

    TempDir dir_;  // failure pictures
    Wayvnc server_;
};

uint32_t rgb(const Image &img) { return img.empty() ? 0xffffffffu : img.at(0, 0); }

TEST_F(WayvncTest, PicturesThroughChangesCleanDisconnectAndASecondClient) {
    ClientPtr c(vnc_create());
    ASSERT_TRUE(c);
    // No password: wayvnc without a configuration offers security type None.
    ASSERT_EQ(vnc_connect(c.get(), "127.0.0.1", server_.port(), nullptr), 0) << vnc_last_error();
    EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_CONNECTED);
    int w = 0, h = 0;
    ASSERT_EQ(vnc_get_dimensions(c.get(), &w, &h), 0);
    EXPECT_EQ(w, kWidth);
    EXPECT_EQ(h, kHeight);

    // swaybg paints the background a moment after sway starts.
    Image before = screen_when([](const Image &i) { return rgb(i) == 0x336699; });
    DirtyLog log;
    ASSERT_NO_FATAL_FAILURE(expect_shows(c.get(), before, &log, nullptr, "first"));

    std::string err;
    ASSERT_TRUE(server_.swaymsg("output * bg #aa2200 solid_color", &err)) << err;
    Image now = screen_when([](const Image &i) { return rgb(i) == 0xaa2200; });
    log.clear();
    ASSERT_NO_FATAL_FAILURE(expect_shows(c.get(), now, &log, &before, "background"));
    before = now;

    // A terminal tiled over the output: antialiased text, hundreds of colours.
    server_.start_client(
        {"foot", "sh", "-c", "seq 1 12; printf 'quenvira wayvnc'; exec sleep 600"});
    now = screen_when([](const Image &i) { return rgb(i) != 0xaa2200; });
    EXPECT_GT(now.distinct_colours(), 100u) << "no text in the terminal";
    log.clear();
    ASSERT_NO_FATAL_FAILURE(expect_shows(c.get(), now, &log, &before, "terminal"));

    ASSERT_EQ(vnc_disconnect(c.get()), 0);
    EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_DISCONNECTED);
    // wayvnc's words for a client that closed its end.
    EXPECT_TRUE(wait_until(
        [&] { return server_.server_log().find("hung up") != std::string::npos; }, Millis(5000)))
        << "wayvnc never logged the client hanging up";
    EXPECT_EQ(server_.encodings_reported(0, Millis(1000)), std::set<std::string>{"zrle"})
        << "ZRLE comes first in the library's list";
    EXPECT_TRUE(server_.running());

    // The next client gets the screen as it is now, through wayvnc's Tight.
    const size_t log_start = server_.server_log().size();
    ClientPtr second(vnc_create());
    ASSERT_TRUE(second);
    ASSERT_EQ(vnc_set_option(second.get(), "encodings", "tight"), 0) << vnc_last_error();
    ASSERT_EQ(vnc_connect(second.get(), "127.0.0.1", server_.port(), nullptr), 0)
        << vnc_last_error();
    DirtyLog second_log;
    ASSERT_NO_FATAL_FAILURE(expect_shows(second.get(), now, &second_log, nullptr, "second"));
    EXPECT_EQ(vnc_disconnect(second.get()), 0);
    EXPECT_EQ(server_.encodings_reported(log_start, Millis(1000)), std::set<std::string>{"tight"});
    EXPECT_TRUE(server_.running());
}

// With authentication wayvnc offers VeNCrypt alone, which a host that set
// no security option does not take: the connection fails saying what the
// server offered, and the server takes no harm from it (X509Plain itself:
// test_interop_encrypted.cpp).
TEST(WayvncAuth, OnlyVeNCryptIsOfferedAndNamedInTheEndReason) {
    const std::string missing = Wayvnc::missing_programs();
    if (!missing.empty() || !on_path("openssl"))
        GTEST_SKIP() << "not installed: " << missing << " openssl";
    Wayvnc server;
    std::string err;
    ASSERT_TRUE(server.start(kWidth, kHeight, "#336699", &err, true)) << err;
    for (int round = 0; round < 2; ++round) {
        ClientPtr c(vnc_create());
        ASSERT_TRUE(c);
        EXPECT_EQ(vnc_connect(c.get(), "127.0.0.1", server.port(), "qvsecret"), -1);
        EXPECT_STREQ(vnc_last_error(), "No compatible RFB security type supported by server");
        char reason[256] = {0};
        vnc_get_end_reason(c.get(), reason, sizeof reason);
        EXPECT_STREQ(reason, "No compatible RFB security type: the server offers 19 (VeNCrypt)");
        EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_ERROR);
    }
    EXPECT_TRUE(server.running());
}

}  // namespace
