// The decoders behind a real connection: a scripted server announces one
// encoding, sends rectangles in it, and the client's framebuffer, dirty
// rectangle and requests are checked.
#include <gtest/gtest.h>

#include <chrono>

#include "decode_harness.h"
#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "test_util.h"
#include "vnc_jpeg.h"

namespace {

Bytes update_header(int count) { return Bytes().u8(0).u8(0).u16(count); }

std::vector<uint8_t> request(int incremental, int w, int h) {
    return {3,
            static_cast<uint8_t>(incremental),
            0,
            0,
            0,
            0,
            static_cast<uint8_t>(w >> 8),
            static_cast<uint8_t>(w),
            static_cast<uint8_t>(h >> 8),
            static_cast<uint8_t>(h)};
}

std::vector<uint8_t> set_encodings(std::initializer_list<int32_t> list) {
    Bytes b;
    b.u8(2).u8(0).u16(static_cast<uint32_t>(list.size()));
    for (int32_t e : list) b.s32(e);
    return b.vec();
}

struct client {
    vnc_client_t *c = vnc_create();
    ~client() { vnc_destroy(c); }

    void connect(ScriptedServer &s, std::initializer_list<int32_t> encodings) {
        const std::vector<int32_t> list(encodings);
        vnc_set_encodings_for_testing(c, list.data(), static_cast<int>(list.size()));
        s.start();
        ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", s.port(), nullptr));
    }
    enc::image framebuffer() {
        void *px;
        int stride, w, h;
        enc::image img;
        if (vnc_lock_framebuffer(c, &px, &stride, &w, &h) == 0) {
            img = enc::image(w, h);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    img.at(x, y) = static_cast<uint32_t *>(px)[y * (stride / 4) + x];
        }
        vnc_unlock_framebuffer(c);
        return img;
    }
    std::vector<int> dirty() {
        int x, y, w, h;
        if (vnc_get_dirty_rect(c, &x, &y, &w, &h) != 1) return {};
        return {x, y, w, h};
    }
};

// Payload of pic in the given encoding; ZRLE continues `z`, Tight `t`.
Bytes payload(int32_t encoding, const enc::image &pic, enc::zrle_stream &z,
              enc::tight_encoder &t) {
    switch (encoding) {
    case 7: return Bytes().raw(t.basic(pic, enc::kTightGradient, 1));
    case 2: return Bytes().raw(enc::rre_encode(pic));
    case 5: return Bytes().raw(enc::hextile_encode(pic));
    default: return Bytes().raw(z.rect(enc::zrle_encode(pic)));
    }
}

}  // namespace

// Two updates per encoding: a rectangle inside, one reaching past the
// bottom-right corner (clipped, and the stream stays in step), then one in a
// later message (for ZRLE and Tight, continuing the same zlib stream). The
// Tight update ends early, in a LastRect.
TEST(DecodeWorker, EachEncodingDecodesThroughAConnection) {
    for (int32_t encoding : {2, 5, 7, 16}) {
        SCOPED_TRACE(encoding);
        const enc::image a = test_picture(40, 30, 1), b = test_picture(40, 30, 2),
                         c = test_picture(10, 10, 3);
        enc::zrle_stream z;
        enc::tight_encoder t;
        Bytes u1 = update_header(encoding == 7 ? 0xFFFF : 2);
        u1.rect(5, 5, 40, 30, encoding).raw(payload(encoding, a, z, t).vec());
        u1.rect(60, 40, 40, 30, encoding).raw(payload(encoding, b, z, t).vec());
        if (encoding == 7) u1.rect(0, 0, 0, 0, kEncodingLastRect);
        Bytes u2 = update_header(1);
        u2.rect(0, 0, 10, 10, encoding).raw(payload(encoding, c, z, t).vec());

        ScriptedServer s;
        s.handshake(80, 60, "t", 1).send(u1).read(10).gate().send(u2).read(10);
        client k;
        k.connect(s, {encoding});
        ASSERT_TRUE(wait_until([&] { return s.reads().size() >= 7; }));
        EXPECT_EQ((std::vector<int>{5, 5, 75, 55}), k.dirty());
        s.open_gate();
        ASSERT_TRUE(s.wait_done());
        ASSERT_TRUE(s.ok()) << s.error();
        EXPECT_EQ(set_encodings({encoding}), s.read_at(4));
        EXPECT_EQ(request(1, 80, 60), s.read_at(6));
        EXPECT_EQ(request(1, 80, 60), s.read_at(7));
        EXPECT_TRUE(wait_until([&] { return k.framebuffer().at(9, 9) == c.at(9, 9); }));
        enc::image want(80, 60, 0);
        want = paste(want, a, 5, 5);
        want = paste(want, b, 60, 40);
        want = paste(want, c, 0, 0);
        EXPECT_TRUE(same_image(want, k.framebuffer()));
        EXPECT_EQ((std::vector<int>{0, 0, 10, 10}), k.dirty());
    }
}

