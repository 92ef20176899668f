// Input sent through the library arrives at the X server behind a real VNC
// server: pointer position (xdotool getmouselocation), buttons and keys (xev
// on the root window) and clipboard text (the X selections, read by xclip);
// and clipboard text set on the X side reaches the client.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "interop_client.h"
#include "interop_peers.h"
#include "interop_session.h"
#include "vnc_client_internal.h"

namespace {

using namespace interop;

constexpr int kWidth = 400, kHeight = 300;
const Millis kArrival(10000);

class Input : public ::testing::TestWithParam<ServerKind> {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(peers_.start_server(GetParam(), kWidth, kHeight, &err)) << err;
        client_ = make_client();
        ASSERT_EQ(vnc_connect(client_.get(), "127.0.0.1", peers_.port(), nullptr), 0)
            << vnc_last_error();
    }
    void TearDown() override {
        if (HasFailure())
            std::cerr << "---- server log (tail) ----\n" << peers_.server_log_tail() << "\n";
    }

    // Starts xev on the root window and waits until it reports events (a
    // key pressed through the X server's own test extension shows that).
    void start_event_watch() {
        peers_.start_x_client({"xev", "-root", "-event", "keyboard", "-event", "button"},
                              "xev.log");
        ASSERT_TRUE(wait_until(
            [&] {
                x_tool(peers_.display(), {"xdotool", "key", "F12"});
                return read_file(peers_.dir().file("xev.log")).find("F12") != std::string::npos;
            },
            kArrival, Millis(200)))
            << "xev never reported the probe key";
        seen_ = parse_xev(read_file(peers_.dir().file("xev.log"))).size();
    }

    // Events xev reported since the watch was ready, once there are n.
    std::vector<XEvent> wait_events(size_t n) {
        std::vector<XEvent> events;
        wait_until(
            [&] {
                events = parse_xev(read_file(peers_.dir().file("xev.log")));
                events.erase(events.begin(), events.begin() + static_cast<long>(seen_));
                return events.size() >= n;
            },
            kArrival, Millis(50));
        return events;
    }

    std::string pointer_location() {
        const CommandResult r = x_tool(peers_.display(), {"xdotool", "getmouselocation"});
        int x = -1, y = -1;
        std::sscanf(r.out.c_str(), "x:%d y:%d", &x, &y);
        return std::to_string(x) + "," + std::to_string(y);
    }

    std::string selection(const char *which) {
        return x_tool(peers_.display(), {"xclip", "-o", "-selection", which}).out;
    }

    // The root window's first cut buffer, the older home of clipboard text.
    std::string cut_buffer() {
        const std::string out =
            x_tool(peers_.display(), {"xprop", "-root", "-notype", "CUT_BUFFER0"}).out;
        const size_t a = out.find('"'), b = out.rfind('"');
        return a != std::string::npos && b > a ? out.substr(a + 1, b - a - 1) : std::string();
    }

    PeerSession peers_;
    ClientPtr client_;
    size_t seen_ = 0;
};

TEST_P(Input, PointerMovesArrive) {
    vnc_client_t *c = client_.get();
    for (const auto &p : {std::make_pair(123, 77), std::make_pair(301, 222), std::make_pair(0, 0),
                          std::make_pair(kWidth - 1, kHeight - 1)}) {
        const std::string want = std::to_string(p.first) + "," + std::to_string(p.second);
        ASSERT_EQ(vnc_send_pointer(c, p.first, p.second, 0), 0);
        std::string at;
        EXPECT_TRUE(wait_until([&] { return (at = pointer_location()) == want; }, kArrival))
            << "pointer at " << at << ", sent " << want;
    }
}

TEST_P(Input, ButtonsArriveWithTheirPosition) {
    ASSERT_NO_FATAL_FAILURE(start_event_watch());
    vnc_client_t *c = client_.get();
    // Bit 0 is the first button, bit 2 the third.
    ASSERT_EQ(vnc_send_pointer(c, 200, 150, 0), 0);
    ASSERT_EQ(vnc_send_pointer(c, 200, 150, 1), 0);
    ASSERT_EQ(vnc_send_pointer(c, 200, 150, 0), 0);
    ASSERT_EQ(vnc_send_pointer(c, 50, 60, 0), 0);
    ASSERT_EQ(vnc_send_pointer(c, 50, 60, 4), 0);
    ASSERT_EQ(vnc_send_pointer(c, 50, 60, 0), 0);

    const std::vector<XEvent> ev = wait_events(4);
    ASSERT_EQ(ev.size(), 4u);
    const char *types[] = {"ButtonPress", "ButtonRelease", "ButtonPress", "ButtonRelease"};
    const int buttons[] = {1, 1, 3, 3};
    const int xs[] = {200, 200, 50, 50}, ys[] = {150, 150, 60, 60};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE("event " + std::to_string(i));
        EXPECT_EQ(ev[i].type, types[i]);
        EXPECT_EQ(ev[i].button, buttons[i]);
        EXPECT_EQ(ev[i].root_x, xs[i]);
        EXPECT_EQ(ev[i].root_y, ys[i]);
    }
}

