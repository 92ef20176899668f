// ZRLE: every subencoding, palette packing and masking, runs, the one zlib
// stream per connection, the length limits, truncation, clipping, and a
// rectangle far larger than its data.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <cstdio>
#include <cstdlib>

#include "decode_harness.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QV_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QV_SANITIZED 1
#endif
#endif

namespace {

// The image a decoder produces from pic sent with compact pixels.
enc::image expanded(const enc::image &pic, int cps) {
    enc::image out = pic;
    for (uint32_t &p : out.px) p = enc::zrle_expand(p, cps);
    return out;
}

decode_setup with_stream(inflater &z, int cps = 3) {
    decode_setup s;
    s.inflate = z.get();
    s.colour_max = cps == 3 ? 255 : 1023;
    return s;
}

// Decodes one payload at (x, y, w, h) into fb through a fresh stream.
decode_run decode_once(guarded_fb *fb, const enc::bytes &payload, int x, int y, int w, int h,
                       int cps = 3) {
    inflater z;
    return run_decoder(decode_zrle_rect, fb, payload, x, y, w, h, with_stream(z, cps));
}

enc::bytes payload_of(const enc::zrle_tiles &t) {
    enc::zrle_stream s;
    return s.rect(t);
}

// A w x h picture using exactly n colours.
enc::image palette_picture(int w, int h, int n) {
    enc::image img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.at(x, y) =
                0xFF000000u | static_cast<uint32_t>(((x * 7 + y * 3) % n) * 0x010203 + 1);
    return img;
}

// One flat colour per 64 x 64 tile.
enc::image tile_colours_picture(int w, int h) {
    enc::image img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.at(x, y) =
                0xFF000000u | static_cast<uint32_t>((x / 64) * 0x50 + (y / 64) * 0x5000 + 7);
    return img;
}

}  // namespace

TEST(Zrle, EverySubencodingRoundTripsWithBothPixelSizes) {
    struct kind {
        const char *what;
        int only;
        uint8_t first_min, first_max;  // range of the first tile's subencoding byte
    } kinds[] = {{"raw", 0, 0, 0},
                 {"solid", 1, 1, 1},
                 {"packed", 2, 2, 127},
                 {"plain RLE", 128, 128, 128},
                 {"palette RLE", 129, 129, 255},
                 {"chosen", -1, 0, 255}};
    // The large size crosses many refills of the decoder's inflate window, so
    // raw tiles, palettes and runs straddle one; narrow ones leave every
    // remainder of a row that is converted four pixels at a time.
    struct size {
        int w, h;
    } sizes[] = {{100, 70}, {700, 200}, {6, 2}, {9, 3}, {5, 1}};
    for (const size &sz : sizes)
    for (int cps : {3, 4}) {
        for (const kind &k : kinds) {
            SCOPED_TRACE(testing::Message() << k.what << ", " << cps << "-byte pixels, " << sz.w
                                            << " x " << sz.h);
            const int W = sz.w, H = sz.h;
            enc::image pic = k.only == 1                    ? tile_colours_picture(W, H)
                             : k.only == 2 || k.only == 129 ? palette_picture(W, H, 6)
                                                            : test_picture(W, H, 4);
            // Four-byte pixels keep their top byte.
            if (cps == 4)
                for (uint32_t &p : pic.px) p ^= 0x5A000000u;
            const enc::zrle_tiles tiles = enc::zrle_encode(pic, cps, k.only);
            ASSERT_GE(tiles.data()[0], k.first_min);
            ASSERT_LE(tiles.data()[0], k.first_max);
            guarded_fb fb(W + 10, H + 10);
            const enc::bytes payload = payload_of(tiles);
            const decode_run r = decode_once(&fb, payload, 5, 6, W, H, cps);
            EXPECT_EQ(0, r.rc);
            EXPECT_EQ(payload.size(), r.consumed);
            EXPECT_TRUE(same_image(
                paste(guarded_fb(W + 10, H + 10).snapshot(), expanded(pic, cps), 5, 6),
                fb.snapshot()));
            EXPECT_TRUE(fb.guards_intact());
        }
    }
}

