// Changes on a real server's screen while the client is connected, with the
// library's own encoding list: scrolling text, and screen resizes that the
// server announces with DesktopSize.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "interop_client.h"
#include "interop_peers.h"
#include "interop_session.h"

namespace {

using namespace interop;

const Millis kUpdateTimeout(20000);

class Changes : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure())
            std::cerr << "---- server log (tail) ----\n" << peers_.server_log_tail() << "\n";
    }
    int display() const { return peers_.display(); }

    // Connects with the given list (empty: the library's) and waits for the
    // first full picture.
    ClientPtr connect_and_match(const std::vector<int32_t> &list, Image *screen) {
        ClientPtr c = make_client(list);
        EXPECT_EQ(vnc_connect(c.get(), "127.0.0.1", peers_.port(), nullptr), 0) << vnc_last_error();
        const Match m = wait_screen_match(c.get(), display(), kUpdateTimeout);
        EXPECT_TRUE(m.ok) << "first update: " << m.str();
        *screen = m.screen;
        return c;
    }

    PeerSession peers_;
};

class ScrollingText : public Changes, public ::testing::WithParamInterface<ServerKind> {};

TEST_P(ScrollingText, FramebufferFollowsATerminalThatScrolls) {
    constexpr int kW = 480, kH = 360;
    std::string err;
    ASSERT_TRUE(peers_.start_server(GetParam(), kW, kH, &err)) << err;
    ASSERT_TRUE(show_on_root(display(), picture_file(Picture::kPhoto, kW, kH), &err)) << err;
    const size_t log_start = peers_.server().server_log().size();
    Image before;
    ClientPtr c = connect_and_match({}, &before);
    ASSERT_FALSE(HasFailure());

    // The terminal prints more lines than it has rows, one at a time, then
    // leaves a mark and stays.
    const std::string mark = peers_.dir().file("scrolled");
    peers_.start_x_client(
        {"xterm", "-fa", "DejaVu Sans Mono", "-fs", "9", "-geometry", "46x12+24+30", "-bg",
         "#102030", "-fg", "#e0f0c0", "-e", "sh", "-c",
         "i=0; while [ $i -lt 60 ]; do i=$((i+1)); echo \"line $i of scrolling text\"; "
         "sleep 0.02; done; : > '" +
             mark + "'; exec sleep 600"});
    ASSERT_FALSE(peers_.find_window("xterm").empty()) << "xterm never showed";
    ASSERT_TRUE(wait_until([&] { return access(mark.c_str(), F_OK) == 0; }, Millis(20000)))
        << "the terminal never finished printing";
    EXPECT_EQ(
        await_change(c.get(), display(), &before, kUpdateTimeout, peers_.dir().file("mismatch")),
        "");
    EXPECT_GT(before.distinct_colours(), 1000u);

    ASSERT_EQ(vnc_disconnect(c.get()), 0);
    if (GetParam() == ServerKind::kXvnc) {
        // Xvnc scrolls by copying, so the copies reached the client as well.
        const auto sent = peers_.server().encodings_reported(log_start, Millis(5000));
        EXPECT_TRUE(sent.count("copyrect")) << "Xvnc sent no CopyRect while the text scrolled";
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, ScrollingText,
                         ::testing::Values(ServerKind::kXvnc, ServerKind::kX11vnc),
                         [](const ::testing::TestParamInfo<ServerKind> &i) {
                             return std::string(i.param == ServerKind::kXvnc ? "Xvnc" : "X11vnc");
                         });

// Xvnc resized with xrandr: the client's framebuffer takes the new size, the
// whole new area is reported dirty, and the pixels follow.
class DesktopSize : public Changes, public ::testing::WithParamInterface<bool> {};

TEST_P(DesktopSize, FramebufferFollowsXrandr) {
    const std::vector<int32_t> list =
        GetParam() ? std::vector<int32_t>{} : std::vector<int32_t>{enc::kRaw, enc::kDesktopSize};
    std::string err;
    ASSERT_TRUE(peers_.start_server(ServerKind::kXvnc, 640, 480, &err)) << err;
    ASSERT_TRUE(show_on_root(display(), picture_file(Picture::kPhoto, 640, 480), &err)) << err;
    Image before;
    ClientPtr c = connect_and_match(list, &before);
    ASSERT_FALSE(HasFailure());

    struct Step {
        int w, h;
    };
    for (const Step s : {Step{800, 600}, Step{1024, 768}, Step{640, 480}}) {
        SCOPED_TRACE("resized to " + std::to_string(s.w) + "x" + std::to_string(s.h));
        const std::string mode = std::to_string(s.w) + "x" + std::to_string(s.h);
        const CommandResult r = x_tool(display(), {"xrandr", "-s", mode});
        ASSERT_EQ(r.exit_code, 0) << r.err;

        DirtyLog log;
        int w = 0, h = 0;
        ASSERT_TRUE(wait_until(
            [&] {
                log.poll(c.get());
                return vnc_get_dimensions(c.get(), &w, &h) == 0 && w == s.w && h == s.h;
            },
            kUpdateTimeout))
            << "framebuffer stayed " << w << "x" << h;
        const Match m = wait_screen_match(c.get(), display(), kUpdateTimeout, &log);
        if (!m.ok) m.save(peers_.dir().file("mismatch"));
        ASSERT_TRUE(m.ok) << m.str();
        EXPECT_EQ(log.uncovered(Rect{0, 0, s.w, s.h}), 0) << log.str();
        // The last dirty rectangle lies inside the new framebuffer.
        EXPECT_LE(log.rects().back().x + log.rects().back().w, s.w);
        EXPECT_LE(log.rects().back().y + log.rects().back().h, s.h);
    }
    EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_CONNECTED);
}

INSTANTIATE_TEST_SUITE_P(Lists, DesktopSize, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return std::string(i.param ? "LibraryList" : "RawOnly");
                         });

}  // namespace