// Tight's JPEG on the worker thread (on Windows its own COM and WIC, kept
// from one rectangle to the next): inside, past the corner, then again in a
// later update; each within the decoder's tolerance.
TEST(DecodeWorker, TightJpegThroughAConnection) {
    if (!vnc_jpeg_available()) GTEST_SKIP() << "this build decodes no JPEG";
    const enc::image smooth = smooth_picture();
    const enc::bytes jpeg = enc::tight_encoder().jpeg(read_data("tight-smooth-q95.jpg"));
    Bytes u1 = update_header(2);
    u1.rect(5, 5, 40, 30, 7).raw(jpeg).rect(60, 40, 40, 30, 7).raw(jpeg);
    Bytes u2 = update_header(1);
    u2.rect(20, 10, 40, 30, 7).raw(jpeg);
    ScriptedServer s;
    s.handshake(80, 60, "t", 1).send(u1).read(10).gate().send(u2).read(10);
    client k;
    k.connect(s, {7});
    const enc::image want = paste(paste(enc::image(80, 60, 0), smooth, 5, 5), smooth, 60, 40);
    EXPECT_TRUE(wait_until([&] { return max_channel_diff(want, k.framebuffer()) <= 8; }))
        << max_channel_diff(want, k.framebuffer());
    s.open_gate();
    ASSERT_TRUE(s.wait_done());
    ASSERT_TRUE(s.ok()) << s.error();
    const enc::image then = paste(want, smooth, 20, 10);
    EXPECT_TRUE(wait_until([&] { return max_channel_diff(then, k.framebuffer()) <= 8; }))
        << max_channel_diff(then, k.framebuffer());
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(k.c));
}

// A refused CopyRect is not marked dirty and the next rectangle is read in
// step; an accepted one copies what Raw drew.
TEST(DecodeWorker, CopyRectThroughAConnection) {
    const enc::image pic = test_picture(20, 10, 4);
    Bytes u = update_header(4);
    u.rect(0, 0, 20, 10, 0).raw(enc::raw(pic));
    u.rect(10, 20, 20, 10, 1).u16(0).u16(0);
    u.rect(50, 50, 20, 5, 1).u16(70).u16(0);  // source reaches x 90 of 80
    u.rect(30, 30, 1, 1, 0).pixel(0xFF00FF00);
    ScriptedServer s;
    s.handshake(80, 60, "t", 2).send(u).read(10);
    client k;
    k.connect(s, {1, 0});
    ASSERT_TRUE(s.wait_done());
    ASSERT_TRUE(s.ok()) << s.error();
    EXPECT_EQ(set_encodings({1, 0}), s.read_at(4));
    EXPECT_EQ((std::vector<int>{0, 0, 31, 31}), k.dirty());
    enc::image want(80, 60, 0);
    want = paste(want, pic, 0, 0);
    want = paste(want, pic, 10, 20);
    want.at(30, 30) = 0xFF00FF00;
    EXPECT_TRUE(same_image(want, k.framebuffer()));
}

// A disconnect while the worker waits inside a rectangle's payload does not
// wait for the payload's read timeout.
TEST(DecodeWorker, DisconnectDuringPayloadIsPrompt) {
    for (int32_t encoding : {2, 5, 16}) {
        SCOPED_TRACE(encoding);
        Bytes u = update_header(1).rect(0, 0, 64, 64, encoding);
        if (encoding == 2) u.u32(1000).pixel(1);      // 1000 subrectangles announced
        if (encoding == 5) u.u8(0);                   // first of 16 tiles
        if (encoding == 16) u.u32(5000).fill(10, 0);  // 5000 compressed bytes announced
        ScriptedServer s;
        s.handshake(64, 64, "t", 1).send(u).gate();
        client k;
        k.connect(s, {encoding});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(0, vnc_disconnect(k.c));
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - t0)
                            .count();
        EXPECT_LT(ms, kPayloadTimeoutMs / 2);
        EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(k.c));
        s.open_gate();
    }
}