// Index widths 1, 2, 4 and 8 bits and their boundaries, with tile widths
// that leave partial bytes at the end of each row.
TEST(Zrle, PackedPalettesOfEverySizeRoundTrip) {
    for (int n : {2, 3, 4, 5, 16, 17, 127}) {
        for (int w : {64, 13, 1}) {
            SCOPED_TRACE(testing::Message() << n << " colours, width " << w);
            const enc::image pic = palette_picture(w, 9, n);
            guarded_fb fb(w, 9);
            EXPECT_EQ(0, decode_once(&fb, payload_of(enc::zrle_encode(pic, 3, 2)), 0, 0, w, 9).rc);
            EXPECT_TRUE(same_image(pic, fb.snapshot()));
        }
    }
}

// 100 x 70: tiles 64 and 36 wide in rows 64 and 6 high.
TEST(Zrle, HundredBySeventyHasFourTilesOfTheRightSizes) {
    const uint32_t c[4] = {0xFF000011, 0xFF000022, 0xFF000033, 0xFF000044};
    enc::zrle_tiles t;
    for (uint32_t v : c) t.solid(v);
    guarded_fb fb(110, 80);
    ASSERT_EQ(0, decode_once(&fb, payload_of(t), 0, 0, 100, 70).rc);
    enc::image want = guarded_fb(110, 80).snapshot();
    want = paste(want, enc::image(64, 64, c[0]), 0, 0);
    want = paste(want, enc::image(36, 64, c[1]), 64, 0);
    want = paste(want, enc::image(64, 6, c[2]), 0, 64);
    want = paste(want, enc::image(36, 6, c[3]), 64, 64);
    EXPECT_TRUE(same_image(want, fb.snapshot()));
}

// Two colours, width 10: two bytes per row, and of the second byte only the
// top two bits count.
TEST(Zrle, PackedRowsStartOnFreshBytes) {
    const uint32_t p0 = 0xFF000100, p1 = 0xFF000200;
    enc::zrle_tiles t;
    t.byte(2).cpixel(p0).cpixel(p1);
    t.byte(0xAA).byte(0x7F);  // 1 0 1 0 1 0 1 0 | 0 1, then junk bits
    t.byte(0x00).byte(0xBF);  // all 0 | 1 0, then junk bits
    guarded_fb fb(10, 2);
    ASSERT_EQ(0, decode_once(&fb, payload_of(t), 0, 0, 10, 2).rc);
    const int row0[10] = {1, 0, 1, 0, 1, 0, 1, 0, 0, 1};
    for (int x = 0; x < 10; ++x) {
        EXPECT_EQ(row0[x] ? p1 : p0, fb.at(x, 0)) << x;
        EXPECT_EQ(x == 8 ? p1 : p0, fb.at(x, 1)) << x;
    }
}

TEST(Zrle, IndicesAreMaskedAndOutOfPaletteGivesZero) {
    std::vector<uint32_t> pal17;
    for (uint32_t i = 0; i < 17; ++i) pal17.push_back(0xFF100000u + i);
    {
        SCOPED_TRACE("packed, 17 colours");
        enc::zrle_tiles t;
        t.byte(17);
        for (uint32_t p : pal17) t.cpixel(p);
        t.byte(0x90).byte(0x7F).byte(0x03);
        guarded_fb fb(3, 1);
        ASSERT_EQ(0, decode_once(&fb, payload_of(t), 0, 0, 3, 1).rc);
        EXPECT_EQ(pal17[16], fb.at(0, 0)) << "top bit masked off";
        EXPECT_EQ(0u, fb.at(1, 0)) << "index 127 is past the palette";
        EXPECT_EQ(pal17[3], fb.at(2, 0));
    }
    {
        SCOPED_TRACE("packed, 5 colours");
        enc::zrle_tiles t;
        t.byte(5);
        for (int i = 0; i < 5; ++i) t.cpixel(pal17[i]);
        t.byte(0x4F);
        guarded_fb fb(2, 1);
        ASSERT_EQ(0, decode_once(&fb, payload_of(t), 0, 0, 2, 1).rc);
        EXPECT_EQ(pal17[4], fb.at(0, 0));
        EXPECT_EQ(0u, fb.at(1, 0));
    }
    {
        SCOPED_TRACE("palette RLE, 5 colours");
        enc::zrle_tiles t;
        t.byte(128 + 5);
        for (int i = 0; i < 5; ++i) t.cpixel(pal17[i]);
        t.byte(127).byte(2).byte(0x80 | 127).run_length(3).byte(0x80 | 1).run_length(1);
        guarded_fb fb(6, 1);
        ASSERT_EQ(0, decode_once(&fb, payload_of(t), 0, 0, 6, 1).rc);
        const uint32_t want[6] = {0, pal17[2], 0, 0, 0, pal17[1]};
        for (int x = 0; x < 6; ++x) EXPECT_EQ(want[x], fb.at(x, 0)) << x;
    }
}

