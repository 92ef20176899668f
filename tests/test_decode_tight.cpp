// Tight: every mode and filter, the four zlib streams and their resets, and
// refusals that keep the byte stream and the zlib streams in step.
#include <gtest/gtest.h>

#include <cstdio>

#include "decode_harness.h"
#include "vnc_jpeg.h"


namespace {

using enc::bytes;

// A Tight rectangle as the decoder meets it: payload, placement, and what
// the framebuffer should show (exact, or within `tolerance` a channel).
struct tight_case {
    const char *what;
    bytes payload;
    enc::image expected;
    int tolerance = 0;
};

// A picture of exactly the given colours, in a pattern that is not a run.
enc::image of_colours(int w, int h, const std::vector<uint32_t> &colours) {
    enc::image img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.at(x, y) = colours[(x * 5 + y * 3 + x / 4) % colours.size()];
    return img;
}

struct tight_run {
    vnc_tight_state state;
    decode_setup setup() {
        decode_setup s;
        s.tight = &state;
        return s;
    }
};

}  // namespace

TEST(Tight, EveryModeRoundTripsInsideAndAcrossTheEdge) {
    const enc::image pic = test_picture(40, 30, 3);
    // Rows of more than one conversion piece.
    const enc::image wide = test_picture(4100, 2, 5);
    // Each payload on fresh streams, as each case is decoded on fresh ones.
    auto basic = [](const enc::image &img, enc::tight_filter f, int stream,
                    const std::vector<uint32_t> &palette = {}, bool explicit_filter = true) {
        return enc::tight_encoder().basic(img, f, stream, 0, palette, explicit_filter);
    };
    const std::vector<uint32_t> two_colours = {0xFF102030u, 0xFFF0E0D0u};
    const std::vector<uint32_t> seven_colours = {0xFF000001u, 0xFF00FF00u, 0xFFFF0000u,
                                                 0xFF0000FFu, 0xFF808080u, 0xFFFFFFFFu,
                                                 0xFF123456u};
    const enc::image two = of_colours(13, 9, two_colours);
    const enc::image two_small = two.crop(0, 0, 9, 5);  // 2 bytes a row: sent raw
    const enc::image seven = of_colours(21, 11, seven_colours);
    std::vector<tight_case> cases = {
        {"fill", enc::tight_encoder().fill(0xFF336699u), enc::image(17, 5, 0xFF336699u)},
        {"copy, implicit filter", basic(pic, enc::kTightCopy, 0, {}, false), pic},
        {"copy, under 12 bytes", basic(pic.crop(0, 0, 3, 1), enc::kTightCopy, 1),
         pic.crop(0, 0, 3, 1)},
        {"copy, wide rows", basic(wide, enc::kTightCopy, 1), wide},
        {"gradient", basic(pic, enc::kTightGradient, 2), pic},
        {"gradient, wide rows", basic(wide, enc::kTightGradient, 3), wide},
        {"two colours, padded rows", basic(two, enc::kTightPalette, 1, two_colours), two},
        {"two colours, under 12 bytes", basic(two_small, enc::kTightPalette, 2, two_colours),
         two_small},
        {"seven colours", basic(seven, enc::kTightPalette, 3, seven_colours), seven},
    };
    // JPEG: a smooth picture, as photos are, comes back close.
    const enc::image smooth = smooth_picture();
    if (vnc_jpeg_available()) {
        // The same bytes for every build's decoder: libjpeg's baseline
        // picture of smooth at quality 95, kept as a file.
        cases.push_back({"jpeg from the file", enc::tight_encoder().jpeg(read_data("tight-smooth-q95.jpg")),
                         smooth, 8});
#ifndef _WIN32
        // And from the encoder at hand (WIC's under Wine keeps a quality of
        // its own, whatever it is asked for).
        cases.push_back({"jpeg", enc::tight_encoder().jpeg(enc::jpeg_encode(smooth, 95, false)), smooth, 8});
#endif
    }
    for (const bool across : {false, true}) {
        for (const tight_case &t : cases) {
            SCOPED_TRACE(std::string(t.what) + (across ? ", across the edge" : ""));
            const int fb_w = std::max(t.expected.w + 8, 64), fb_h = t.expected.h + 8;
            guarded_fb fb(fb_w, fb_h);
            const int x = across ? fb_w - t.expected.w / 2 : 3;
            const int y = across ? fb_h - t.expected.h / 2 : 2;
            tight_run run;
            const decode_run r = run_decoder(decode_tight_rect, &fb, concat({t.payload, kMarker}), x,
                                             y, t.expected.w, t.expected.h, run.setup());
            ASSERT_EQ(r.rc, kDecodeOk);
            EXPECT_EQ(r.left, kMarker.size());
            EXPECT_TRUE(fb.guards_intact());
            const enc::image want = paste(enc::image(fb_w, fb_h, kUntouched), t.expected, x, y);
            if (t.tolerance == 0) {
                EXPECT_TRUE(same_image(want, fb.snapshot()));
            } else {
                EXPECT_LE(max_channel_diff(want, fb.snapshot()), t.tolerance);
                EXPECT_EQ(fb.at(x, y) >> 24, 0xFFu);  // the fourth byte as other pixels have it
            }
        }
    }
}

