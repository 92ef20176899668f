// Writes a few valid inputs per fuzz target into <dir>/<target>/, built with
// the test-side encoders, so fuzzing starts from inputs that reach deep into
// each decoder. Layouts: fuzz_decoder.h (decoders), fuzz_messages.cpp.
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <string>

#include "encoders.h"

namespace {

using enc::bytes;

enc::image picture(int w, int h, uint32_t seed) {
    enc::image img(w, h);
    uint32_t s = seed * 2654435761u + 7;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            s = s * 1103515245u + 12345u;
            uint32_t v;
            switch ((x / 9 + y / 7 + static_cast<int>(seed)) % 4) {
            case 0: v = 0x102030; break;
            case 1: v = (x + y) % 3 ? 0xFFFFFF : 0x0000C0; break;
            case 2: v = 0x110000u * ((s >> 16) % 5); break;
            default: v = s >> 8; break;
            }
            img.at(x, y) = 0xFF000000u | (v & 0xFFFFFF);
        }
    return img;
}

// Decoder input: framebuffer size, then (header, payload) pairs.
struct decoder_input {
    bytes b;
    decoder_input(int fb_w, int fb_h) {
        enc::put_u8(b, fb_w - 1);
        enc::put_u8(b, fb_h - 1);
    }
    // Coordinates 0..127 are given as they are; 65535 - k as 128 + k.
    static uint8_t sel(int v) { return static_cast<uint8_t>(v < 128 ? v : 128 + (65535 - v)); }
    decoder_input &rect(int x, int y, int w, int h, uint8_t flags, const bytes &payload) {
        for (int v : {x, y, w, h}) enc::put_u8(b, sel(v));
        enc::put_u8(b, flags);
        enc::append(b, payload);
        return *this;
    }
};

bool write_file(const std::string &dir, const std::string &name, const bytes &b) {
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

// FramebufferUpdate message builder.
struct update {
    bytes b;
    explicit update(int count) {
        enc::put_u8(b, 0);
        enc::put_u8(b, 0);
        enc::put_u16(b, static_cast<uint32_t>(count));
    }
    update &rect(int x, int y, int w, int h, int32_t encoding, const bytes &payload) {
        for (int v : {x, y, w, h}) enc::put_u16(b, static_cast<uint32_t>(v));
        enc::put_u32(b, static_cast<uint32_t>(encoding));
        enc::append(b, payload);
        return *this;
    }
};

// Message fuzzer input: the option byte, then the stream.
bytes with_options(uint8_t options, const bytes &stream) {
    bytes b{options};
    enc::append(b, stream);
    return b;
}
constexpr uint8_t kCursorLocal = 1, kDesktopExtended = 2, kQemuKeys = 4, kClipboardUtf8 = 8;

bytes deflated(const bytes &plain) {
    uLongf n = compressBound(static_cast<uLong>(plain.size()));
    bytes b(n);
    if (compress2(b.data(), &n, plain.data(), static_cast<uLong>(plain.size()), 9) != Z_OK) return {};
    b.resize(n);
    return b;
}

// Cursor payload: w x h pixels, then the mask (rows padded to bytes).
bytes cursor_shape(int w, int h) {
    bytes b;
    for (int i = 0; i < w * h; ++i) enc::put_pixel(b, 0xFF000000u | (0x40302u * i));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < (w + 7) / 8; ++x) enc::put_u8(b, y % 2 ? 0xA5 : 0xFF);
    return b;
}

// ExtendedDesktopSize payload: the screen count, padding, screens of
// id, x, y, w, h, flags.
bytes screens(const std::vector<std::array<uint32_t, 6>> &list) {
    bytes b;
    enc::append(b, {static_cast<uint8_t>(list.size()), 0, 0, 0});
    for (const auto &s : list) {
        enc::put_u32(b, s[0]);
        for (int i = 1; i < 5; ++i) enc::put_u16(b, s[i]);
        enc::put_u32(b, s[5]);
    }
    return b;
}

// Extended Clipboard flags.
constexpr uint32_t kText = 1, kRtf = 2, kHtml = 4, kCaps = 1u << 24, kRequest = 1u << 25,
                   kPeek = 1u << 26, kNotify = 1u << 27, kProvide = 1u << 28;
constexpr uint32_t kAllActions = kCaps | kRequest | kPeek | kNotify | kProvide;

