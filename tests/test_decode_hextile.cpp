// Hextile: tile geometry, background/foreground carried from tile to tile,
// subrectangles cut to their tile, clipping at the framebuffer, truncation.
#include <gtest/gtest.h>

#include "decode_harness.h"

namespace {

enc::hextile_tile solid_tile(uint32_t bg) {
    enc::hextile_tile t;
    t.background = bg;
    return t;
}

// Tile origins and sizes of a w x h rectangle, in decoding order.
struct tile_geom {
    int x, y, w, h;
};
std::vector<tile_geom> tiles_of(int w, int h) {
    std::vector<tile_geom> out;
    for (int y = 0; y < h; y += 16)
        for (int x = 0; x < w; x += 16)
            out.push_back({x, y, std::min(16, w - x), std::min(16, h - y)});
    return out;
}

}  // namespace

// 40 x 20: tiles 16, 16 and 8 wide in rows 16 and 4 high. Each tile gets its
// own background and a subrectangle in its bottom-right corner, which lands
// in the right place only if the decoder cuts the tiles the same way.
TEST(Hextile, FortyByTwentyHasSixTilesOfTheRightSizes) {
    const std::vector<tile_geom> geom = tiles_of(40, 20);
    ASSERT_EQ(6u, geom.size());
    std::vector<enc::hextile_tile> tiles;
    enc::image want(40, 20);
    for (size_t i = 0; i < geom.size(); ++i) {
        const tile_geom &g = geom[i];
        enc::hextile_tile t = solid_tile(0xFF000100u + static_cast<uint32_t>(i));
        t.foreground = 0xFF00AA00u + static_cast<uint32_t>(i);
        t.subrects = {{0, g.w - 2, g.h - 1, 2, 1}};
        tiles.push_back(t);
        want = paste(want, enc::image(g.w, g.h, *t.background), g.x, g.y);
        want = paste(want, enc::image(2, 1, *t.foreground), g.x + g.w - 2, g.y + g.h - 1);
    }
    guarded_fb fb(40, 20);
    const enc::bytes payload = enc::hextile(tiles);
    const decode_run r = run_decoder(decode_hextile_rect, &fb, payload, 0, 0, 40, 20);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(payload.size(), r.consumed);
    EXPECT_TRUE(same_image(want, fb.snapshot()));

    // Raw tiles of the same rectangle: a wrong tile size would misread the
    // pixel stream.
    const enc::image pic = test_picture(40, 20, 7);
    tiles.clear();
    for (const tile_geom &g : geom) {
        enc::hextile_tile t;
        t.raw = true;
        t.pixels = pic.crop(g.x, g.y, g.w, g.h).px;
        tiles.push_back(t);
    }
    guarded_fb fb2(40, 20);
    EXPECT_EQ(0, run_decoder(decode_hextile_rect, &fb2, enc::hextile(tiles), 0, 0, 40, 20).rc);
    EXPECT_TRUE(same_image(pic, fb2.snapshot()));
}

TEST(Hextile, BackgroundAndForegroundCarryAcrossTilesIncludingRaw) {
    const uint32_t A = 0xFF0000A0, B = 0xFF00B000, R = 0xFFC00000;
    std::vector<enc::hextile_tile> tiles(4);
    tiles[0].background = A;
    tiles[0].foreground = B;
    tiles[0].subrects = {{0, 0, 0, 1, 1}};
    tiles[1].raw = true;
    tiles[1].pixels.assign(256, R);
    // tiles[2]: nothing specified, so the background of tile 0 fills it.
    tiles[3].subrects = {{0, 2, 2, 1, 1}};  // foreground of tile 0
    guarded_fb fb(64, 16);
    ASSERT_EQ(0, run_decoder(decode_hextile_rect, &fb, enc::hextile(tiles), 0, 0, 64, 16).rc);
    enc::image want(64, 16, A);
    want.at(0, 0) = B;
    want = paste(want, enc::image(16, 16, R), 16, 0);
    want.at(50, 2) = B;
    EXPECT_TRUE(same_image(want, fb.snapshot()));

    // A new rectangle starts again from 0 for both.
    std::vector<enc::hextile_tile> fresh(1);
    fresh[0].subrects = {{0, 1, 1, 2, 2}};
    ASSERT_EQ(0, run_decoder(decode_hextile_rect, &fb, enc::hextile(fresh), 0, 0, 16, 16).rc);
    EXPECT_TRUE(same_image(paste(want, enc::image(16, 16, 0), 0, 0), fb.snapshot()));

    // A subrectangle's own colour does not replace the foreground.
    std::vector<enc::hextile_tile> coloured(2);
    coloured[0].background = A;
    coloured[0].foreground = B;
    coloured[0].coloured = true;
    coloured[0].subrects = {{R, 0, 0, 1, 1}};
    coloured[1].subrects = {{0, 0, 0, 1, 1}};
    guarded_fb fb2(32, 16);
    ASSERT_EQ(0, run_decoder(decode_hextile_rect, &fb2, enc::hextile(coloured), 0, 0, 32, 16).rc);
    EXPECT_EQ(R, fb2.at(0, 0));
    EXPECT_EQ(B, fb2.at(16, 0));
    EXPECT_EQ(A, fb2.at(17, 0));
}

