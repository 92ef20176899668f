// Runs a decoder over bytes in memory against a framebuffer that sits
// between guard zones, so tests can check both the pixels and that nothing
// was written outside it, and where in the byte stream the decoder stopped.
#ifndef QV_TEST_DECODE_HARNESS_H
#define QV_TEST_DECODE_HARNESS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "encoders.h"
#include "vnc_client_internal.h"

// Framebuffer pixels start as kUntouched unless a test paints them first.
constexpr uint32_t kUntouched = 0x5A5A5A5Au;
constexpr uint32_t kGuardPixel = 0xDEADBEEFu;
// Bytes a test appends after a payload to see that the decoder stopped right
// before them.
const enc::bytes kMarker = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5};

class guarded_fb {
public:
    static constexpr size_t kGuard = 4096;

    guarded_fb(int w, int h, uint32_t fill = kUntouched)
        : w_(w), h_(h), mem_(kGuard * 2 + static_cast<size_t>(w) * h, kGuardPixel) {
        std::fill(pixels(), pixels() + static_cast<size_t>(w) * h, fill);
    }
    int width() const { return w_; }
    int height() const { return h_; }
    uint32_t *pixels() { return mem_.data() + kGuard; }
    const uint32_t *pixels() const { return mem_.data() + kGuard; }
    uint32_t &at(int x, int y) { return pixels()[static_cast<size_t>(y) * w_ + x]; }
    uint32_t at(int x, int y) const { return pixels()[static_cast<size_t>(y) * w_ + x]; }

    bool guards_intact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (mem_[i] != kGuardPixel || mem_[mem_.size() - 1 - i] != kGuardPixel) return false;
        return true;
    }
    enc::image snapshot() const {
        enc::image img(w_, h_);
        std::copy(pixels(), pixels() + img.px.size(), img.px.begin());
        return img;
    }
    void load(const enc::image &img) { std::copy(img.px.begin(), img.px.end(), pixels()); }

private:
    int w_, h_;
    std::vector<uint32_t> mem_;
};

// Where a call left the stream.
struct decode_run {
    int rc = 0;
    size_t consumed = 0;
    size_t left = 0;
};

struct decode_setup {
    vnc_inflate *inflate = nullptr;
    uint16_t colour_max = 255;  // red, green and blue max
    const std::atomic<int> *running = nullptr;
    vnc_tight_state *tight = nullptr;
};

inline decode_run run_decoder(vnc_decoder_fn fn, guarded_fb *fb, const enc::bytes &stream, int x,
                              int y, int w, int h, const decode_setup &setup = {}) {
    vnc_memory_reader in(stream.data(), stream.size());
    vnc_decode_ctx ctx;
    ctx.in = &in;
    ctx.pixels = fb ? fb->pixels() : nullptr;
    ctx.fb_width = fb ? fb->width() : 0;
    ctx.fb_height = fb ? fb->height() : 0;
    ctx.inflate = setup.inflate;
    ctx.red_max = ctx.green_max = ctx.blue_max = setup.colour_max;
    ctx.running = setup.running;
    ctx.tight = setup.tight;
    decode_run r;
    r.rc = fn(ctx, x, y, w, h);
    r.left = in.buffered();
    r.consumed = stream.size() - r.left;
    return r;
}

// Runs several decoder calls over one stream, like the rectangle loop does.
class stream_runner {
public:
    stream_runner(const enc::bytes &stream, guarded_fb *fb, const decode_setup &setup = {})
        : stream_(stream), in_(stream_.data(), stream_.size()) {
        ctx_.in = &in_;
        ctx_.pixels = fb ? fb->pixels() : nullptr;
        ctx_.fb_width = fb ? fb->width() : 0;
        ctx_.fb_height = fb ? fb->height() : 0;
        ctx_.inflate = setup.inflate;
        ctx_.red_max = ctx_.green_max = ctx_.blue_max = setup.colour_max;
        ctx_.running = setup.running;
        ctx_.tight = setup.tight;
    }
    int next(vnc_decoder_fn fn, int x, int y, int w, int h) { return fn(ctx_, x, y, w, h); }
    size_t left() const { return in_.buffered(); }
    size_t consumed() const { return stream_.size() - in_.buffered(); }

private:
    enc::bytes stream_;
    vnc_memory_reader in_;
    vnc_decode_ctx ctx_;
};

