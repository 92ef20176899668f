// vnc-view's window placement (tools/view_frame.h): the window lands on
// the usable screen area.
#include <gtest/gtest.h>

#include "view_frame.h"

namespace {

using qv_view::borders;
using qv_view::rect;

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

}  // namespace