TEST(Zrle, OneEntryPaletteRle) {
    enc::zrle_tiles t;
    t.palette_rle({0xFF00ABCD}, {{0, 5}, {0, 1}, {0, 4}});
    ASSERT_EQ(129, t.data()[0]);
    guarded_fb fb(5, 2);
    ASSERT_EQ(0, decode_once(&fb, payload_of(t), 0, 0, 5, 2).rc);
    EXPECT_TRUE(same_image(enc::image(5, 2, 0xFF00ABCD), fb.snapshot()));
}

// 255, 44 is a run of 300; a run past the tile's end stops there and the next
// tile starts with its own subencoding byte.
TEST(Zrle, LongRunsAndRunsOvershootingTheTile) {
    const uint32_t A = 0xFF0000A1, B = 0xFF0000B2, C = 0xFF0000C3;
    enc::zrle_tiles t;
    t.byte(128).cpixel(A).run_length(300).cpixel(B).run_length(340);  // 640 = 64 x 10
    t.byte(128).cpixel(C).run_length(100000);                         // overshoots
    t.byte(128 + 2).cpixel(A).cpixel(B).byte(0x81).run_length(5000);  // overshoots
    t.solid(C);
    const enc::bytes &d = t.data();
    ASSERT_EQ(255, d[4]);
    ASSERT_EQ(44, d[5]);
    guarded_fb fb(256, 10);
    const enc::bytes payload = payload_of(t);
    const decode_run r = decode_once(&fb, payload, 0, 0, 256, 10);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(payload.size(), r.consumed);
    enc::image want(256, 10, B);
    for (int k = 0; k < 300; ++k) want.at(k % 64, k / 64) = A;
    want = paste(want, enc::image(64, 10, C), 64, 0);
    want = paste(want, enc::image(64, 10, B), 128, 0);
    want = paste(want, enc::image(64, 10, C), 192, 0);
    EXPECT_TRUE(same_image(want, fb.snapshot()));
}

// Run lengths are summed in 32 bits: one that wraps to 0 or past 2^31 paints
// nothing and the next run is read.
TEST(Zrle, WrappedRunLengthsPaintNothing) {
    const uint32_t A = 0xFF0000A1, B = 0xFF0000B2, C = 0xFF0000C3, D = 0xFF0000D4;
    enc::zrle_tiles t;
    t.byte(128);
    t.cpixel(A);
    for (int i = 0; i < 8421504; ++i) t.byte(255);
    t.byte(127);  // 1 + 8421504 * 255 + 127 = 2^31
    t.cpixel(B);
    for (int i = 0; i < 16843009; ++i) t.byte(255);
    t.byte(0);  // 1 + 16843009 * 255 = 2^32, i.e. 0
    t.cpixel(C).run_length(4096);
    // The rectangle must be large enough for the data: 128 x 65535, whose
    // remaining tiles are solid.
    for (int i = 1; i < 2 * 1024; ++i) t.solid(D);
    guarded_fb fb(130, 70);
    const decode_run r = decode_once(&fb, payload_of(t), 0, 0, 128, 65535);
    EXPECT_EQ(0, r.rc);
    enc::image want(130, 70, kUntouched);
    want = paste(want, enc::image(64, 64, C), 0, 0);
    want = paste(want, enc::image(64, 70, D), 64, 0);
    want = paste(want, enc::image(64, 6, D), 0, 64);
    EXPECT_TRUE(same_image(want, fb.snapshot()));
}

// Consecutive rectangles continue one zlib stream; the second one cannot be
// inflated on its own.
TEST(Zrle, RectanglesContinueOneZlibStream) {
    const enc::image a = test_picture(70, 40, 21), b = test_picture(70, 40, 22);
    enc::zrle_stream s;
    const enc::bytes ra = s.rect(enc::zrle_encode(a)), rb = s.rect(enc::zrle_encode(b));
    guarded_fb fb(70, 80);
    inflater z;
    stream_runner run(concat({ra, rb}), &fb, with_stream(z));
    EXPECT_EQ(0, run.next(decode_zrle_rect, 0, 0, 70, 40));
    EXPECT_EQ(0, run.next(decode_zrle_rect, 0, 40, 70, 40));
    EXPECT_EQ(0u, run.left());
    EXPECT_TRUE(same_image(b, fb.snapshot().crop(0, 40, 70, 40)));
    EXPECT_TRUE(same_image(a, fb.snapshot().crop(0, 0, 70, 40)));

    guarded_fb fresh(70, 40);
    EXPECT_EQ(kDecodeBroken, decode_once(&fresh, rb, 0, 0, 70, 40).rc)
        << "needs the first rectangle's stream";
}