// An inflate stream owned by a test, of the build's backend.
class inflater {
public:
    vnc_inflate *get() { return z_.ok() ? &z_ : nullptr; }

private:
    vnc_inflate z_;
};

inline enc::bytes concat(std::initializer_list<enc::bytes> parts) {
    enc::bytes out;
    for (const enc::bytes &p : parts) enc::append(out, p);
    return out;
}

// What the framebuffer should hold: `before` with img drawn at (x, y), cut
// to the framebuffer. One pixel at a time, with every bound checked, as a
// reference the decoders' span code can be compared with.
inline enc::image paste(const enc::image &before, const enc::image &img, int x, int y) {
    enc::image out = before;
    for (int r = 0; r < img.h; ++r)
        for (int c = 0; c < img.w; ++c) {
            const int64_t fx = int64_t{x} + c, fy = int64_t{y} + r;
            if (fx >= 0 && fy >= 0 && fx < before.w && fy < before.h)
                out.at(static_cast<int>(fx), static_cast<int>(fy)) = img.at(c, r);
        }
    return out;
}

// Equal images, or a message naming the first few differing pixels.
inline ::testing::AssertionResult same_image(const enc::image &expected, const enc::image &actual) {
    if (expected.w != actual.w || expected.h != actual.h)
        return ::testing::AssertionFailure() << "size differs";
    std::string diffs;
    int count = 0;
    for (int y = 0; y < expected.h; ++y)
        for (int x = 0; x < expected.w; ++x)
            if (expected.at(x, y) != actual.at(x, y) && count++ < 8) {
                char buf[96];
                std::snprintf(buf, sizeof buf, " (%d,%d): want %08x got %08x;", x, y,
                              expected.at(x, y), actual.at(x, y));
                diffs += buf;
            }
    if (!count) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << count << " pixels differ:" << diffs;
}

// Largest difference of one colour channel between two images of one size.
inline int max_channel_diff(const enc::image &a, const enc::image &b) {
    int worst = 0;
    for (size_t i = 0; i < a.px.size() && i < b.px.size(); ++i)
        for (int k = 0; k < 24; k += 8)
            worst = std::max(worst, std::abs(static_cast<int>(a.px[i] >> k & 0xFF) -
                                             static_cast<int>(b.px[i] >> k & 0xFF)));
    return worst;
}

// A file of tests/data.
inline enc::bytes read_data(const char *name) {
    const std::string path = std::string(QV_TEST_DATA_DIR) + "/" + name;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot open " + path);
    enc::bytes data;
    uint8_t chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    return data;
}

// A smooth picture, as photos are, that JPEG brings back close; its JPEG by
// libjpeg at quality 95 is tests/data/tight-smooth-q95.jpg.
inline enc::image smooth_picture() {
    enc::image smooth(40, 30);
    for (int y = 0; y < smooth.h; ++y)
        for (int x = 0; x < smooth.w; ++x)
            smooth.at(x, y) = 0xFF000000u | static_cast<uint32_t>(x * 6) << 16 |
                              static_cast<uint32_t>(y * 8) << 8 | static_cast<uint32_t>(x + y) * 3;
    return smooth;
}

// A test picture with many colours, gradients and flat areas, so every tile
// kind shows up. Seeded; the top byte is 0xFF.
inline enc::image test_picture(int w, int h, uint32_t seed) {
    enc::image img(w, h);
    uint32_t s = seed * 2654435761u + 1;
    auto rnd = [&s] {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint32_t v;
            const int zone = ((x / 23) + (y / 17) * 3 + static_cast<int>(seed)) % 5;
            switch (zone) {
            case 0: v = 0x203040; break;  // flat
            case 1:                       // gradient
                v = (static_cast<uint32_t>(x) * 3 & 0xFF) << 16 |
                    (static_cast<uint32_t>(y) * 5 & 0xFF) << 8 |
                    (static_cast<uint32_t>(x ^ y) & 0xFF);
                break;
            case 2: v = ((x / 2 + y) % 3 == 0) ? 0xFFFFFF : 0x000080; break;  // two colours
            case 3: v = 0x100000u * (rnd() % 7) + 0x33; break;                // a few colours
            default: v = rnd(); break;                                        // noise
            }
            img.at(x, y) = 0xFF000000u | (v & 0xFFFFFF);
        }
    return img;
}

#endif