// The body of a provide: for each format a u32 size and its data.
bytes provide_body(const std::vector<std::string> &formats) {
    bytes b;
    for (const std::string &f : formats) {
        enc::put_u32(b, static_cast<uint32_t>(f.size()));
        b.insert(b.end(), f.begin(), f.end());
    }
    return b;
}

// A ServerCutText with an Extended Clipboard payload (flags, then body).
bytes ext_cut_text(uint32_t flags, const bytes &body) {
    bytes b{3, 0, 0, 0};
    enc::put_u32(b, static_cast<uint32_t>(-static_cast<int64_t>(4 + body.size())));
    enc::put_u32(b, flags);
    enc::append(b, body);
    return b;
}

// A fuzz_clipboard record: op, u16 length, bytes.
bytes clip_record(uint8_t op, const bytes &b) {
    bytes r{op};
    enc::put_u16(r, static_cast<uint32_t>(b.size()));
    enc::append(r, b);
    return r;
}
bytes server_clip(uint32_t flags, const bytes &body, bool deflate = false) {
    bytes b;
    enc::put_u32(b, flags);
    enc::append(b, body);
    return clip_record(deflate ? 2 : 0, b);
}
bytes host_text(const std::string &t) { return clip_record(1, bytes(t.begin(), t.end())); }

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    mkdir(root.c_str(), 0755);
    bool ok = true;

    {
        const std::string d = root + "/copyrect";
        ok &= write_file(d, "moves",
                         decoder_input(32, 24)
                             .rect(4, 5, 10, 6, 0, enc::copyrect(3, 4))
                             .rect(3, 4, 10, 6, 0, enc::copyrect(4, 5))
                             .rect(0, 0, 32, 24, 0, enc::copyrect(0, 0))
                             .b);
        ok &= write_file(d, "refused",
                         decoder_input(32, 24)
                             .rect(30, 0, 5, 5, 0, enc::copyrect(0, 0))
                             .rect(0, 0, 5, 5, 0, enc::copyrect(65535, 3))
                             .rect(1, 1, 2, 2, 1, enc::copyrect(0, 0))
                             .b);
        ok &= write_file(d, "edge",
                         decoder_input(64, 64)
                             .rect(0, 0, 64, 63, 0, enc::copyrect(0, 1))
                             .rect(63, 63, 1, 1, 0, enc::copyrect(0, 0))
                             .rect(0, 0, 0, 0, 0, enc::copyrect(65535, 65535))
                             .b);
    }
    {
        const std::string d = root + "/rre";
        ok &= write_file(
            d, "picture",
            decoder_input(40, 30).rect(3, 4, 20, 15, 0, enc::rre_encode(picture(20, 15, 1))).b);
        ok &= write_file(
            d, "edges",
            decoder_input(40, 30)
                .rect(30, 25, 20, 20, 0,
                      enc::rre(0xFF000001, {{0xFF000002, 5, 2, 30, 1}, {0xFF000003, 0, 0, 1, 200}}))
                .rect(65535, 0, 9, 9, 0, enc::rre(5, {}))
                .rect(0, 0, 9, 9, 1, enc::rre(6, {{7, 1, 1, 1, 1}}))
                .b);
        ok &= write_file(
            d, "far",
            decoder_input(64, 64)
                .rect(65535, 65535, 65535, 65535, 0, enc::rre(1, {{2, 65535, 65535, 65535, 65535}}))
                .rect(60, 60, 127, 127, 0, enc::rre(3, {{4, 0, 0, 127, 1}}))
                .b);
    }
    {
        const std::string d = root + "/hextile";
        ok &= write_file(d, "picture",
                         decoder_input(48, 40)
                             .rect(0, 0, 40, 20, 0, enc::hextile_encode(picture(40, 20, 2)))
                             .rect(20, 30, 40, 20, 0, enc::hextile_encode(picture(40, 20, 3)))
                             .b);
        std::vector<enc::hextile_tile> tiles(4);
        tiles[0].background = 0xFF0000A0;
        tiles[0].foreground = 0xFF00B000;
        tiles[0].subrects = {{0, 8, 0, 16, 1}};
        tiles[1].raw = true;
        tiles[1].pixels.assign(16 * 16, 0xFFC00000);
        tiles[1].extra_bits = 0xF0;
        tiles[3].coloured = true;
        tiles[3].subrects = {{0xFF123456, 2, 2, 3, 3}, {0xFF654321, 15, 15, 16, 16}};
        ok &= write_file(d, "carry",
                         decoder_input(64, 16).rect(0, 0, 64, 16, 0, enc::hextile(tiles)).b);
        ok &= write_file(d, "clipped",
                         decoder_input(30, 20)
                             .rect(21, 9, 33, 17, 0, enc::hextile_encode(picture(33, 17, 13)))
                             .rect(65535, 5, 20, 20, 1, enc::hextile_encode(picture(20, 20, 14)))
                             .b);
    }
    {
        const std::string d = root + "/zrle";
        enc::zrle_stream s;
        ok &= write_file(
            d, "kinds",
            decoder_input(64, 64)
                .rect(0, 0, 70, 40, 0, s.rect(enc::zrle_encode(picture(70, 40, 4))))
                .rect(10, 10, 20, 20, 0, s.rect(enc::zrle_encode(picture(20, 20, 5), 3, 2)))
                .rect(5, 50, 30, 12, 0, s.rect(enc::zrle_encode(picture(30, 12, 6), 3, 129)))
                .rect(40, 40, 30, 30, 0, s.rect(enc::zrle_encode(picture(30, 30, 7), 3, 128)))
                .rect(0, 0, 0, 5, 0, s.rect(enc::zrle_tiles().solid(1).data()))
                .b);
        enc::zrle_stream s4;
        enc::zrle_tiles runs(4);
        runs.plain_rle({{0x11223344, 300}, {0x55667788, 5000}});
        runs.palette_rle({1, 2, 3, 4, 5}, {{127, 1}, {2, 300}, {4, 100000}});
        runs.packed({1, 2}, std::vector<uint8_t>(64 * 10, 1), 64);
        runs.solid(0x99AABBCC);
        // Tiles 64x64, 36x64, 64x10, 36x10.
        ok &= write_file(d, "runs", decoder_input(60, 64).rect(0, 0, 100, 74, 2, s4.rect(runs)).b);
        enc::zrle_stream sc;
        ok &= write_file(
            d, "clipped",
            decoder_input(50, 40)
                .rect(30, 20, 100, 70, 0, sc.rect(enc::zrle_encode(picture(100, 70, 15))))
                .rect(65535, 65535, 65535, 65535, 0,
                      sc.rect(enc::zrle_tiles().solid(5).solid(6).data()))
                .rect(1, 1, 2, 2, 4, sc.rect(enc::zrle_tiles().solid(7).data()))
                .b);
    }
    {
        // Every Tight mode on the four streams, a reset, and JPEG pictures
        // (a whole one, one cut short, one of another size).
        const std::string d = root + "/tight";
        enc::tight_encoder t;
        const enc::image a = picture(30, 20, 21), flat = picture(12, 9, 22);
        const bytes photo = enc::jpeg_encode(picture(16, 16, 23), 80);
        bytes cut = photo;
        cut.resize(cut.size() / 2);
        const std::vector<uint32_t> two = {0xFF102030u, 0xFFFFFFFFu};
        enc::image mono(13, 7);
        for (size_t i = 0; i < mono.px.size(); ++i) mono.px[i] = two[(i * 7 / 3) % 2];
        ok &= write_file(
            d, "kinds",
            decoder_input(64, 64)
                .rect(0, 0, 30, 20, 0, t.basic(a, enc::kTightCopy, 0, 0, {}, false))
                .rect(5, 5, 30, 20, 0, t.basic(a, enc::kTightGradient, 1))
                .rect(2, 40, 13, 7, 0, t.basic(mono, enc::kTightPalette, 2, 0, two))
                .rect(50, 50, 30, 20, 0, t.basic(a, enc::kTightCopy, 0, 1))
                .rect(1, 1, 3, 1, 0, t.basic(a.crop(0, 0, 3, 1), enc::kTightCopy, 3))
                .rect(60, 60, 12, 9, 0, t.fill(0xFF00FF00u))
                .rect(0, 30, 12, 9, 0, t.basic(flat, enc::kTightCopy, 3))
                .b);
        ok &= write_file(d, "jpeg",
                         decoder_input(40, 40)
                             .rect(4, 4, 16, 16, 0, t.jpeg(photo))
                             .rect(30, 30, 16, 16, 0, t.jpeg(photo))
                             .rect(0, 0, 16, 16, 0, t.jpeg(cut))
                             .rect(0, 0, 8, 16, 0, t.jpeg(photo))
                             .b);
    }
    {
        const std::string d = root + "/messages";
        enc::zrle_stream s;
        update u(7);
        u.rect(1, 2, 4, 3, 0, enc::raw(picture(4, 3, 8)));
        u.rect(10, 10, 8, 8, 1, enc::copyrect(0, 0));
        u.rect(20, 5, 30, 20, 2, enc::rre_encode(picture(30, 20, 9)));
        u.rect(40, 30, 40, 20, 5, enc::hextile_encode(picture(40, 20, 10)));
        u.rect(0, 40, 70, 24, 16, s.rect(enc::zrle_encode(picture(70, 24, 11))));
        u.rect(0, 0, 120, 80, -223, {});
        u.rect(100, 70, 30, 20, 16, s.rect(enc::zrle_encode(picture(30, 20, 12))));
        ok &= write_file(d, "update", with_options(0, u.b));

        bytes other;
        enc::append(other,
                    {1, 0, 0, 0, 0, 2, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});  // colour map
        enc::put_u8(other, 2);                                                   // bell
        enc::append(other, {3, 0, 0, 0, 0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o'});   // cut text
        enc::append(other, update(2).rect(0, 0, 2, 2, 7, {}).rect(0, 0, 1, 1, 0, {1, 2, 3, 4}).b);
        ok &= write_file(d, "other", with_options(0, other));
        // The same with every extension on: the cut text is still Latin-1.
        ok &= write_file(d, "other_extended", with_options(15, other));

        // The messages read in step though not asked for (a fence, its
        // request, the end of continuous updates, xvp), a rename, then an
        // encoding and a message type that end the stream.
        bytes fences;
        enc::append(fences, {248, 0, 0, 0, 0, 0, 0, 3, 2, 7, 8});
        enc::append(fences, {248, 0, 0, 0, 0x80, 0, 0, 7, 3, 'a', 'b', 'c', 150, 250, 0, 1, 1});
        enc::append(fences, update(3)
                                .rect(0, 0, 0, 0, -307, {0, 0, 0, 4, 'n', 'a', 'm', 'e'})
                                .rect(0, 0, 1, 1, 0, {1, 2, 3, 4})
                                .rect(0, 0, 2, 2, 6, {1, 2, 3, 4})
                                .b);
        ok &= write_file(d, "fence_xvp_unknown_encoding", with_options(0, fences));
        ok &= write_file(d, "unknown_type", with_options(0, {150, 77, 0, 0, 0, 0}));

        // ZRLE rectangles in two messages continue one zlib stream.
        enc::zrle_stream s2;
        bytes two =
            update(1).rect(0, 0, 64, 64, 16, s2.rect(enc::zrle_encode(picture(64, 64, 16)))).b;
        enc::append(two,
                    update(2)
                        .rect(80, 50, 30, 30, 16, s2.rect(enc::zrle_encode(picture(30, 30, 17))))
                        .rect(0, 0, 5, 5, 16, s2.rect(enc::zrle_tiles().solid(9).data()))
                        .b);
        ok &= write_file(d, "zrle_stream", with_options(0, two));

        // Cursor shapes: small, hidden (zero size), then one over the
        // limit whose payload is cut short.
        ok &= write_file(d, "cursor",
                         with_options(kCursorLocal, update(5)
                                                        .rect(1, 1, 3, 2, -239, cursor_shape(3, 2))
                                                        .rect(4, 0, 9, 3, -239, cursor_shape(9, 3))
                                                        .rect(0, 0, 0, 0, -239, {})
                                                        .rect(0, 0, 2, 2, 0, enc::raw(picture(2, 2, 18)))
                                                        .rect(0, 0, 513, 512, -239, cursor_shape(3, 3))
                                                        .b));
        ok &= write_file(d, "qemu_keys",
                         with_options(kQemuKeys, update(2)
                                                     .rect(0, 0, 0, 0, -258, {})
                                                     .rect(0, 0, 1, 1, 0, {1, 2, 3, 4})
                                                     .b));
        // Layouts of no, one and several screens, the answer to a request
        // with an error status, and one of the same size.
        ok &= write_file(
            d, "desktop_layouts",
            with_options(kDesktopExtended,
                         update(6)
                             .rect(0, 0, 80, 60, -308, screens({}))
                             .rect(0, 0, 80, 60, -308, screens({{7, 0, 0, 80, 60, 0}}))
                             .rect(2, 0, 200, 100, -308,
                                   screens({{1, 0, 0, 100, 100, 0}, {2, 100, 0, 100, 50, 1},
                                            {3, 100, 50, 100, 50, 0xFFFFFFFF}}))
                             .rect(1, 3, 40, 40, -308, screens({{1, 0, 0, 40, 40, 0}}))
                             .rect(1, 0, 64, 48, -308, screens({{1, 0, 0, 64, 48, 0}}))
                             .rect(3, 3, 4, 4, 0, enc::raw(picture(4, 4, 19)))
                             .b));
        ok &= write_file(d, "desktop_over_limit",
                         with_options(kDesktopExtended,
                                      update(2)
                                          .rect(0, 0, 65535, 65535, -308,
                                                screens({{1, 0, 0, 65535, 65535, 0}}))
                                          .rect(0, 0, 1, 1, 0, {1, 2, 3, 4})
                                          .b));
        // Extended Clipboard: the server's caps, then each action, and a
        // provide with text in its zlib stream.
        bytes clip;
        enc::append(clip, ext_cut_text(kProvide | kText,
                                       deflated(provide_body({std::string("early\0", 6)}))));
        bytes caps;
        enc::put_u32(caps, 0x10000);
        enc::put_u32(caps, 0x400);
        // Three formats named, two sizes given.
        enc::append(clip, ext_cut_text(kAllActions | kText | kRtf | kHtml, caps));
        enc::append(clip, ext_cut_text(kRequest | kText, {}));
        enc::append(clip, ext_cut_text(kPeek, {}));
        enc::append(clip, ext_cut_text(kNotify | kText, {}));
        enc::append(clip, ext_cut_text(kProvide | kText | kHtml,
                                       deflated(provide_body({std::string("gr\xC3\xBC\xC3\x9F\r\nline\0", 13),
                                                              std::string("<b>x</b>\0", 9)}))));
        enc::append(clip, {3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFE, 1, 2});  // shorter than its flags
        enc::append(clip, {3, 0, 0, 0, 0, 0, 0, 3, 'a', 'b', 0xE9});  // Latin-1 still
        ok &= write_file(d, "clipboard", with_options(kClipboardUtf8, clip));
        // Provides that lie: a size past the end of the stream, a stream
        // that is not one, text that is not UTF-8.
        bytes lying = ext_cut_text(kCaps | kText | kProvide, caps);
        bytes short_text;
        enc::put_u32(short_text, 4096);
        short_text.insert(short_text.end(), {'s', 'h', 'o', 'r', 't'});
        enc::append(lying, ext_cut_text(kProvide | kText, deflated(short_text)));
        enc::append(lying, ext_cut_text(kProvide | kText, {0x78, 0x9C, 1, 2, 3, 4, 5}));
        enc::append(lying, ext_cut_text(kProvide | kText,
                                        deflated(provide_body({std::string("\xC3(\xFF\0", 4)}))));
        enc::append(lying, ext_cut_text(kProvide | kText, deflated({0xFF, 0xFF, 0xFF, 0xFF, 'x'})));
        ok &= write_file(d, "clipboard_lying", with_options(kClipboardUtf8, lying));
        // Everything at once.
        bytes all = update(3)
                        .rect(0, 0, 2, 2, -239, cursor_shape(2, 2))
                        .rect(0, 0, 0, 0, -258, {})
                        .rect(0, 0, 90, 60, -308, screens({{5, 0, 0, 90, 60, 0}}))
                        .b;
        enc::append(all, ext_cut_text(kCaps | kText | kNotify | kProvide, caps));
        ok &= write_file(d, "extended_all", with_options(15, all));
    }
    {
        // fuzz_clipboard records.
        const std::string d = root + "/clipboard";
        bytes caps;
        enc::put_u32(caps, 0x10000);
        bytes actions;
        enc::append(actions, server_clip(kAllActions | kText, caps));
        enc::append(actions, host_text("one\ntwo\r\nthree\n"));
        enc::append(actions, server_clip(kRequest | kText, {}));
        enc::append(actions, server_clip(kPeek | kText, {}));
        enc::append(actions, server_clip(kNotify | kText, {}));
        enc::append(actions,
                    server_clip(kProvide | kText,
                                provide_body({std::string("gr\xC3\xBC\xC3\x9F\r\nzwei\0", 13)}), true));
        ok &= write_file(d, "actions", actions);

        bytes formats;
        bytes sizes;
        for (uint32_t v : {0x1000u, 0x2000u, 0x3000u}) enc::put_u32(sizes, v);
        enc::append(formats, server_clip(kCaps | kText | kRtf | kHtml | kProvide | kNotify, sizes));
        enc::append(formats, server_clip(kCaps | 0xFFFF, {0, 0, 0, 9}));  // sizes cut short
        enc::append(formats,
                    server_clip(kProvide | kText | kRtf | kHtml,
                                provide_body({std::string("text\0", 5), std::string("{\\rtf1}\0", 8),
                                              std::string("<p>\0", 4)}),
                                true));
        enc::append(formats, server_clip(kProvide | kRtf, provide_body({std::string("r\0", 2)}), true));
        enc::append(formats, host_text("caf\xC3\xA9"));
        enc::append(formats, host_text("\xE9 not UTF-8"));
        enc::append(formats, server_clip(kRequest | kText | kRtf, {}));
        ok &= write_file(d, "formats", formats);

        bytes lying;
        enc::append(lying, server_clip(kCaps | kText | kProvide, caps));
        bytes short_text;
        enc::put_u32(short_text, 4096);
        short_text.insert(short_text.end(), {'s', 'h', 'o', 'r', 't'});
        enc::append(lying, server_clip(kProvide | kText, short_text, true));
        enc::append(lying, server_clip(kProvide | kText, {0xFF, 0xFF, 0xFF, 0xFF}, true));
        enc::append(lying, server_clip(kProvide | kText, {0x78, 0x9C, 0, 0, 0}));  // not deflated
        enc::append(lying, server_clip(kProvide | kText, {0, 0, 0, 3, 'a', 0, 'b'}, true));
        enc::append(lying, server_clip(kProvide | kText, {0, 0, 0, 2, 0xC0, 0x80}, true));
        ok &= write_file(d, "lying", lying);

        // Actions before the server's caps are ignored; the host's text is not kept.
        bytes early;
        enc::append(early, host_text("early"));
        enc::append(early, server_clip(kRequest | kText, {}));
        enc::append(early, server_clip(kProvide | kText, provide_body({std::string("x\0", 2)}), true));
        enc::append(early, server_clip(kCaps, {}));
        enc::append(early, server_clip(kPeek, {}));
        ok &= write_file(d, "before_caps", early);
    }
    {
        // First byte: bits 0-1 the version (0 3.3, 1 3.7, 2 3.8), 2-4 the
        // host's list (fuzz_handshake.cpp), 5 a password.
        const std::string d = root + "/handshake";
        const bytes challenge(16, 7);
        const auto seed = [&](const char *name, uint8_t head, bytes b) {
            b.insert(b.begin(), head);
            ok &= write_file(d, name, b);
        };
        const auto with = [](bytes a, const bytes &b) {
            a.insert(a.end(), b.begin(), b.end());
            return a;
        };
        seed("vncauth", 2 | 0x20, with({2, 1, 2}, challenge));
        seed("v33_vncauth", 0 | 0x20, with({0, 0, 0, 2}, challenge));
        seed("refused", 1, {0, 0, 0, 0, 4, 'n', 'o', 'p', 'e'});
        seed("vencrypt_all", 2 | (1 << 2) | 0x20,
             {1, 19, 0, 2, 0, 7, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 2, 0, 0, 1, 3, 0, 0, 1, 4, 0, 0,
              1, 5, 0, 0, 1, 6, 1});
        seed("vencrypt_plain", 2 | (2 << 2) | 0x20, {1, 19, 0, 2, 0, 1, 0, 0, 1, 0});
        seed("vencrypt_old", 2 | (3 << 2), {1, 19, 0, 1});
        seed("vencrypt_bad_ack", 2 | (5 << 2), {2, 19, 1, 0, 2, 1});
        seed("anontls", 2 | (4 << 2), {2, 18, 2});
    }
    if (!ok) {
        std::fprintf(stderr, "could not write the corpus under %s\n", root.c_str());
        return 1;
    }
    return 0;
}
