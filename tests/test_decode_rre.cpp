// RRE: round trips, plain fills, clipping at the framebuffer's edges, and
// that every subrectangle is consumed whatever is visible.
#include <gtest/gtest.h>

#include "decode_harness.h"

TEST(Rre, EncodedPicturesRoundTrip) {
    struct place {
        int fb_w, fb_h, x, y, w, h;
    } places[] = {{40, 30, 3, 4, 30, 20}, {40, 30, 0, 0, 40, 30}, {64, 8, 10, 1, 1, 7}};
    uint32_t seed = 1;
    for (const place &p : places) {
        SCOPED_TRACE(testing::Message() << p.w << "x" << p.h << " at " << p.x << "," << p.y);
        guarded_fb fb(p.fb_w, p.fb_h);
        const enc::image pic = test_picture(p.w, p.h, seed++);
        const enc::image want = paste(fb.snapshot(), pic, p.x, p.y);
        const enc::bytes payload = enc::rre_encode(pic);
        const decode_run r = run_decoder(decode_rre_rect, &fb, payload, p.x, p.y, p.w, p.h);
        EXPECT_EQ(0, r.rc);
        EXPECT_EQ(payload.size(), r.consumed);
        EXPECT_TRUE(same_image(want, fb.snapshot()));
        EXPECT_TRUE(fb.guards_intact());
    }
}

TEST(Rre, NoSubrectanglesIsPlainFill) {
    guarded_fb fb(10, 10);
    const decode_run r =
        run_decoder(decode_rre_rect, &fb, concat({enc::rre(0xFF112233, {}), kMarker}), 2, 3, 5, 4);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(8u, r.consumed);
    EXPECT_TRUE(same_image(paste(guarded_fb(10, 10).snapshot(), enc::image(5, 4, 0xFF112233), 2, 3),
                           fb.snapshot()));
}

// A subrectangle reaching past its rectangle is cut there, also inside the
// framebuffer (only the rectangle is handed to the host), and does not spill
// into the next row.
TEST(Rre, SubrectanglesAreCutToTheirRectangle) {
    guarded_fb fb(12, 8);
    const enc::bytes payload =
        enc::rre(0xFF000001,
                 {{0xFF0000AA, 2, 1, 100, 2}, {0xFF0000BB, 5, 0, 3, 1}, {0xFF0000CC, 2, 0, 1, 1}});
    const decode_run r = run_decoder(decode_rre_rect, &fb, concat({payload, kMarker}), 4, 2, 4, 2);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(payload.size(), r.consumed);
    enc::image want = paste(guarded_fb(12, 8).snapshot(), enc::image(4, 2, 0xFF000001), 4, 2);
    want = paste(want, enc::image(2, 1, 0xFF0000AA), 6, 3);  // columns 6, 7 of row 3 only
    want.at(6, 2) = 0xFF0000CC;  // and none of the one beside the rectangle
    EXPECT_TRUE(same_image(want, fb.snapshot()));
    EXPECT_TRUE(fb.guards_intact());
}

// Rectangles partly or wholly outside: the visible part is drawn, nothing
// else, and all subrectangles are consumed.
TEST(Rre, RectanglesOutsideFramebufferAreClippedInStep) {
    struct place {
        int x, y, w, h;
    } places[] = {{6, 5, 20, 20}, {50, 0, 4, 4}, {0, 60, 4, 4}, {65535, 65535, 65535, 65535}};
    for (const place &p : places) {
        SCOPED_TRACE(testing::Message() << p.x << "," << p.y);
        guarded_fb fb(8, 7);
        const enc::bytes payload =
            enc::rre(0xFF000010, {{0xFF000020, 1, 1, 1, 1}, {0xFF000030, 0, 0, 2, 1}});
        const decode_run r =
            run_decoder(decode_rre_rect, &fb, concat({payload, kMarker}), p.x, p.y, p.w, p.h);
        EXPECT_EQ(0, r.rc);
        EXPECT_EQ(payload.size(), r.consumed);
        // Only the first 64 x 64 pixels can ever reach this framebuffer.
        const enc::image bg(std::min(p.w, 64), std::min(p.h, 64), 0xFF000010);
        enc::image want = paste(guarded_fb(8, 7).snapshot(), bg, p.x, p.y);
        want = paste(want, enc::image(1, 1, 0xFF000020), p.x + 1, p.y + 1);
        want = paste(want, enc::image(2, 1, 0xFF000030), p.x, p.y);
        EXPECT_TRUE(same_image(want, fb.snapshot()));
        EXPECT_TRUE(fb.guards_intact());
    }
}

TEST(Rre, TruncatedListKeepsEarlierSubrectanglesAndFails) {
    guarded_fb fb(10, 10);
    enc::bytes payload = enc::rre(0xFF000001, {{0xFF000002, 0, 0, 1, 1}, {0xFF000003, 1, 1, 1, 1}});
    payload.resize(payload.size() - 3);
    EXPECT_EQ(kDecodeBroken, run_decoder(decode_rre_rect, &fb, payload, 0, 0, 4, 4).rc);
    EXPECT_EQ(0xFF000002u, fb.at(0, 0));
    EXPECT_EQ(0xFF000001u, fb.at(1, 1)) << "the cut subrectangle is not drawn";
    // A count far beyond the data fails at the end of the data.
    enc::bytes huge = enc::rre(0xFF000001, {{0xFF000002, 0, 0, 1, 1}});
    huge[0] = huge[1] = huge[2] = huge[3] = 0xFF;
    EXPECT_EQ(kDecodeBroken, run_decoder(decode_rre_rect, &fb, huge, 0, 0, 4, 4).rc);
    EXPECT_EQ(kDecodeBroken, run_decoder(decode_rre_rect, &fb, {0, 0, 0}, 0, 0, 4, 4).rc)
        << "short header";
}

TEST(Rre, NoFramebufferStillConsumesEverySubrectangle) {
    const enc::bytes payload = enc::rre(1, {{2, 0, 0, 1, 1}, {3, 5, 5, 9, 9}, {4, 1, 1, 1, 1}});
    const decode_run r =
        run_decoder(decode_rre_rect, nullptr, concat({payload, kMarker}), 0, 0, 10, 10);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(payload.size(), r.consumed);
}

TEST(Rre, ClearedRunFlagStopsLongList) {
    std::vector<enc::rect_fill> many(1000, {5, 0, 0, 1, 1});
    std::atomic<int> running{0};
    decode_setup setup;
    setup.running = &running;
    guarded_fb fb(4, 4);
    EXPECT_EQ(kDecodeBroken,
              run_decoder(decode_rre_rect, &fb, enc::rre(1, many), 0, 0, 4, 4, setup).rc);
}