TEST(Hextile, RawTileIgnoresOtherBitsAndUpperBitsAreIgnored) {
    const enc::image pic = test_picture(16, 16, 3);
    std::vector<enc::hextile_tile> tiles(2);
    tiles[0].raw = true;
    tiles[0].pixels = pic.px;
    tiles[0].extra_bits = 0xFE;  // every other bit: still just 256 pixels
    tiles[1] = solid_tile(0xFF123456);
    tiles[1].extra_bits = 0xE0;
    guarded_fb fb(32, 16);
    const enc::bytes payload = enc::hextile(tiles);
    const decode_run r = run_decoder(decode_hextile_rect, &fb, payload, 0, 0, 32, 16);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(payload.size(), r.consumed);
    EXPECT_TRUE(same_image(paste(enc::image(32, 16, 0xFF123456), pic, 0, 0), fb.snapshot()));
}

// Subrectangles reaching past their tile are cut at the tile, also where the
// framebuffer goes on: a tile's neighbour keeps its own pixels.
TEST(Hextile, SubrectanglesAreCutToTheirTile) {
    const uint32_t bg[4] = {0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004};
    const uint32_t fg = 0xFFFFFFFF;
    std::vector<enc::hextile_tile> tiles;  // 24 x 20: tiles 16x16, 8x16, 16x4, 8x4
    for (uint32_t b : bg) {
        tiles.push_back(solid_tile(b));
        tiles.back().foreground = fg;
    }
    tiles[0].subrects = {{0, 8, 0, 16, 1}};     // 16 wide from x 8: 8 columns
    tiles[1].subrects = {{0, 4, 3, 16, 16}};    // 8-wide tile: columns 4..7, rows 3..15
    tiles[2].subrects = {{0, 0, 2, 1, 16}};     // 4-high tile: rows 2..3
    // Starting outside the 8x4 tile: nothing, also for single pixels; one
    // inside it drawn.
    tiles[3].subrects = {{0, 15, 15, 16, 16}, {0, 9, 1, 1, 1}, {0, 3, 5, 1, 1}, {0, 2, 1, 1, 1}};
    guarded_fb fb(32, 24);
    ASSERT_EQ(0, run_decoder(decode_hextile_rect, &fb, enc::hextile(tiles), 0, 0, 24, 20).rc);
    enc::image want = guarded_fb(32, 24).snapshot();
    want = paste(want, enc::image(16, 16, bg[0]), 0, 0);
    want = paste(want, enc::image(8, 16, bg[1]), 16, 0);
    want = paste(want, enc::image(16, 4, bg[2]), 0, 16);
    want = paste(want, enc::image(8, 4, bg[3]), 16, 16);
    want = paste(want, enc::image(8, 1, fg), 8, 0);
    want = paste(want, enc::image(4, 13, fg), 20, 3);
    want = paste(want, enc::image(1, 2, fg), 0, 18);
    want = paste(want, enc::image(1, 1, fg), 18, 17);
    EXPECT_TRUE(same_image(want, fb.snapshot()));
}

TEST(Hextile, EncodedPicturesRoundTrip) {
    const int sizes[][2] = {{16, 16}, {17, 33}, {100, 70}, {1, 1}, {5, 200}};
    uint32_t seed = 11;
    for (auto &sz : sizes) {
        SCOPED_TRACE(testing::Message() << sz[0] << "x" << sz[1]);
        const enc::image pic = test_picture(sz[0], sz[1], seed++);
        guarded_fb fb(sz[0] + 3, sz[1] + 2);
        const enc::bytes payload = enc::hextile_encode(pic);
        const decode_run r = run_decoder(decode_hextile_rect, &fb, payload, 2, 1, sz[0], sz[1]);
        EXPECT_EQ(0, r.rc);
        EXPECT_EQ(payload.size(), r.consumed);
        EXPECT_TRUE(same_image(paste(guarded_fb(sz[0] + 3, sz[1] + 2).snapshot(), pic, 2, 1),
                               fb.snapshot()));
        EXPECT_TRUE(fb.guards_intact());
    }
}