// The inflate stream of the build (ISA-L or zlib) gives every rectangle's
// bytes whole at its sync flush, however its input and output are cut: fed
// in pieces, drawn out through windows of any size.
TEST(Zrle, InflateStreamSurvivesEverySplit) {
    enc::zrle_stream s;
    std::vector<enc::bytes> plain, packed;
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        plain.push_back(enc::zrle_encode(test_picture(100, 70, seed)).data());
        packed.push_back(s.compress(plain.back()));
    }
    const struct {
        size_t piece, space;
    } splits[] = {{1, 7}, {3, 65536}, {1 << 20, 1}, {4096, 100}, {1 << 20, 65536}};
    for (const auto &sp : splits) {
        SCOPED_TRACE(testing::Message() << vnc_inflate::backend() << " pieces " << sp.piece
                                        << ", windows " << sp.space);
        vnc_inflate z;
        ASSERT_TRUE(z.ok());
        for (size_t r = 0; r < packed.size(); ++r) {
            enc::bytes got;
            std::vector<uint8_t> window(sp.space);
            for (size_t at = 0; at < packed[r].size(); at += sp.piece) {
                z.feed(packed[r].data() + at,
                       static_cast<uint32_t>(std::min(sp.piece, packed[r].size() - at)));
                for (int more = 1; more > 0;) {
                    size_t n = 0;
                    more = z.run(window.data(), window.size(), &n);
                    ASSERT_GE(more, 0);
                    got.insert(got.end(), window.begin(), window.begin() + static_cast<long>(n));
                }
            }
            EXPECT_EQ(plain[r], got) << "rectangle " << r;
        }
        z.detach();
    }
}

TEST(Zrle, CompressedLengthLimits) {
    // Empty data is refused in step; a length beyond what the rectangle can
    // need cannot be followed, and the connection must end.
    const struct {
        uint32_t len;
        int rc;
    } bad[] = {{0u, kDecodeRefused}, {kZrleMaxCompressed + 1, kDecodeBroken},
               {0xFFFFFFFFu, kDecodeBroken}};
    // However large the rectangle claims to be, only its part inside the
    // framebuffer counts.
    enc::bytes claim;
    enc::put_u32(claim, 64u << 20);
    guarded_fb small(4, 4);
    const decode_run huge = decode_once(&small, concat({claim, kMarker}), 0, 0, 65535, 65535);
    EXPECT_EQ(kDecodeBroken, huge.rc);
    EXPECT_EQ(4u, huge.consumed) << "refused before any compressed byte is read";
    for (const auto &b : bad) {
        SCOPED_TRACE(b.len);
        enc::bytes p;
        enc::put_u32(p, b.len);
        guarded_fb fb(4, 4);
        const decode_run r = decode_once(&fb, concat({p, kMarker}), 0, 0, 4, 4);
        EXPECT_EQ(b.rc, r.rc);
        EXPECT_EQ(4u, r.consumed) << "the compressed bytes are not read";
    }

    // Exactly the limit is accepted. Its tail inflates to far more than this
    // small rectangle can use; the surplus is inflated and dropped so the
    // next rectangle still decodes.
    enc::zrle_stream s;
    enc::zrle_tiles first;
    first.solid(0xFF0000AA);
    const enc::bytes big = s.rect_padded(first.data(), kZrleMaxCompressed);
    ASSERT_EQ(kZrleMaxCompressed + 4, big.size());
    enc::zrle_tiles second;
    second.solid(0xFF0000BB);
    guarded_fb fb(4, 4);
    inflater z;
    stream_runner run(concat({big, s.rect(second)}), &fb, with_stream(z));
    EXPECT_EQ(0, run.next(decode_zrle_rect, 0, 0, 2, 2));
    EXPECT_EQ(0, run.next(decode_zrle_rect, 2, 2, 2, 2));
    EXPECT_EQ(0u, run.left());
    EXPECT_EQ(0xFF0000AAu, fb.at(1, 1));
    EXPECT_EQ(0xFF0000BBu, fb.at(2, 2));
}

