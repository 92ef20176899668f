#include "interop_image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

namespace interop {

Image Image::crop(int x, int y, int w, int h) const {
    Image out(w, h);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) out.at(c, r) = at(x + c, y + r);
    return out;
}

size_t Image::distinct_colours() const {
    std::unordered_set<uint32_t> seen(px.begin(), px.end());
    return seen.size();
}

std::string Rect::str() const {
    char buf[96];
    std::snprintf(buf, sizeof buf, "(%d,%d %dx%d)", x, y, w, h);
    return buf;
}

namespace {

uint32_t be32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Scales the field selected by mask to 8 bits.
uint32_t channel(uint32_t value, uint32_t mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    int bits = 0;
    while ((mask >> (shift + bits)) & 1) ++bits;
    const uint32_t v = (value & mask) >> shift;
    if (bits == 8) return v;
    const uint32_t max = (1u << bits) - 1;
    return (v * 255 + max / 2) / max;
}

}  // namespace

bool parse_xwd(const std::string &data, Image *out, std::string *error) {
    // The header is 25 big-endian 32-bit fields followed by the window name.
    enum {
        kHeaderSize,
        kVersion,
        kFormat,
        kDepth,
        kWidth,
        kHeight,
        kXOffset,
        kByteOrder,
        kBitmapUnit,
        kBitmapBitOrder,
        kBitmapPad,
        kBitsPerPixel,
        kBytesPerLine,
        kVisualClass,
        kRedMask,
        kGreenMask,
        kBlueMask,
        kBitsPerRgb,
        kColormapEntries,
        kNColors,
        kFieldCount = 25
    };
    auto fail = [&](const char *why) {
        if (error) *error = why;
        return false;
    };
    if (data.size() < kFieldCount * 4) return fail("XWD: short header");
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.data());
    uint32_t f[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) f[i] = be32(bytes + 4 * i);
    if (f[kVersion] != 7) return fail("XWD: not version 7");
    if (f[kFormat] != 2) return fail("XWD: not a ZPixmap");
    const uint32_t bpp = f[kBitsPerPixel];
    if (bpp != 32 && bpp != 24) return fail("XWD: only 24 and 32 bits per pixel are handled");
    if (f[kVisualClass] != 4 && f[kVisualClass] != 5) return fail("XWD: not TrueColor/DirectColor");
    const uint64_t width = f[kWidth], height = f[kHeight], line = f[kBytesPerLine];
    if (width == 0 || height == 0 || width > 16384 || height > 16384) return fail("XWD: bad size");
    if (line < width * (bpp / 8)) return fail("XWD: bytes per line too small");
    const uint64_t pixels_at = static_cast<uint64_t>(f[kHeaderSize]) + 12ull * f[kNColors];
    if (pixels_at + line * height > data.size()) return fail("XWD: truncated pixel data");

    Image img(static_cast<int>(width), static_cast<int>(height));
    const bool msb_first = f[kByteOrder] == 1;
    const unsigned step = bpp / 8;
    for (uint64_t y = 0; y < height; ++y) {
        const unsigned char *row = bytes + pixels_at + y * line;
        for (uint64_t x = 0; x < width; ++x) {
            const unsigned char *p = row + x * step;
            uint32_t v = 0;
            for (unsigned b = 0; b < step; ++b)
                v |= static_cast<uint32_t>(p[b]) << (msb_first ? 8 * (step - 1 - b) : 8 * b);
            img.at(static_cast<int>(x), static_cast<int>(y)) = channel(v, f[kRedMask]) << 16 |
                                                               channel(v, f[kGreenMask]) << 8 |
                                                               channel(v, f[kBlueMask]);
        }
    }
    *out = std::move(img);
    return true;
}

