// Pixels from real servers: for every encoding the client decodes, forced
// through the encoding list, the framebuffer must equal the X server's own
// screen (xwd) pixel for pixel after the first update and after every change
// made while connected, the dirty rectangles must cover each change, and the
// server must confirm in its log that it really sent that encoding.
//
// Lists announced (DesktopSize always included):
//   ZRLE      16, -223        Hextile   5, -223       RRE   2, -223
//   CopyRect  1, 0, -223      Raw       0, -223       Tight 7, -223, -224
// Raw needs no place in a list (servers fall back to it anyway), except
// beside CopyRect, which alone cannot carry new pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "interop_client.h"
#include "interop_peers.h"
#include "interop_session.h"

namespace {

using namespace interop;

// Not multiples of 16 or 64, so that edge tiles are partial.
constexpr int kWidth = 500, kHeight = 380;
const Millis kUpdateTimeout(20000);

struct Cell {
    ServerKind server;
    const char *encoding;  // the name the server logs
    std::vector<int32_t> list;
};

void PrintTo(const Cell &c, std::ostream *os) { *os << server_name(c.server) << " " << c.encoding; }

std::string cell_name(const ::testing::TestParamInfo<Cell> &info) {
    return std::string(info.param.server == ServerKind::kXvnc ? "Xvnc_" : "X11vnc_") +
           info.param.encoding;
}

class Pixels : public ::testing::TestWithParam<Cell> {
protected:
    void TearDown() override {
        if (HasFailure())
            std::cerr << "---- server log (tail) ----\n" << peers_.server_log_tail() << "\n";
    }

    // The client shows the screen again after a change, and was told where.
    void expect_change_seen(vnc_client_t *c, Image *before, const std::string &what) {
        const std::string problem =
            await_change(c, display(), before, kUpdateTimeout, peers_.dir().file("mismatch"));
        ASSERT_EQ(problem, "") << what;
    }

    int display() const { return peers_.display(); }
    PeerSession peers_;
};

TEST_P(Pixels, FramebufferEqualsTheScreenThroughEveryChange) {
    const Cell &cell = GetParam();
    std::string err;
    ASSERT_TRUE(peers_.start_server(cell.server, kWidth, kHeight, &err)) << err;
    const std::string photo = picture_file(Picture::kPhoto, kWidth, kHeight);
    const std::string flat = picture_file(Picture::kFlat, kWidth, kHeight);
    ASSERT_FALSE(photo.empty());
    ASSERT_FALSE(flat.empty());
    ASSERT_TRUE(show_on_root(display(), photo, &err)) << err;

    const size_t log_start = peers_.server().server_log().size();
    ClientPtr c = make_client(cell.list);
    ASSERT_EQ(vnc_connect(c.get(), "127.0.0.1", peers_.server().port(), nullptr), 0)
        << vnc_last_error();

    // The first, full update covers the whole screen.
    DirtyLog first;
    Match m = wait_screen_match(c.get(), display(), kUpdateTimeout, &first);
    if (!m.ok) m.save(peers_.dir().file("mismatch"));
    ASSERT_TRUE(m.ok) << "first update: " << m.str();
    EXPECT_GT(m.screen.distinct_colours(), 1000u) << "the picture is not on the screen";
    EXPECT_EQ(first.uncovered(Rect{0, 0, kWidth, kHeight}), 0) << first.str();
    Image before = m.screen;

    // Few colours everywhere: what RRE and the ZRLE palette tiles are for.
    ASSERT_TRUE(show_on_root(display(), flat, &err)) << err;
    ASSERT_NO_FATAL_FAILURE(expect_change_seen(c.get(), &before, "flat picture"));

    // A window appears, moves (a copy for servers that send CopyRect) and goes.
    Process &xlogo = peers_.start_x_client(
        {"xlogo", "-geometry", "150x110+30+40", "-bg", "#f0e0a0", "-fg", "#203080"});
    const std::string win = peers_.find_window("xlogo");
    ASSERT_FALSE(win.empty()) << "xlogo never showed";
    ASSERT_NO_FATAL_FAILURE(expect_change_seen(c.get(), &before, "window appeared"));
    for (const char *pos : {"210 150", "260 90"}) {
        const std::string p(pos);
        const CommandResult r =
            x_tool(display(), {"xdotool", "windowmove", "--sync", win, p.substr(0, p.find(' ')),
                               p.substr(p.find(' ') + 1)});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        ASSERT_NO_FATAL_FAILURE(
            expect_change_seen(c.get(), &before, std::string("window moved to ") + pos));
    }
    xlogo.stop();
    ASSERT_NO_FATAL_FAILURE(expect_change_seen(c.get(), &before, "window closed"));

    EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_CONNECTED);
    ASSERT_EQ(vnc_disconnect(c.get()), 0);
    const std::set<std::string> sent = peers_.server().encodings_reported(log_start, Millis(5000));
    std::string listed;
    for (const auto &s : sent) listed += s + " ";
    EXPECT_TRUE(sent.count(cell.encoding)) << "the server reports sending only: " << listed;
}

const std::vector<int32_t> kZrle = {enc::kZrle, enc::kDesktopSize};
const std::vector<int32_t> kHextile = {enc::kHextile, enc::kDesktopSize};
const std::vector<int32_t> kRre = {enc::kRre, enc::kDesktopSize};
const std::vector<int32_t> kCopyRect = {enc::kCopyRect, enc::kRaw, enc::kDesktopSize};
const std::vector<int32_t> kRaw = {enc::kRaw, enc::kDesktopSize};
const std::vector<int32_t> kTight = {enc::kTight, enc::kDesktopSize, enc::kLastRect};