TEST(Zrle, SurplusBeyondTheOutputBoundIsDroppedInStep) {
    enc::zrle_tiles first;
    first.solid(0xFF000001);
    for (int i = 0; i < 300000; ++i) first.byte(static_cast<uint8_t>(i * 7));
    enc::zrle_tiles second;
    second.raw({0xFF000002, 0xFF000003});
    enc::zrle_stream s;
    guarded_fb fb(2, 2);
    inflater z;
    stream_runner run(concat({s.rect(first), s.rect(second)}), &fb, with_stream(z));
    EXPECT_EQ(0, run.next(decode_zrle_rect, 0, 0, 1, 1));  // output bound 65540 bytes
    EXPECT_EQ(0, run.next(decode_zrle_rect, 0, 1, 2, 1));
    EXPECT_EQ(0xFF000001u, fb.at(0, 0));
    EXPECT_EQ(0xFF000002u, fb.at(0, 1));
    EXPECT_EQ(0xFF000003u, fb.at(1, 1));
}

// Tile data that ends early fails the rectangle; the tiles before it stay.
TEST(Zrle, TruncatedTileDataKeepsEarlierTilesAndFails) {
    const uint32_t A = 0xFF0000AA;
    struct cut {
        const char *what;
        enc::bytes second;  // the second tile's data, cut short
    };
    auto bytes_of = [](const enc::zrle_tiles &t) { return t.data(); };
    const cut cuts[] = {
        {"subencoding byte", {}},
        {"palette entry", bytes_of(enc::zrle_tiles().byte(5).cpixel(1).cpixel(2).byte(3))},
        {"raw pixel",
         [] {
             enc::bytes b = enc::zrle_tiles().raw(std::vector<uint32_t>(64 * 8, 9)).data();
             b.pop_back();
             return b;
         }()},
        {"packed index byte",
         [] {
             enc::bytes b =
                 enc::zrle_tiles().packed({1, 2}, std::vector<uint8_t>(64 * 8, 1), 64).data();
             b.pop_back();
             return b;
         }()},
        {"run-length byte", bytes_of(enc::zrle_tiles().byte(128).cpixel(4).byte(255))},
        {"run pixel", bytes_of(enc::zrle_tiles().byte(128).cpixel(4).run_length(10).byte(4))},
        {"palette RLE length",
         bytes_of(enc::zrle_tiles().byte(130).cpixel(1).cpixel(2).byte(0x81))},
        {"palette RLE index", bytes_of(enc::zrle_tiles().byte(130).cpixel(1).cpixel(2).byte(0x01))},
    };
    for (const cut &c : cuts) {
        SCOPED_TRACE(c.what);
        enc::zrle_tiles t;
        t.solid(A);
        enc::bytes data = t.data();
        enc::append(data, c.second);
        enc::zrle_stream s;
        guarded_fb fb(128, 8);
        EXPECT_EQ(-1, decode_once(&fb, s.rect(data), 0, 0, 128, 8).rc);
        // Runs read before the cut may have been painted in the second tile.
        EXPECT_TRUE(same_image(enc::image(64, 8, A), fb.snapshot().crop(0, 0, 64, 8)));
        EXPECT_TRUE(fb.guards_intact());
    }
}