bool parse_ppm(const std::string &data, Image *out, std::string *error) {
    size_t pos = 0;
    auto fail = [&](const char *why) {
        if (error) *error = why;
        return false;
    };
    // Header fields are separated by whitespace; '#' starts a comment line.
    auto next_token = [&]() -> std::string {
        for (;;) {
            while (pos < data.size() && isspace(static_cast<unsigned char>(data[pos]))) ++pos;
            if (pos < data.size() && data[pos] == '#') {
                while (pos < data.size() && data[pos] != '\n') ++pos;
                continue;
            }
            break;
        }
        const size_t start = pos;
        while (pos < data.size() && !isspace(static_cast<unsigned char>(data[pos]))) ++pos;
        return data.substr(start, pos - start);
    };
    if (next_token() != "P6") return fail("PPM: not P6");
    const int w = std::atoi(next_token().c_str());
    const int h = std::atoi(next_token().c_str());
    const int maxval = std::atoi(next_token().c_str());
    if (w <= 0 || h <= 0 || maxval != 255) return fail("PPM: bad header");
    ++pos;  // the single whitespace byte before the raster
    if (pos + static_cast<size_t>(w) * h * 3 > data.size()) return fail("PPM: truncated");
    Image img(w, h);
    const auto *p = reinterpret_cast<const unsigned char *>(data.data()) + pos;
    for (size_t i = 0; i < img.px.size(); ++i, p += 3)
        img.px[i] = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
    *out = std::move(img);
    return true;
}

std::string to_ppm(const Image &img) {
    std::string out =
        "P6\n" + std::to_string(img.width) + " " + std::to_string(img.height) + "\n255\n";
    out.reserve(out.size() + img.px.size() * 3);
    for (uint32_t v : img.px) {
        out += static_cast<char>(v >> 16 & 0xFF);
        out += static_cast<char>(v >> 8 & 0xFF);
        out += static_cast<char>(v & 0xFF);
    }
    return out;
}

std::string Diff::str() const {
    char buf[256];
    if (count < 0) return "sizes differ";
    if (count == 0) return "identical";
    std::snprintf(buf, sizeof buf,
                  "%ld pixels differ within %s; first at (%d,%d): got %06X, want %06X", count,
                  bounds.str().c_str(), first_x, first_y, got, want);
    return buf;
}

Diff compare(const Image &got, const Image &want) {
    Diff d;
    if (got.width != want.width || got.height != want.height) {
        d.count = -1;
        return d;
    }
    int x0 = got.width, y0 = got.height, x1 = -1, y1 = -1;
    for (int y = 0; y < got.height; ++y) {
        for (int x = 0; x < got.width; ++x) {
            const uint32_t a = got.at(x, y) & 0xFFFFFF, b = want.at(x, y) & 0xFFFFFF;
            if (a == b) continue;
            if (d.count++ == 0) {
                d.first_x = x;
                d.first_y = y;
                d.got = a;
                d.want = b;
            }
            x0 = std::min(x0, x);
            y0 = std::min(y0, y);
            x1 = std::max(x1, x);
            y1 = std::max(y1, y);
        }
    }
    if (d.count > 0) d.bounds = Rect{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
    return d;
}

Image snapshot(vnc_client_t *client) {
    void *pixels = nullptr;
    int stride = 0, w = 0, h = 0;
    Image img;
    const int r = vnc_lock_framebuffer(client, &pixels, &stride, &w, &h);
    if (r == 0 && pixels && w > 0 && h > 0) {
        img = Image(w, h);
        for (int y = 0; y < h; ++y) {
            const auto *row = reinterpret_cast<const unsigned char *>(pixels) +
                              static_cast<size_t>(y) * static_cast<size_t>(stride);
            for (int x = 0; x < w; ++x) {
                const unsigned char *p = row + 4 * x;  // blue, green, red, fourth
                img.at(x, y) =
                    static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
            }
        }
    }
    vnc_unlock_framebuffer(client);
    return img;
}

Image canned_picture() {
    Image img(640, 480, 0);
    for (int r = 0; r < 32; ++r)
        for (int c = 0; c < 32; ++c)
            img.at(c, r) = uint32_t(r * 8) << 16 | uint32_t(c * 8) << 8 | 0xFF;
    for (int y = 40; y < 72; ++y)
        for (int x = 40; x < 72; ++x)
            img.at(x, y) = (x >= 44 && x < 68 && y >= 44 && y < 68) ? 0xFF0000 : 0x00FF00;
    return img;
}

}  // namespace interop
