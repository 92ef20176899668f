// QEMU's own VNC server showing SeaBIOS (no disk, TCG), judged by its
// monitor: the pictures equal QEMU's screendump once the screen holds still,
// the guest's mode switches arrive as DesktopSize, the password set through
// QMP lets the right client in and no other, and a closed client leaves
// QEMU free for the next.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "interop_client.h"
#include "interop_peers.h"

namespace {

using namespace interop;

using Size = std::pair<int, int>;

Size dimensions(vnc_client_t *c) {
    int w = 0, h = 0;
    vnc_get_dimensions(c, &w, &h);
    return {w, h};
}

// Waits until two screendumps in a row agree and the handle shows the same
// picture; "" when it does (the picture in *screen), else the last
// difference. each() runs at every look.
std::string stable_match(vnc_client_t *c, Qemu &qemu, Image *screen,
                         const std::function<void()> &each = {}) {
    Image last, fb;
    std::string err;
    Diff diff;
    const bool ok = wait_until(
        [&] {
            if (each) each();
            Image now;
            if (!qemu.screendump(&now, &err)) return false;
            const bool still = !last.empty() && compare(now, last).count == 0;
            last = now;
            if (!still) return false;
            fb = snapshot(c);
            diff = compare(fb, now);
            return diff.count == 0;
        },
        Millis(30000), Millis(30));
    *screen = last;
    if (ok) return "";
    if (!err.empty()) return err;
    std::ostringstream out;
    out << "framebuffer " << fb.width << "x" << fb.height << ", screendump " << last.width << "x"
        << last.height << ": " << diff.str();
    return out.str();
}

// The sizes QEMU's trace says it sent as DesktopSize
// ("vnc_msg_server_desktop_resize ... size=720x400").
std::vector<Size> traced_resizes(const std::string &trace) {
    std::vector<Size> sizes;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("vnc_msg_server_desktop_resize") == std::string::npos) continue;
        const size_t at = line.rfind("size=");
        Size s{-1, -1};
        if (at != std::string::npos && std::sscanf(line.c_str() + at, "size=%dx%d", &s.first, &s.second) == 2)
            sizes.push_back(s);
    }
    return sizes;
}

std::string str(const std::vector<Size> &sizes) {
    std::string out;
    for (const Size &s : sizes) out += std::to_string(s.first) + "x" + std::to_string(s.second) + " ";
    return out;
}