INSTANTIATE_TEST_SUITE_P(
    Encodings, Pixels,
    // x11vnc sends no CopyRect without a window manager, so it has no such cell.
    ::testing::Values(
        Cell{ServerKind::kXvnc, "zrle", kZrle}, Cell{ServerKind::kXvnc, "hextile", kHextile},
        Cell{ServerKind::kXvnc, "rre", kRre}, Cell{ServerKind::kXvnc, "copyrect", kCopyRect},
        Cell{ServerKind::kXvnc, "raw", kRaw}, Cell{ServerKind::kXvnc, "tight", kTight},
        Cell{ServerKind::kX11vnc, "tight", kTight}, Cell{ServerKind::kX11vnc, "zrle", kZrle},
        Cell{ServerKind::kX11vnc, "hextile", kHextile}, Cell{ServerKind::kX11vnc, "rre", kRre},
        Cell{ServerKind::kX11vnc, "raw", kRaw}),
    cell_name);

// Largest difference of one colour channel, and the mean over all channels.
void channel_diff(const Image &a, const Image &b, int *worst, double *mean) {
    *worst = 0;
    double sum = 0;
    for (size_t i = 0; i < a.px.size() && i < b.px.size(); ++i)
        for (int k = 0; k < 24; k += 8) {
            const int d = std::abs(static_cast<int>(a.px[i] >> k & 0xFF) -
                                   static_cast<int>(b.px[i] >> k & 0xFF));
            *worst = std::max(*worst, d);
            sum += d;
        }
    *mean = a.px.empty() ? 0 : sum / (3.0 * static_cast<double>(a.px.size()));
}

// An Xvnc showing the photo.
void start_photo(PeerSession *peers) {
    std::string err;
    ASSERT_TRUE(peers->start_server(ServerKind::kXvnc, kWidth, kHeight, &err)) << err;
    ASSERT_TRUE(
        show_on_root(peers->display(), picture_file(Picture::kPhoto, kWidth, kHeight), &err))
        << err;
}

// Tight with JPEG (quality 8) is lossy: the photo comes within a stated
// tolerance of the screen (measured: at most 27 a channel, 1.2 on average);
// the flat picture that follows, sent as palette data, exactly.
TEST(TightJpeg, PhotoWithinToleranceThenFlatExact) {
    PeerSession peers;
    ASSERT_NO_FATAL_FAILURE(start_photo(&peers));
    std::string err;
    const size_t log_start = peers.server().server_log().size();
    ClientPtr c = make_client();
    ASSERT_EQ(vnc_set_option(c.get(), "encodings", "tight"), 0) << vnc_last_error();
    if (vnc_set_option(c.get(), "jpeg-quality", "8") != 0) GTEST_SKIP() << vnc_last_error();
    ASSERT_EQ(vnc_connect(c.get(), "127.0.0.1", peers.server().port(), nullptr), 0)
        << vnc_last_error();
    ASSERT_TRUE(wait_until([&] { return vnc_get_update_count(c.get()) >= 1; }, kUpdateTimeout));
    Image screen;
    ASSERT_TRUE(grab_root(peers.display(), &screen, &err)) << err;
    const Match copy = wait_image_match(c.get(), screen, Millis(0));
    ASSERT_EQ(copy.fb.width, kWidth);
    int worst;
    double mean;
    channel_diff(copy.fb, screen, &worst, &mean);
    EXPECT_LE(worst, 64) << "mean " << mean;
    EXPECT_LE(mean, 3.0) << "worst " << worst;
    EXPECT_GT(copy.diff.count, 0) << "no JPEG loss at all: was JPEG used?";

    ASSERT_TRUE(show_on_root(peers.display(), picture_file(Picture::kFlat, kWidth, kHeight), &err))
        << err;
    const Match flat = wait_screen_match(c.get(), peers.display(), kUpdateTimeout);
    EXPECT_TRUE(flat.ok) << flat.str();
    ASSERT_EQ(vnc_disconnect(c.get()), 0);
    EXPECT_TRUE(peers.server().encodings_reported(log_start, Millis(5000)).count("tight (jpeg)"));
}

#ifdef VNC_SNAPSHOT_PATH
// vnc-snapshot --encodings tight writes exactly the screen.
TEST(TightSnapshot, EqualsTheScreen) {
    PeerSession peers;
    ASSERT_NO_FATAL_FAILURE(start_photo(&peers));
    std::string err;
    const std::string png = peers.dir().file("tight.png");
    const CommandResult shot = run_command({VNC_SNAPSHOT_PATH, "-q", "--encodings", "tight",
                                            "127.0.0.1::" + std::to_string(peers.port()), png});
    ASSERT_EQ(shot.exit_code, 0) << shot.err;
    const CommandResult ppm = run_command({"convert", png, "ppm:-"});
    ASSERT_EQ(ppm.exit_code, 0) << ppm.err;
    Image got, screen;
    ASSERT_TRUE(parse_ppm(ppm.out, &got, &err)) << err;
    ASSERT_TRUE(grab_root(peers.display(), &screen, &err)) << err;
    const Diff d = compare(got, screen);
    EXPECT_EQ(d.count, 0) << d.str();
}
#endif

}  // namespace