TEST(Zrle, TruncatedOrCorruptCompressedDataFails) {
    enc::zrle_tiles t;
    t.solid(0xFF000001);
    enc::bytes payload = payload_of(t);
    payload.resize(payload.size() - 2);
    guarded_fb fb(4, 4);
    EXPECT_EQ(kDecodeBroken, decode_once(&fb, payload, 0, 0, 4, 4).rc) << "data cut short";

    enc::bytes junk;
    enc::put_u32(junk, 6);
    enc::append(junk, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    // Data that does not inflate leaves the stream unusable for every later
    // rectangle: the connection must end.
    EXPECT_EQ(kDecodeBroken, decode_once(&fb, concat({junk, kMarker}), 0, 0, 4, 4).rc)
        << "bad data of the announced length";
    EXPECT_TRUE(same_image(guarded_fb(4, 4).snapshot(), fb.snapshot()));
}

// A rectangle without area still has its data inflated, so the stream goes
// on; it paints nothing.
TEST(Zrle, EmptyRectangleStillInflatesItsData) {
    enc::zrle_tiles junk;
    junk.solid(0xFF000001).solid(0xFF000002);
    enc::zrle_tiles real;
    real.raw({0xFF0000AA});
    enc::zrle_stream s;
    const enc::bytes stream = concat({s.rect(junk), s.rect(junk), s.rect(real)});
    guarded_fb fb(3, 3);
    inflater z;
    stream_runner run(stream, &fb, with_stream(z));
    EXPECT_EQ(0, run.next(decode_zrle_rect, 0, 0, 0, 3));
    EXPECT_EQ(0, run.next(decode_zrle_rect, 0, 0, 3, 0));
    EXPECT_TRUE(same_image(guarded_fb(3, 3).snapshot(), fb.snapshot()));
    EXPECT_EQ(0, run.next(decode_zrle_rect, 1, 1, 1, 1));
    EXPECT_EQ(0xFF0000AAu, fb.at(1, 1));
}

// Partly or wholly outside: the visible part only, and the next rectangle of
// the stream still decodes.
TEST(Zrle, RectanglesOutsideFramebufferAreClippedInStep) {
    struct place {
        int x, y;
    } places[] = {{30, 20}, {0, 45}, {59, 0}, {60, 50}, {1000, 10}, {65535, 65535}};
    const enc::image pic = test_picture(100, 70, 8);
    for (const place &p : places) {
        SCOPED_TRACE(testing::Message() << p.x << "," << p.y);
        enc::zrle_stream s;
        enc::zrle_tiles after;
        after.solid(0xFF00FF00);
        const enc::bytes stream = concat({s.rect(enc::zrle_encode(pic)), s.rect(after)});
        guarded_fb fb(60, 50);
        inflater z;
        stream_runner run(stream, &fb, with_stream(z));
        EXPECT_EQ(0, run.next(decode_zrle_rect, p.x, p.y, 100, 70));
        const enc::image want = paste(guarded_fb(60, 50).snapshot(), pic, p.x, p.y);
        EXPECT_TRUE(same_image(want, fb.snapshot()));
        EXPECT_TRUE(fb.guards_intact());
        EXPECT_EQ(0, run.next(decode_zrle_rect, 0, 0, 1, 1));
        EXPECT_EQ(0xFF00FF00u, fb.at(0, 0));
    }
}

TEST(Zrle, WithoutInflateStreamDataIsSkippedAndRectangleFails) {
    const enc::bytes payload = payload_of(enc::zrle_encode(test_picture(20, 20, 2)));
    guarded_fb fb(20, 20);
    const decode_run r =
        run_decoder(decode_zrle_rect, &fb, concat({payload, kMarker}), 0, 0, 20, 20);
    EXPECT_EQ(-1, r.rc);
    EXPECT_EQ(payload.size(), r.consumed);
    EXPECT_TRUE(same_image(guarded_fb(20, 20).snapshot(), fb.snapshot()));
}

TEST(Zrle, WithoutFramebufferDataIsStillInflated) {
    enc::zrle_stream s;
    const enc::bytes first = s.rect(enc::zrle_encode(test_picture(30, 30, 3)));
    enc::zrle_tiles t;
    t.solid(0xFF000077);
    const enc::bytes second = s.rect(t);
    inflater z;
    EXPECT_EQ(0, run_decoder(decode_zrle_rect, nullptr, first, 0, 0, 30, 30, with_stream(z)).rc);
    guarded_fb fb(2, 2);
    EXPECT_EQ(0, run_decoder(decode_zrle_rect, &fb, second, 0, 0, 2, 2, with_stream(z)).rc);
    EXPECT_EQ(0xFF000077u, fb.at(1, 1));
}

TEST(Zrle, ClearedRunFlagStops) {
    std::atomic<int> running{0};
    inflater z;
    decode_setup setup = with_stream(z);
    setup.running = &running;
    guarded_fb fb(100, 70);
    const enc::bytes payload = payload_of(enc::zrle_encode(test_picture(100, 70, 1)));
    EXPECT_EQ(kDecodeBroken, run_decoder(decode_zrle_rect, &fb, payload, 0, 0, 100, 70, setup).rc);
}

namespace {

// 65535 x 65535 of solid tiles (about a million), tile i in colour i. Its
// output bound is about 16 GiB; the data inflates to 4 MiB.
const enc::bytes &huge_payload() {
    static const enc::bytes payload = [] {
        enc::zrle_tiles t;
        const int per_row = (65535 + 63) / 64;
        for (int i = 0; i < per_row * per_row; ++i) t.solid(0xFF000000u | static_cast<uint32_t>(i));
        return payload_of(t);
    }();
    return payload;
}

bool huge_rectangle_decodes() {
    guarded_fb fb(130, 70);
    if (decode_once(&fb, huge_payload(), 0, 0, 65535, 65535).rc != 0) return false;
    const int per_row = (65535 + 63) / 64;
    return fb.at(0, 0) == 0xFF000000u && fb.at(64, 0) == 0xFF000001u &&
           fb.at(129, 0) == 0xFF000002u && fb.at(0, 64) == 0xFF000000u + per_row &&
           fb.at(129, 69) == 0xFF000002u + per_row && fb.guards_intact();
}

}  // namespace

TEST(Zrle, HugeRectangleWithLittleDataDecodes) { EXPECT_TRUE(huge_rectangle_decodes()); }

#if !defined(QV_SANITIZED) && !defined(_WIN32)
namespace {

// Child side of the capped test: caps the address space at what the process
// uses now plus 1 GiB, far below the 16 GiB bound, then decodes.
int decode_huge_with_capped_address_space() {
    long pages = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    rlimit lim;
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(pages) * 4096 + (rlim_t{1} << 30);
    if (pages == 0 || setrlimit(RLIMIT_AS, &lim) != 0) return 2;
    return huge_rectangle_decodes() ? 0 : 1;
}

// 65535 x 5440 raw tiles of zeros: about 1 GiB of tile data in a few MiB of
// compressed bytes, all but a corner of it outside a 640 x 480 framebuffer.
const enc::bytes &zero_tiles_payload() {
    static const enc::bytes payload = [] {
        const uint64_t tiles = uint64_t{(65535 + 63) / 64} * (5440 / 64);
        uint64_t left = tiles * (1 + 64 * 64 * 3);  // subencoding 0, then pixels: all zeros
        z_stream z{};
        deflateInit(&z, 1);
        std::vector<uint8_t> zeros(1 << 20), out(1 << 20);
        enc::bytes data;
        while (left) {
            const uInt n = static_cast<uInt>(std::min<uint64_t>(left, zeros.size()));
            left -= n;
            z.next_in = zeros.data();
            z.avail_in = n;
            do {
                z.next_out = out.data();
                z.avail_out = static_cast<uInt>(out.size());
                deflate(&z, left ? Z_NO_FLUSH : Z_SYNC_FLUSH);
                data.insert(data.end(), out.data(), z.next_out);
            } while (z.avail_out == 0);
        }
        deflateEnd(&z);
        enc::bytes p;
        enc::put_u32(p, static_cast<uint32_t>(data.size()));
        enc::append(p, data);
        return p;
    }();
    return payload;
}

// Child side of the second capped test: 64 MiB above what the process uses.
int decode_zero_tiles_with_capped_address_space() {
    long pages = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    rlimit lim;
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(pages) * 4096 + (rlim_t{64} << 20);
    if (pages == 0 || setrlimit(RLIMIT_AS, &lim) != 0) return 2;
    guarded_fb fb(640, 480);
    if (decode_once(&fb, zero_tiles_payload(), 0, 0, 65535, 5440).rc != 0) return 1;
    return fb.at(0, 0) == 0xFF000000u && fb.at(639, 479) == 0xFF000000u && fb.guards_intact()
               ? 0
               : 3;
}

}  // namespace
#endif

// The output buffer must grow with the data instead of being sized for the
// bound up front; and tile data is never kept beyond the decoder's window,
// whatever it inflates to.
TEST(Zrle, HugeRectangleDoesNotAllocateItsBound) {
#if defined(_WIN32)
    GTEST_SKIP() << "no address-space cap on Windows: no setrlimit, and Wine accepts but does "
                    "not enforce a job object's process memory limit";
#elif defined(QV_SANITIZED)
    GTEST_SKIP() << "sanitizers reserve more address space than the cap allows";
#else
    huge_payload();  // built before the cap
    EXPECT_EXIT(std::_Exit(decode_huge_with_capped_address_space()), ::testing::ExitedWithCode(0),
                "");
    ASSERT_LT(zero_tiles_payload().size(), size_t{8} << 20);
    EXPECT_EXIT(std::_Exit(decode_zero_tiles_with_capped_address_space()),
                ::testing::ExitedWithCode(0), "");
#endif
}