size_t count(const std::string &text, const std::string &word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

// Without a network card SeaBIOS alone runs; with one iPXE starts too.
class QemuBoot : public ::testing::TestWithParam<bool> {};

TEST_P(QemuBoot, ScreensAndModeSwitchesEqualScreendump) {
    TempDir dir;
    Qemu qemu;
    std::string err;
    QemuOptions opts;
    opts.paused = true;  // so that the first mode switch happens with the client watching
    opts.nic = GetParam();
    ASSERT_TRUE(qemu.start(dir.path(), "quenvira-boot", &err, opts)) << err;
    ClientPtr client(vnc_create());
    vnc_client_t *c = client.get();
    ASSERT_EQ(vnc_connect(c, "127.0.0.1", qemu.port(), nullptr), 0) << vnc_last_error();
    std::vector<Size> seen;
    auto record = [&] {
        const Size s = dimensions(c);
        if (s.first > 0 && (seen.empty() || seen.back() != s)) seen.push_back(s);
    };
    Image screen;
    EXPECT_EQ(stable_match(c, qemu, &screen, record), "") << "before the firmware runs";

    ASSERT_TRUE(qemu.qmp("cont", "", &err)) << err;
    // SeaBIOS switches to text mode: wait for a size other than the first.
    const Size first = seen.empty() ? Size{} : seen.front();
    EXPECT_TRUE(wait_until(
        [&] {
            record();
            return seen.size() >= 2;
        },
        Millis(20000), Millis(5)))
        << "no resize followed; QEMU sent " << str(traced_resizes(qemu.trace()));
    // Several still moments of the boot, each after the screen moved on
    // (more text, or the text cursor blinking).
    const int kMoments = 8;
    for (int i = 0; i < kMoments; ++i) {
        SCOPED_TRACE("still moment " + std::to_string(i));
        if (i > 0) {
            EXPECT_TRUE(wait_until(
                [&] {
                    record();
                    Image now;
                    return qemu.screendump(&now, &err) && compare(now, screen).count != 0;
                },
                Millis(10000)))
                << "the screen never changed";
        }
        ASSERT_EQ(stable_match(c, qemu, &screen, record), "");
        EXPECT_GT(screen.distinct_colours(), 1u) << "no text on the screen";
    }
    EXPECT_EQ(seen.back(), Size(screen.width, screen.height)) << str(seen);
    EXPECT_NE(seen.back(), first) << str(seen);
    // Every size QEMU announced after the first picture is one the handle
    // went through, in order.
    const std::vector<Size> sent = traced_resizes(qemu.trace());
    std::vector<Size> sent_after;
    for (const Size &s : sent)
        if (sent_after.empty() ? s != first : sent_after.back() != s) sent_after.push_back(s);
    const std::vector<Size> seen_after(seen.begin() + 1, seen.end());
    EXPECT_EQ(str(seen_after), str(sent_after)) << "QEMU sent " << str(sent);
    RecordProperty("sizes", str(seen));

    // The same screen through each encoding; each client closes cleanly
    // (QEMU sees the end of its stream, no reset) and the next gets in.
    const char *const offers[] = {"zrle", "hextile", "rre", "copyrect,raw", "raw", "tight"};
    ASSERT_EQ(vnc_disconnect(c), 0);
    for (const char *offer : offers) {
        SCOPED_TRACE(offer);
        ClientPtr other(vnc_create());
        ASSERT_EQ(vnc_set_option(other.get(), "encodings", offer), 0);
        ASSERT_EQ(vnc_connect(other.get(), "127.0.0.1", qemu.port(), nullptr), 0) << vnc_last_error();
        EXPECT_EQ(stable_match(other.get(), qemu, &screen), "");
        ASSERT_EQ(vnc_disconnect(other.get()), 0);
        EXPECT_EQ(vnc_get_status(other.get()), VNC_STATUS_DISCONNECTED);
    }
    const size_t clients = sizeof offers / sizeof offers[0] + 1;
    EXPECT_TRUE(wait_until([&] { return count(qemu.trace(), "vnc_client_disconnect_finish") >= clients; },
                           Millis(10000)))
        << tail_lines(qemu.trace(), 20);
    EXPECT_EQ(count(qemu.trace(), "vnc_client_eof"), clients);
    EXPECT_EQ(count(qemu.trace(), "vnc_client_io_error"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Qemu, QemuBoot, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return i.param ? "SeaBiosAndIpxe" : "SeaBios";
                         });

TEST(Qemu, PasswordSetThroughTheMonitor) {
    TempDir dir;
    Qemu qemu;
    std::string err;
    QemuOptions opts;
    opts.password = true;
    ASSERT_TRUE(qemu.start(dir.path(), "quenvira-auth", &err, opts)) << err;
    struct Case {
        const char *set;       // a new password through QMP first, when given
        const char *password;  // what the client gives
        bool ok;
    };
    // Until a password is set QEMU lets no one in.
    const Case cases[] = {{nullptr, "qvpass12", false}, {"qvpass12", "qvpass13", false},
                          {nullptr, nullptr, false},     {nullptr, "qvpass12", true},
                          {nullptr, "qvpass12", true},   {"other-pw", "qvpass12", false},
                          {nullptr, "other-pw", true}};
    size_t passes = 0, fails = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.password ? k.password : "(none)") + (k.ok ? " in" : " out"));
        if (k.set) {
            ASSERT_TRUE(qemu.qmp("change-vnc-password", std::string("{\"password\": \"") + k.set + "\"}", &err))
                << err;
        }
        ClientPtr c(vnc_create());
        const int rc = vnc_connect(c.get(), "127.0.0.1", qemu.port(), k.password);
        // Every client meets the challenge (one without a password answers
        // it with an empty one).
        ++(k.ok ? passes : fails);
        if (!k.ok) {
            EXPECT_EQ(rc, -1);
            // QEMU's reason ends in a NUL of its own, which is not kept.
            char reason[256] = {0};
            vnc_get_end_reason(c.get(), reason, sizeof reason);
            EXPECT_STREQ(reason, "VNC Authentication failed: Authentication failed (SecurityResult 1)");
            continue;
        }
        ASSERT_EQ(rc, 0) << vnc_last_error();
        Image screen;
        EXPECT_EQ(stable_match(c.get(), qemu, &screen), "");
        EXPECT_EQ(vnc_disconnect(c.get()), 0);
    }
    // QEMU's own count of what it let in and what it turned away.
    EXPECT_TRUE(wait_until([&] { return count(qemu.trace(), "vnc_auth_fail") >= fails; }, Millis(5000)));
    EXPECT_EQ(count(qemu.trace(), "vnc_auth_pass"), passes);
    EXPECT_EQ(count(qemu.trace(), "vnc_auth_fail"), fails) << tail_lines(qemu.trace(), 20);
}

}  // namespace
