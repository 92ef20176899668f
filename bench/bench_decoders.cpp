// Decoder throughput on a 1920 x 1080 screen, payloads made by the test-side
// encoders and read from memory, so the numbers are the decoders' own cost.
// Run: build/release/bench/bench_decoders
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "encoders.h"
#include "vnc_client_internal.h"

namespace {

constexpr int kW = 1920, kH = 1080;

// A desktop: flat panels, a gradient title bar and text-like speckles.
enc::image desktop_image() {
    enc::image img(kW, kH, 0xFF2B5797);
    std::mt19937 rng(7);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            if (y < 40) img.at(x, y) = 0xFF000000u | (x * 255 / kW) << 16 | 0x3060;
            else if (x > 200 && x < 1400 && y > 100 && y < 900) {
                // A window with dark text on white.
                bool ink = (y % 18) < 12 && (rng() % 5 == 0) && x % 8 != 0;
                img.at(x, y) = ink ? 0xFF202020u : 0xFFFFFFFFu;
            }
        }
    return img;
}

// A photo: every pixel different.
enc::image photo_image() {
    enc::image img(kW, kH);
    std::mt19937 rng(11);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            img.at(x, y) = 0xFF000000u | ((x + (rng() & 15)) & 255) << 16 |
                           ((y + (rng() & 15)) & 255) << 8 | ((x ^ y) & 255);
    return img;
}

struct framebuffer {
    std::vector<uint32_t> px = std::vector<uint32_t>(static_cast<size_t>(kW) * kH);
    vnc_decode_ctx ctx(vnc_byte_source &in, vnc_inflate *z = nullptr) {
        vnc_decode_ctx c;
        c.in = &in;
        c.pixels = px.data();
        c.fb_width = kW;
        c.fb_height = kH;
        c.inflate = z;
        return c;
    }
};

void run(benchmark::State &state, const enc::bytes &payload, vnc_decoder_fn fn) {
    framebuffer fb;
    for (auto _ : state) {
        vnc_memory_reader in(payload.data(), payload.size());
        vnc_decode_ctx ctx = fb.ctx(in);
        if (fn(ctx, 0, 0, kW, kH) != 0) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(fb.px.data());
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);  // pixels
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(payload.size()));
}

void BM_Raw(benchmark::State &state) { run(state, enc::raw(desktop_image()), decode_raw_rect); }

void BM_HextileDesktop(benchmark::State &state) {
    run(state, enc::hextile_encode(desktop_image()), decode_hextile_rect);
}

void BM_RreDesktop(benchmark::State &state) {
    run(state, enc::rre_encode(desktop_image()), decode_rre_rect);
}

void BM_CopyRectScroll(benchmark::State &state) {
    framebuffer fb;
    const enc::bytes payload = enc::copyrect(0, 1);  // scroll everything up a row
    for (auto _ : state) {
        vnc_memory_reader in(payload.data(), payload.size());
        vnc_decode_ctx ctx = fb.ctx(in);
        if (decode_copyrect_rect(ctx, 0, 0, kW, kH - 1) != 0) state.SkipWithError("failed");
        benchmark::DoNotOptimize(fb.px.data());
    }
    state.SetItemsProcessed(state.iterations() * kW * (kH - 1));
}

// ZRLE includes inflate: each iteration starts a fresh stream, as the
// payload was compressed by a fresh one.
void zrle(benchmark::State &state, const enc::image &img) {
    enc::zrle_stream stream;
    const enc::bytes payload = stream.rect(enc::zrle_encode(img));
    framebuffer fb;
    for (auto _ : state) {
        vnc_inflate z;
        vnc_memory_reader in(payload.data(), payload.size());
        vnc_decode_ctx ctx = fb.ctx(in, &z);
        if (decode_zrle_rect(ctx, 0, 0, kW, kH) != 0) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(fb.px.data());
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(payload.size()));
}

void BM_ZrleDesktop(benchmark::State &state) { zrle(state, desktop_image()); }
void BM_ZrlePhoto(benchmark::State &state) { zrle(state, photo_image()); }

}  // namespace

BENCHMARK(BM_Raw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HextileDesktop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RreDesktop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyRectScroll)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZrleDesktop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZrlePhoto)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