TEST_P(Input, KeysArriveAsTheirKeysyms) {
    ASSERT_NO_FATAL_FAILURE(start_event_watch());
    vnc_client_t *c = client_.get();
    const uint32_t q = 0x71, ret = 0xff0d, shift = 0xffe1, big_a = 0x41;
    ASSERT_EQ(vnc_send_key(c, q, 1), 0);
    ASSERT_EQ(vnc_send_key(c, q, 0), 0);
    ASSERT_EQ(vnc_send_key(c, ret, 7), 0);  // any non-zero value presses
    ASSERT_EQ(vnc_send_key(c, ret, 0), 0);
    ASSERT_EQ(vnc_send_key(c, shift, 1), 0);
    ASSERT_EQ(vnc_send_key(c, big_a, 1), 0);
    ASSERT_EQ(vnc_send_key(c, big_a, 0), 0);
    ASSERT_EQ(vnc_send_key(c, shift, 0), 0);

    const std::vector<XEvent> ev = wait_events(8);
    ASSERT_EQ(ev.size(), 8u);
    const char *types[] = {"KeyPress", "KeyRelease", "KeyPress",   "KeyRelease",
                           "KeyPress", "KeyPress",   "KeyRelease", "KeyRelease"};
    const unsigned syms[] = {q, q, ret, ret, shift, big_a, big_a, shift};
    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE("event " + std::to_string(i));
        EXPECT_EQ(ev[i].type, types[i]);
        EXPECT_EQ(ev[i].keysym, syms[i]);
    }
}

TEST_P(Input, ClipboardTextReachesTheServer) {
    if (GetParam() == ServerKind::kX0vncserver)
        GTEST_SKIP() << "x0vncserver 1.12 passes no clipboard text between its clients and the X display";
    const std::string text = "quenvira clipboard 42";
    ASSERT_EQ(vnc_send_client_cut_text(client_.get(), text.data(), static_cast<int>(text.size())),
              0);
    // Xvnc owns the selections with it; x11vnc puts it into the cut buffer.
    std::string clip, primary, buffer;
    EXPECT_TRUE(wait_until(
        [&] {
            clip = selection("clipboard");
            primary = selection("primary");
            buffer = cut_buffer();
            return clip == text || primary == text || buffer == text;
        },
        kArrival, Millis(100)))
        << "CLIPBOARD \"" << clip << "\", PRIMARY \"" << primary << "\", CUT_BUFFER0 \"" << buffer
        << "\"";
}

TEST_P(Input, ClipboardTextFromTheServerIsKept) {
    if (GetParam() == ServerKind::kX0vncserver)
        GTEST_SKIP() << "x0vncserver 1.12 passes no clipboard text between its clients and the X display";
    // The server is serving the client once the first picture has arrived.
    const Match m = wait_screen_match(client_.get(), peers_.display(), Millis(20000));
    ASSERT_TRUE(m.ok) << m.str();
    auto kept_text = [&] {
        vnc_client_t *c = client_.get();
        std::lock_guard<std::mutex> guard(c->info_lock);
        return c->cut_text ? std::string(c->cut_text, c->cut_text_len) : std::string();
    };
    std::string text = "from the X side", kept;
    if (GetParam() == ServerKind::kXvnc) {
        // Xvnc watches the selections; xclip stays in the foreground as
        // the owner of CLIPBOARD.
        const std::string file = peers_.dir().file("clip.txt");
        ASSERT_TRUE(write_file(file, text));
        peers_.start_x_client({"xclip", "-quiet", "-selection", "clipboard", "-i", file},
                              "xclip.log");
        EXPECT_TRUE(wait_until([&] { return (kept = kept_text()) == text; }, kArrival, Millis(50)))
            << "cut text kept: \"" << kept << "\"";
        return;
    }
    // x11vnc watches the cut buffer, but may miss a change made while it
    // is still settling in with a new client: each round sets a new text,
    // and the one set last must arrive.
    bool arrived = false;
    for (int round = 1; round <= 6 && !arrived; ++round) {
        text = "from the X side, round " + std::to_string(round);
        const CommandResult r = x_tool(peers_.display(), {"xprop", "-root", "-f", "CUT_BUFFER0",
                                                          "8s", "-set", "CUT_BUFFER0", text});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        arrived =
            wait_until([&] { return (kept = kept_text()) == text; }, Millis(2000), Millis(50));
    }
    EXPECT_TRUE(arrived) << "cut text kept: \"" << kept << "\", last set: \"" << text << "\"";
}

INSTANTIATE_TEST_SUITE_P(Servers, Input,
                         ::testing::Values(ServerKind::kXvnc, ServerKind::kX11vnc,
                                           ServerKind::kX0vncserver),
                         [](const ::testing::TestParamInfo<ServerKind> &i) {
                             std::string name = server_name(i.param);
                             name[0] = static_cast<char>(std::toupper(name[0]));
                             return name;
                         });

}  // namespace
