// vnc-view's window placement and its scaler (tools/view_frame.h): the
// window lands on the usable screen area, and a changed area scaled on its
// own matches a whole redraw, so partial updates leave no stale pixels.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "view_frame.h"

namespace {

using qv_view::borders;
using qv_view::rect;
using qv_view::scaler;

void expect_rect(const rect &got, const rect &want) {
    EXPECT_EQ(got.x, want.x);
    EXPECT_EQ(got.y, want.y);
    EXPECT_EQ(got.w, want.w);
    EXPECT_EQ(got.h, want.h);
}

TEST(ViewFrame, WindowIsPlacedOnTheUsableArea) {
    const rect screen{0, 0, 1600, 1000};
    const rect first{480, 260, 640, 480};  // the 640 x 480 window SDL centred
    struct row {
        const char *what;
        rect usable;
        borders b;
        rect at;
        int w, h;
        bool scale;
        rect want;
    } table[] = {
        {"fits: grows about its centre", screen, {}, first, 1280, 800, true, {160, 100, 1280, 800}},
        {"too big, scaled", screen, {}, first, 1920, 1200, true, {0, 0, 1600, 1000}},
        {"too big, 1:1 is cut", screen, {}, first, 1920, 1080, false, {0, 0, 1600, 1000}},
        {"panel and decorations", {0, 24, 1600, 976}, {30, 2, 2, 2}, first, 1920, 1080, true,
         {2, 54, 1596, 897}},
        {"pushed back from the corner", screen, {}, {1500, 900, 100, 100}, 800, 600, true,
         {800, 400, 800, 600}},
        {"off the left edge, frame kept on", screen, {20, 5, 5, 5}, {-200, 300, 100, 100}, 400, 300,
         true, {5, 200, 400, 300}},
        {"second monitor", {1600, 0, 1920, 1080}, {}, {1700, 100, 640, 480}, 1280, 800, true,
         {1600, 0, 1280, 800}},
        {"area unknown", {}, {}, first, 1920, 1200, true, {-160, -100, 1920, 1200}},
    };
    for (const row &r : table) {
        SCOPED_TRACE(r.what);
        expect_rect(qv_view::place_window(r.usable, r.b, r.at, r.w, r.h, r.scale), r.want);
    }
}

TEST(ViewFrame, ScalesLikeLinearFiltering) {
    // Two pixels onto four: the samples sit at 1/4 steps between them.
    const std::vector<uint32_t> src = {0x000000, 0xffffff};
    std::vector<uint32_t> out(4);
    scaler s;
    s.set(2, 1, 4, 1);
    s.draw(src.data(), 2, out.data(), 4, rect{0, 0, 4, 1});
    EXPECT_EQ(out, (std::vector<uint32_t>{0x000000, 0x3f3f3f, 0xbfbfbf, 0xffffff}));
}

TEST(ViewFrame, ChangedAreaRedrawnAloneMatchesAWholeRedraw) {
    const int sw = 97, sh = 61;
    std::mt19937 rng(5);
    std::vector<uint32_t> src(sw * sh);
    for (uint32_t &p : src) p = rng() & 0xffffff;
    for (const auto &dst : {std::pair<int, int>{250, 157}, {40, 25}, {97, 61}, {300, 7}}) {
        const int dw = dst.first, dh = dst.second;
        SCOPED_TRACE(std::to_string(dw) + "x" + std::to_string(dh));
        scaler s;
        s.set(sw, sh, dw, dh);
        std::vector<uint32_t> shown(dw * dh), whole(dw * dh);
        std::vector<uint32_t> now = src;
        s.draw(now.data(), sw, shown.data(), dw, rect{0, 0, dw, dh});
        for (int round = 0; round < 40; ++round) {
            const int x = int(rng() % sw), y = int(rng() % sh);
            const rect changed{x, y, 1 + int(rng() % (sw - x)) / (round % 4 + 1),
                               1 + int(rng() % (sh - y)) / (round % 4 + 1)};
            for (int yy = changed.y; yy < changed.y + changed.h; ++yy)
                for (int xx = changed.x; xx < changed.x + changed.w; ++xx)
                    now[yy * sw + xx] = rng() & 0xffffff;
            const rect touched = s.touched_by(changed);
            s.draw(now.data(), sw, shown.data() + touched.y * dw + touched.x, dw, touched);
            s.draw(now.data(), sw, whole.data(), dw, rect{0, 0, dw, dh});
            ASSERT_EQ(shown, whole) << "round " << round;
        }
        // A single pixel touches the outputs sampling within a pixel of
        // it, not the whole picture.
        const rect one = s.touched_by(rect{sw / 2, sh / 2, 1, 1});
        EXPECT_LE(one.w, 2 * dw / sw + 2);
        EXPECT_LE(one.h, 2 * dh / sh + 2);
    }
}

}  // namespace
