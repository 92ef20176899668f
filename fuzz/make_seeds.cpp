// Writes a few valid inputs per fuzz target into <dir>/<target>/, built with
// the test-side encoders, so fuzzing starts from inputs that reach deep into
// each decoder. Layouts: fuzz_decoder.h (decoders), fuzz_messages.cpp.
#include <sys/stat.h>

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
        ok &= write_file(d, "update", u.b);

        bytes other;
        enc::append(other,
                    {1, 0, 0, 0, 0, 2, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});  // colour map
        enc::put_u8(other, 2);                                                   // bell
        enc::append(other, {3, 0, 0, 0, 0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o'});   // cut text
        enc::append(other, update(2).rect(0, 0, 2, 2, 7, {}).rect(0, 0, 1, 1, 0, {1, 2, 3, 4}).b);
        ok &= write_file(d, "other", other);

        // ZRLE rectangles in two messages continue one zlib stream.
        enc::zrle_stream s2;
        bytes two =
            update(1).rect(0, 0, 64, 64, 16, s2.rect(enc::zrle_encode(picture(64, 64, 16)))).b;
        enc::append(two,
                    update(2)
                        .rect(80, 50, 30, 30, 16, s2.rect(enc::zrle_encode(picture(30, 30, 17))))
                        .rect(0, 0, 5, 5, 16, s2.rect(enc::zrle_tiles().solid(9).data()))
                        .b);
        ok &= write_file(d, "zrle_stream", two);
    }
    if (!ok) {
        std::fprintf(stderr, "could not write the corpus under %s\n", root.c_str());
        return 1;
    }
    return 0;
}
