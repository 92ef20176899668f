// CopyRect: overlapping moves in every direction, the four bounds checks,
// and that the stream stays in step when a copy is refused.
#include <gtest/gtest.h>

#include "decode_harness.h"

namespace {

// Framebuffer content where every pixel differs from every other.
void paint_distinct(guarded_fb &fb) {
    for (int y = 0; y < fb.height(); ++y)
        for (int x = 0; x < fb.width(); ++x)
            fb.at(x, y) = 0xFF000000u | static_cast<uint32_t>(y << 12 | x);
}

// The result of copying through a separate buffer.
enc::image copied(const enc::image &before, int sx, int sy, int x, int y, int w, int h) {
    return paste(before, before.crop(sx, sy, w, h), x, y);
}

struct move {
    const char *what;
    int sx, sy, x, y, w, h;
};

}  // namespace

TEST(CopyRect, OverlappingMovesEqualCopyThroughBuffer) {
    const move moves[] = {
        {"down one row", 3, 2, 3, 3, 10, 6},       {"up one row", 3, 3, 3, 2, 10, 6},
        {"right one column", 2, 4, 3, 4, 9, 5},    {"left one column", 3, 4, 2, 4, 9, 5},
        {"diagonal down-right", 1, 1, 3, 2, 8, 7}, {"diagonal up-left", 3, 2, 1, 1, 8, 7},
        {"onto itself", 5, 5, 5, 5, 4, 4},         {"disjoint", 0, 0, 12, 8, 4, 4},
        {"whole framebuffer", 0, 0, 0, 0, 16, 12},
    };
    for (const move &m : moves) {
        SCOPED_TRACE(m.what);
        guarded_fb fb(16, 12);
        paint_distinct(fb);
        const enc::image want = copied(fb.snapshot(), m.sx, m.sy, m.x, m.y, m.w, m.h);
        const decode_run r =
            run_decoder(decode_copyrect_rect, &fb, enc::copyrect(m.sx, m.sy), m.x, m.y, m.w, m.h);
        EXPECT_EQ(0, r.rc);
        EXPECT_EQ(4u, r.consumed);
        EXPECT_TRUE(same_image(want, fb.snapshot()));
        EXPECT_TRUE(fb.guards_intact());
    }
}

// Each of the four bounds tests refuses the copy by one pixel, leaves the
// framebuffer alone and consumes exactly the 4 payload bytes; touching the
// edge exactly is allowed.
TEST(CopyRect, AreasLeavingFramebufferAreRefusedInStep) {
    const move refused[] = {
        {"source right", 13, 0, 0, 0, 4, 2},           {"source bottom", 0, 11, 0, 0, 2, 2},
        {"destination right", 0, 0, 13, 0, 4, 2},      {"destination bottom", 0, 0, 0, 11, 2, 2},
        {"source far away", 65535, 65535, 0, 0, 1, 1},
    };
    for (const move &m : refused) {
        SCOPED_TRACE(m.what);
        guarded_fb fb(16, 12);
        paint_distinct(fb);
        const enc::image before = fb.snapshot();
        const decode_run r =
            run_decoder(decode_copyrect_rect, &fb, concat({enc::copyrect(m.sx, m.sy), kMarker}),
                        m.x, m.y, m.w, m.h);
        EXPECT_EQ(-1, r.rc);
        EXPECT_EQ(4u, r.consumed) << "the next header must be read from the marker";
        EXPECT_TRUE(same_image(before, fb.snapshot()));
        EXPECT_TRUE(fb.guards_intact());
    }
    const move edge[] = {{"source at right edge", 12, 0, 0, 0, 4, 2},
                         {"destination at bottom edge", 0, 0, 0, 10, 2, 2}};
    for (const move &m : edge) {
        SCOPED_TRACE(m.what);
        guarded_fb fb(16, 12);
        paint_distinct(fb);
        const enc::image want = copied(fb.snapshot(), m.sx, m.sy, m.x, m.y, m.w, m.h);
        EXPECT_EQ(
            0, run_decoder(decode_copyrect_rect, &fb, enc::copyrect(m.sx, m.sy), m.x, m.y, m.w, m.h)
                   .rc);
        EXPECT_TRUE(same_image(want, fb.snapshot()));
    }
}

TEST(CopyRect, RectanglesAfterARefusedOneDecode) {
    guarded_fb fb(8, 8);
    paint_distinct(fb);
    const enc::image before = fb.snapshot();
    stream_runner s(concat({enc::copyrect(7, 0), enc::copyrect(0, 0)}), &fb);
    EXPECT_EQ(-1, s.next(decode_copyrect_rect, 0, 0, 2, 2));
    EXPECT_EQ(0, s.next(decode_copyrect_rect, 4, 4, 2, 2));
    EXPECT_EQ(0u, s.left());
    EXPECT_TRUE(same_image(copied(before, 0, 0, 4, 4, 2, 2), fb.snapshot()));
}

TEST(CopyRect, ShortPayloadFails) {
    guarded_fb fb(8, 8);
    EXPECT_EQ(kDecodeBroken, run_decoder(decode_copyrect_rect, &fb, {0, 1, 0}, 0, 0, 1, 1).rc);
}

TEST(CopyRect, EmptyAreaOrNoFramebufferCopiesNothing) {
    guarded_fb fb(8, 8);
    paint_distinct(fb);
    const enc::image before = fb.snapshot();
    EXPECT_EQ(0, run_decoder(decode_copyrect_rect, &fb, enc::copyrect(1, 1), 0, 0, 0, 5).rc);
    EXPECT_EQ(0, run_decoder(decode_copyrect_rect, &fb, enc::copyrect(1, 1), 0, 0, 5, 0).rc);
    EXPECT_TRUE(same_image(before, fb.snapshot()));
    // Without a framebuffer the payload is still consumed.
    const decode_run r = run_decoder(decode_copyrect_rect, nullptr,
                                     concat({enc::copyrect(0, 0), kMarker}), 0, 0, 0, 0);
    EXPECT_EQ(4u, r.consumed);
}