// Rectangles on one connection: streams continue across rectangles, each
// independently, until the server resets one and starts it afresh.
TEST(Tight, StreamsRunOnIndependentlyAndRestartOnReset) {
    const enc::image a = test_picture(30, 20, 1), b = test_picture(30, 20, 2);
    enc::tight_encoder e;
    struct step {
        const enc::image *img;
        enc::tight_filter filter;
        int stream;
        uint8_t resets;
    } steps[] = {{&a, enc::kTightCopy, 0, 0},     {&b, enc::kTightGradient, 1, 0},
                 {&b, enc::kTightCopy, 0, 0},     {&a, enc::kTightGradient, 1, 0},
                 {&a, enc::kTightCopy, 0, 1},     {&b, enc::kTightCopy, 2, 0b0110},
                 {&a, enc::kTightGradient, 3, 0}, {&b, enc::kTightGradient, 1, 0}};
    bytes stream;
    for (const step &s : steps) enc::append(stream, e.basic(*s.img, s.filter, s.stream, s.resets));
    guarded_fb fb(30, 20);
    tight_run run;
    stream_runner in(stream, &fb, run.setup());
    for (const step &s : steps) {
        ASSERT_EQ(in.next(decode_tight_rect, 0, 0, 30, 20), kDecodeOk);
        EXPECT_TRUE(same_image(*s.img, fb.snapshot()));
    }
    EXPECT_EQ(in.left(), 0u);
}

// What cannot be used is consumed and refused, the connection goes on.
// What leaves the payload's size unknown ends the stream, and so does zlib
// data that a stream cannot take, since every later rectangle on that
// stream depends on it.
TEST(Tight, RefusalsKeepTheStreamInStep) {
    const enc::image pic = test_picture(8, 6, 4);  // 144 bytes of copy data
    const bytes junk(300, 0x5A);
    auto with_length = [](uint8_t control, const bytes &data) {
        bytes out{control};
        enc::append(out, enc::tight_encoder::compact_length(static_cast<uint32_t>(data.size())));
        enc::append(out, data);
        return out;
    };
    struct refusal {
        const char *what;
        bytes payload;
        int rc;
        // Then a good rectangle on stream 0, with these resets: refused or ok.
        uint8_t resets;
        int then;
    } cases[] = {
        {"length over what the rectangle needs", with_length(0x00, bytes(1200, 1)), kDecodeBroken, 0, 0},
        {"data that does not inflate", with_length(0x00, bytes(40, 0xFF)), kDecodeBroken, 0, 0},
        {"on another stream", with_length(0x10, bytes(40, 0xFF)), kDecodeBroken, 0, 0},
        {"rows cut short", {}, kDecodeBroken, 0, 0},  // made below
        {"JPEG over what the rectangle can need", with_length(0x90, bytes(16384 + 8 * 6 * 4 + 1, 0)),
         kDecodeRefused, 0, kDecodeOk},
        {"JPEG that is not one", with_length(0x90, junk), kDecodeRefused, 0, kDecodeOk},
        {"JPEG of another size", with_length(0x90, enc::jpeg_encode(test_picture(9, 6, 1), 80, false)),
         kDecodeRefused, 0, kDecodeOk},
        // libjpeg's progressive picture of pic, kept as a file: WIC writes
        // none, and would decode it.
        {"progressive JPEG", with_length(0x90, read_data("tight-progressive-8x6.jpg")), kDecodeRefused, 0,
         kDecodeOk},
        {"unknown filter", {0x40, 3, 0, 0, 0}, kDecodeBroken, 0, 0},
        {"unknown kind", {0xA0, 0, 0, 0, 0}, kDecodeBroken, 0, 0},
        {"payload cut short", {0x00, 0x90, 0x01, 0x78}, kDecodeBroken, 0, 0},
    };
    for (const refusal &t : cases) {
        SCOPED_TRACE(t.what);
        // The stream has served a rectangle before, so "then" continues it.
        enc::tight_encoder e;
        bytes stream = e.basic(pic, enc::kTightCopy, 0);
        // Only the rectangle's first three rows, on the stream as it stands.
        enc::append(stream, t.payload.empty() ? e.frame(0x00, {}, enc::tight_encoder::filtered(
                                                                     pic.crop(0, 0, 8, 3), enc::kTightCopy), 0)
                                              : t.payload);
        const size_t end_of_refused = stream.size();
        if (t.rc == kDecodeRefused) enc::append(stream, e.basic(pic, enc::kTightCopy, 0, t.resets));
        guarded_fb fb(8, 6);
        tight_run run;
        stream_runner in(stream, &fb, run.setup());
        ASSERT_EQ(in.next(decode_tight_rect, 0, 0, 8, 6), kDecodeOk);
        EXPECT_EQ(in.next(decode_tight_rect, 0, 0, 8, 6), t.rc);
        EXPECT_TRUE(fb.guards_intact());
        if (t.rc != kDecodeRefused) continue;
        EXPECT_EQ(in.consumed(), end_of_refused);
        EXPECT_EQ(in.next(decode_tight_rect, 0, 0, 8, 6), t.then);
        EXPECT_EQ(in.left(), 0u);
        if (t.then == kDecodeOk) {
            EXPECT_TRUE(same_image(pic, fb.snapshot()));
        }
    }
}