// Partly or wholly outside: the visible part is drawn, every tile is parsed
// (raw tiles included), nothing outside the framebuffer is written.
TEST(Hextile, RectanglesOutsideFramebufferAreClippedInStep) {
    struct place {
        int x, y;
    } places[] = {{8, 4}, {0, 9}, {19, 0}, {20, 10}, {300, 300}, {65535, 65535}};
    const enc::image pic = test_picture(40, 20, 5);
    const enc::bytes payload = enc::hextile_encode(pic);
    for (const place &p : places) {
        SCOPED_TRACE(testing::Message() << p.x << "," << p.y);
        guarded_fb fb(20, 10);
        const decode_run r =
            run_decoder(decode_hextile_rect, &fb, concat({payload, kMarker}), p.x, p.y, 40, 20);
        EXPECT_EQ(0, r.rc);
        EXPECT_EQ(payload.size(), r.consumed);
        EXPECT_TRUE(same_image(paste(guarded_fb(20, 10).snapshot(), pic, p.x, p.y), fb.snapshot()));
        EXPECT_TRUE(fb.guards_intact());
    }
}

TEST(Hextile, TruncatedDataKeepsEarlierTilesAndFails) {
    std::vector<enc::hextile_tile> tiles(2);
    tiles[0] = solid_tile(0xFF0000AA);
    tiles[1].raw = true;
    tiles[1].pixels.assign(256, 0xFF0000BB);
    const enc::bytes payload = enc::hextile(tiles);
    for (size_t cut = 0; cut < payload.size(); ++cut) {
        SCOPED_TRACE(cut);
        guarded_fb fb(32, 16);
        const enc::bytes part(payload.begin(), payload.begin() + static_cast<long>(cut));
        EXPECT_EQ(kDecodeBroken, run_decoder(decode_hextile_rect, &fb, part, 0, 0, 32, 16).rc);
        if (cut >= 5) {
            EXPECT_EQ(0xFF0000AAu, fb.at(15, 15));
        }
        EXPECT_TRUE(fb.guards_intact());
    }
    // Cut inside a subrectangle list.
    std::vector<enc::hextile_tile> subs(1);
    subs[0].foreground = 0xFF000001;
    subs[0].subrects = {{0, 0, 0, 1, 1}, {0, 1, 1, 1, 1}};
    enc::bytes cut = enc::hextile(subs);
    cut.pop_back();
    guarded_fb fb(16, 16);
    EXPECT_EQ(kDecodeBroken, run_decoder(decode_hextile_rect, &fb, cut, 0, 0, 16, 16).rc);
    EXPECT_EQ(0xFF000001u, fb.at(0, 0));
}

TEST(Hextile, EmptyRectangleReadsNothing) {
    guarded_fb fb(4, 4);
    EXPECT_EQ(0u, run_decoder(decode_hextile_rect, &fb, kMarker, 0, 0, 0, 16).consumed);
    EXPECT_EQ(0u, run_decoder(decode_hextile_rect, &fb, kMarker, 0, 0, 16, 0).consumed);
    EXPECT_TRUE(same_image(guarded_fb(4, 4).snapshot(), fb.snapshot()));
}

TEST(Hextile, NoFramebufferStillParsesEveryTile) {
    const enc::bytes payload = enc::hextile_encode(test_picture(50, 40, 9));
    const decode_run r =
        run_decoder(decode_hextile_rect, nullptr, concat({payload, kMarker}), 0, 0, 50, 40);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(payload.size(), r.consumed);
}

TEST(Hextile, ClearedRunFlagStops) {
    std::atomic<int> running{0};
    decode_setup setup;
    setup.running = &running;
    guarded_fb fb(32, 32);
    const enc::bytes payload = enc::hextile_encode(test_picture(32, 32, 1));
    EXPECT_EQ(kDecodeBroken,
              run_decoder(decode_hextile_rect, &fb, payload, 0, 0, 32, 32, setup).rc);
}
