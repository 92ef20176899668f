#include "encoders.h"

#ifdef QV_HAVE_JPEG
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#elif defined(_WIN32)
#include <objbase.h>
#include <wincodec.h>
#endif

#include <algorithm>
#include <map>
#include <stdexcept>

namespace enc {

void put_u8(bytes &b, uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
void put_u16(bytes &b, uint32_t v) {
    put_u8(b, v >> 8);
    put_u8(b, v);
}
void put_u32(bytes &b, uint32_t v) {
    put_u16(b, v >> 16);
    put_u16(b, v);
}
void put_pixel(bytes &b, uint32_t v) {
    put_u8(b, v);
    put_u8(b, v >> 8);
    put_u8(b, v >> 16);
    put_u8(b, v >> 24);
}
void append(bytes &b, const bytes &more) { b.insert(b.end(), more.begin(), more.end()); }

image image::crop(int x, int y, int cw, int ch) const {
    image out(cw, ch);
    for (int r = 0; r < ch; ++r)
        for (int c = 0; c < cw; ++c) out.at(c, r) = at(x + c, y + r);
    return out;
}

namespace {

// The colours of an image, most frequent first (ties: smaller value first).
std::vector<uint32_t> colours_by_count(const image &img) {
    std::map<uint32_t, size_t> count;
    for (uint32_t p : img.px) ++count[p];
    std::vector<std::pair<size_t, uint32_t>> order;
    for (auto &kv : count) order.push_back({kv.second, kv.first});
    std::sort(order.begin(), order.end(), [](const auto &a, const auto &b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::vector<uint32_t> out;
    for (auto &o : order) out.push_back(o.second);
    return out;
}

// Horizontal runs of one colour other than bg, row by row.
std::vector<rect_fill> runs_except(const image &img, uint32_t bg) {
    std::vector<rect_fill> out;
    for (int y = 0; y < img.h; ++y) {
        int x = 0;
        while (x < img.w) {
            const uint32_t p = img.at(x, y);
            int e = x + 1;
            while (e < img.w && img.at(e, y) == p) ++e;
            if (p != bg) out.push_back({p, x, y, e - x, 1});
            x = e;
        }
    }
    return out;
}

}  // namespace

bytes raw(const image &img) {
    bytes b;
    for (uint32_t p : img.px) put_pixel(b, p);
    return b;
}

bytes copyrect(int src_x, int src_y) {
    bytes b;
    put_u16(b, static_cast<uint32_t>(src_x));
    put_u16(b, static_cast<uint32_t>(src_y));
    return b;
}

bytes rre(uint32_t background, const std::vector<rect_fill> &subrects) {
    bytes b;
    put_u32(b, static_cast<uint32_t>(subrects.size()));
    put_pixel(b, background);
    for (const rect_fill &s : subrects) {
        put_pixel(b, s.pixel);
        put_u16(b, static_cast<uint32_t>(s.x));
        put_u16(b, static_cast<uint32_t>(s.y));
        put_u16(b, static_cast<uint32_t>(s.w));
        put_u16(b, static_cast<uint32_t>(s.h));
    }
    return b;
}

bytes rre_encode(const image &img) {
    const uint32_t bg = img.px.empty() ? 0 : colours_by_count(img)[0];
    return rre(bg, runs_except(img, bg));
}

// ---- Hextile --------------------------------------------------------------

bytes hextile(const std::vector<hextile_tile> &tiles) {
    bytes b;
    for (const hextile_tile &t : tiles) {
        uint8_t sub = t.extra_bits;
        if (t.raw) {
            put_u8(b, sub | kHexRaw);
            for (uint32_t p : t.pixels) put_pixel(b, p);
            continue;
        }
        if (t.background) sub |= kHexBackground;
        if (t.foreground) sub |= kHexForeground;
        if (t.any_subrects || !t.subrects.empty()) sub |= kHexAnySubrects;
        if (t.coloured) sub |= kHexColoured;
        put_u8(b, sub);
        if (t.background) put_pixel(b, *t.background);
        if (t.foreground) put_pixel(b, *t.foreground);
        if (!(sub & kHexAnySubrects)) continue;
        if (t.subrects.size() > 255) throw std::invalid_argument("hextile: too many subrects");
        put_u8(b, static_cast<uint32_t>(t.subrects.size()));
        for (const rect_fill &s : t.subrects) {
            if (s.x < 0 || s.x > 15 || s.y < 0 || s.y > 15 || s.w < 1 || s.w > 16 || s.h < 1 ||
                s.h > 16)
                throw std::invalid_argument("hextile: subrect does not fit the nibbles");
            if (t.coloured) put_pixel(b, s.pixel);
            put_u8(b, static_cast<uint32_t>(s.x << 4 | s.y));
            put_u8(b, static_cast<uint32_t>((s.w - 1) << 4 | (s.h - 1)));
        }
    }
    return b;
}

bytes hextile_encode(const image &img) {
    std::vector<hextile_tile> tiles;
    uint32_t bg = 0, fg = 0;  // what the decoder holds
    for (int ty = 0; ty < img.h; ty += 16) {
        for (int tx = 0; tx < img.w; tx += 16) {
            const image tile = img.crop(tx, ty, std::min(16, img.w - tx), std::min(16, img.h - ty));
            const std::vector<uint32_t> colours = colours_by_count(tile);
            const uint32_t tile_bg = colours[0];
            const bool coloured = colours.size() > 2;
            const std::vector<rect_fill> subs = runs_except(tile, tile_bg);
            const size_t size = 1 + (tile_bg != bg ? 4 : 0) + (colours.size() == 2 ? 4 : 0) +
                                (subs.empty() ? 0 : 1 + subs.size() * (coloured ? 6 : 2));
            hextile_tile t;
            if (subs.size() > 255 || size > 1 + tile.px.size() * 4) {
                // Raw leaves the decoder's colours as they were.
                t.raw = true;
                t.pixels = tile.px;
            } else {
                if (tile_bg != bg) t.background = bg = tile_bg;
                if (colours.size() == 2 && colours[1] != fg) t.foreground = fg = colours[1];
                t.coloured = coloured;
                t.subrects = subs;
            }
            tiles.push_back(t);
        }
    }
    return hextile(tiles);
}

// ---- ZRLE -----------------------------------------------------------------

int zrle_index_bits(int n) {
    if (n <= 2) return 1;
    if (n <= 4) return 2;
    if (n <= 16) return 4;
    return 8;
}

uint32_t zrle_expand(uint32_t pixel, int cpixel_size) {
    return cpixel_size == 3 ? (pixel & 0xFFFFFF) | 0xFF000000u : pixel;
}

zrle_tiles &zrle_tiles::byte(uint8_t v) {
    data_.push_back(v);
    return *this;
}

zrle_tiles &zrle_tiles::cpixel(uint32_t p) {
    byte(static_cast<uint8_t>(p));
    byte(static_cast<uint8_t>(p >> 8));
    byte(static_cast<uint8_t>(p >> 16));
    if (cps_ == 4) byte(static_cast<uint8_t>(p >> 24));
    return *this;
}

zrle_tiles &zrle_tiles::run_length(uint32_t len) {
    uint32_t v = len - 1;
    while (v >= 255) {
        byte(255);
        v -= 255;
    }
    return byte(static_cast<uint8_t>(v));
}

zrle_tiles &zrle_tiles::solid(uint32_t pixel) { return byte(1).cpixel(pixel); }

zrle_tiles &zrle_tiles::raw(const std::vector<uint32_t> &pixels) {
    byte(0);
    for (uint32_t p : pixels) cpixel(p);
    return *this;
}

zrle_tiles &zrle_tiles::packed(const std::vector<uint32_t> &palette,
                               const std::vector<uint8_t> &indices, int width) {
    if (palette.size() < 2 || palette.size() > 127)
        throw std::invalid_argument("zrle: packed palette needs 2..127 colours");
    byte(static_cast<uint8_t>(palette.size()));
    for (uint32_t p : palette) cpixel(p);
    const int bits = zrle_index_bits(static_cast<int>(palette.size()));
    for (size_t row = 0; row * width < indices.size(); ++row) {
        unsigned acc = 0;
        int used = 0;
        for (int c = 0; c < width; ++c) {
            acc = acc << bits | indices[row * width + c];
            used += bits;
            if (used == 8) {
                byte(static_cast<uint8_t>(acc));
                acc = 0;
                used = 0;
            }
        }
        if (used) byte(static_cast<uint8_t>(acc << (8 - used)));
    }
    return *this;
}

zrle_tiles &zrle_tiles::plain_rle(const std::vector<std::pair<uint32_t, uint32_t>> &runs) {
    byte(128);
    for (auto &r : runs) cpixel(r.first).run_length(r.second);
    return *this;
}

zrle_tiles &zrle_tiles::palette_rle(const std::vector<uint32_t> &palette,
                                    const std::vector<std::pair<uint8_t, uint32_t>> &runs) {
    if (palette.empty() || palette.size() > 127)
        throw std::invalid_argument("zrle: palette RLE needs 1..127 colours");
    byte(static_cast<uint8_t>(128 + palette.size()));
    for (uint32_t p : palette) cpixel(p);
    for (auto &r : runs) {
        if (r.second == 1) {
            byte(r.first);
        } else {
            byte(static_cast<uint8_t>(r.first | 128));
            run_length(r.second);
        }
    }
    return *this;
}

namespace {

std::vector<std::pair<uint32_t, uint32_t>> pixel_runs(const image &tile) {
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (uint32_t p : tile.px) {
        if (!runs.empty() && runs.back().first == p)
            ++runs.back().second;
        else
            runs.push_back({p, 1});
    }
    return runs;
}

size_t run_length_bytes(uint32_t len) { return (len - 1) / 255 + 1; }

}  // namespace

zrle_tiles zrle_encode(const image &img, int cps, int only) {
    zrle_tiles out(cps);
    for (int ty = 0; ty < img.h; ty += 64) {
        for (int tx = 0; tx < img.w; tx += 64) {
            const int tw = std::min(64, img.w - tx), th = std::min(64, img.h - ty);
            const image tile = img.crop(tx, ty, tw, th);
            std::vector<uint32_t> palette = colours_by_count(tile);
            const auto runs = pixel_runs(tile);
            const size_t n = tile.px.size();
            std::map<uint32_t, uint8_t> index;
            for (size_t i = 0; i < palette.size() && i < 127; ++i)
                index[palette[i]] = static_cast<uint8_t>(i);

            // Size of each representation; 0 when it cannot be used.
            const size_t raw_size = n * cps;
            size_t plain_size = 0;
            for (auto &r : runs) plain_size += cps + run_length_bytes(r.second);
            size_t packed_size = 0, prle_size = 0;
            if (palette.size() <= 127) {
                if (palette.size() >= 2) {
                    const size_t row_bytes = (tw * zrle_index_bits(int(palette.size())) + 7) / 8;
                    packed_size = palette.size() * cps + row_bytes * th;
                }
                prle_size = palette.size() * cps;
                for (auto &r : runs)
                    prle_size += r.second == 1 ? 1 : 1 + run_length_bytes(r.second);
            }
            int kind = only;
            if (kind == 1 && palette.size() != 1) kind = 0;
            if (kind == 2 && !packed_size) kind = 0;
            if (kind == 129 && !prle_size) kind = 0;
            if (kind < 0) {
                if (palette.size() == 1) {
                    kind = 1;
                } else {
                    size_t best = raw_size;
                    kind = 0;
                    if (plain_size < best) best = plain_size, kind = 128;
                    if (packed_size && packed_size < best) best = packed_size, kind = 2;
                    if (prle_size && prle_size < best) best = prle_size, kind = 129;
                }
            }
            switch (kind) {
            case 1: out.solid(palette[0]); break;
            case 2: {
                std::vector<uint8_t> idx;
                for (uint32_t p : tile.px) idx.push_back(index[p]);
                out.packed(palette, idx, tw);
                break;
            }
            case 128: out.plain_rle(runs); break;
            case 129: {
                std::vector<std::pair<uint8_t, uint32_t>> pruns;
                for (auto &r : runs) pruns.push_back({index[r.first], r.second});
                out.palette_rle(palette, pruns);
                break;
            }
            default: out.raw(tile.px); break;
            }
        }
    }
    return out;
}

zrle_stream::zrle_stream() {
    if (deflateInit(&z_, Z_DEFAULT_COMPRESSION) != Z_OK) throw std::runtime_error("deflateInit");
}

zrle_stream::~zrle_stream() { deflateEnd(&z_); }

bytes zrle_stream::compress(const bytes &tile_data, int flush) {
    bytes out;
    z_.next_in = const_cast<Bytef *>(tile_data.data());
    z_.avail_in = static_cast<uInt>(tile_data.size());
    uint8_t chunk[16384];
    do {
        z_.next_out = chunk;
        z_.avail_out = sizeof chunk;
        if (deflate(&z_, flush) == Z_STREAM_ERROR) throw std::runtime_error("deflate");
        out.insert(out.end(), chunk, chunk + (sizeof chunk - z_.avail_out));
    } while (z_.avail_out == 0);
    return out;
}

bytes zrle_stream::rect(const bytes &tile_data) {
    const bytes c = compress(tile_data);
    bytes out;
    put_u32(out, static_cast<uint32_t>(c.size()));
    append(out, c);
    return out;
}

bytes zrle_stream::rect_padded(const bytes &tile_data, uint32_t total) {
    bytes c = compress(tile_data, Z_FULL_FLUSH);
    if (c.size() + 5 > total) throw std::invalid_argument("zrle: padded length too small");
    size_t left = total - c.size();
    while (left > 0) {
        // A stored block costs 5 bytes besides its data; never leave less
        // than one whole block's overhead behind.
        size_t take = std::min<size_t>(65535, left - 5);
        if (left - 5 - take != 0 && left - 5 - take < 5) take -= 5;
        put_u8(c, 0);  // not final, stored, padded to the byte
        put_u8(c, static_cast<uint32_t>(take));
        put_u8(c, static_cast<uint32_t>(take >> 8));
        put_u8(c, static_cast<uint32_t>(~take));
        put_u8(c, static_cast<uint32_t>(~take >> 8));
        c.insert(c.end(), take, 0);
        left -= take + 5;
    }
    bytes out;
    put_u32(out, static_cast<uint32_t>(c.size()));
    append(out, c);
    return out;
}

// ---- Tight --------------------------------------------------------------

bytes jpeg_encode(const image &img, int quality, bool progressive) {
#ifdef QV_HAVE_JPEG
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(img.w);
    c.image_height = static_cast<JDIMENSION>(img.h);
    c.input_components = 4;
    c.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    if (progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(
            const_cast<uint32_t *>(&img.px[static_cast<size_t>(c.next_scanline) * img.w]));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    bytes data(out, out + size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return data;
#elif defined(_WIN32)
    // WIC's encoder, so that the Windows build's decoder meets what a real
    // encoder makes. It writes baseline only.
    if (progressive) throw std::runtime_error("WIC writes no progressive JPEG");
    bytes data;
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IWICImagingFactory *wic = nullptr;
    IStream *stream = nullptr;
    IWICBitmapEncoder *encoder = nullptr;
    IWICBitmapFrameEncode *frame = nullptr;
    IPropertyBag2 *bag = nullptr;
    bool ok = SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IWICImagingFactory, reinterpret_cast<void **>(&wic))) &&
              SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)) &&
              SUCCEEDED(wic->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder)) &&
              SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
              SUCCEEDED(encoder->CreateNewFrame(&frame, &bag));
    if (ok) {
        PROPBAG2 name = {};
        name.pstrName = const_cast<LPOLESTR>(L"ImageQuality");
        VARIANT value = {};
        value.vt = VT_R4;
        value.fltVal = static_cast<float>(quality) / 100.0f;
        WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
        std::vector<uint8_t> bgr(static_cast<size_t>(img.w) * img.h * 3);
        for (size_t i = 0; i < img.px.size(); ++i) {
            bgr[i * 3] = static_cast<uint8_t>(img.px[i]);
            bgr[i * 3 + 1] = static_cast<uint8_t>(img.px[i] >> 8);
            bgr[i * 3 + 2] = static_cast<uint8_t>(img.px[i] >> 16);
        }
        ok = SUCCEEDED(bag->Write(1, &name, &value)) && SUCCEEDED(frame->Initialize(bag)) &&
             SUCCEEDED(frame->SetSize(static_cast<UINT>(img.w), static_cast<UINT>(img.h))) &&
             SUCCEEDED(frame->SetPixelFormat(&format)) &&
             format == GUID_WICPixelFormat24bppBGR &&
             SUCCEEDED(frame->WritePixels(static_cast<UINT>(img.h), static_cast<UINT>(img.w) * 3,
                                          static_cast<UINT>(bgr.size()), bgr.data())) &&
             SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
    }
    HGLOBAL memory = nullptr;
    if (ok && SUCCEEDED(GetHGlobalFromStream(stream, &memory))) {
        STATSTG stat;
        const uint8_t *p = static_cast<const uint8_t *>(GlobalLock(memory));
        if (p && SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME)))
            data.assign(p, p + stat.cbSize.QuadPart);
        if (p) GlobalUnlock(memory);
    }
    if (bag) bag->Release();
    if (frame) frame->Release();
    if (encoder) encoder->Release();
    if (stream) stream->Release();
    if (wic) wic->Release();
    if (SUCCEEDED(init)) CoUninitialize();
    if (data.empty()) throw std::runtime_error("WIC could not encode a JPEG");
    return data;
#else
    (void)img, (void)quality, (void)progressive;
    return {};
#endif
}

bytes tight_encoder::compact_length(uint32_t n) {
    bytes out{static_cast<uint8_t>(n & 0x7F)};
    if (n > 0x7F) {
        out[0] |= 0x80;
        out.push_back(static_cast<uint8_t>(n >> 7 & 0x7F));
        if (n > 0x3FFF) {
            out[1] |= 0x80;
            out.push_back(static_cast<uint8_t>(n >> 14));
        }
    }
    return out;
}

bytes tight_encoder::tpixel(uint32_t pixel) {
    return {static_cast<uint8_t>(pixel >> 16), static_cast<uint8_t>(pixel >> 8),
            static_cast<uint8_t>(pixel)};
}

void tight_encoder::apply_resets(uint8_t resets) {
    for (int i = 0; i < 4; ++i)
        if (resets >> i & 1) z_[i].reset();
}

bytes tight_encoder::fill(uint32_t pixel, uint8_t resets) {
    apply_resets(resets);
    bytes out{static_cast<uint8_t>(0x80 | (resets & 15))};
    append(out, tpixel(pixel));
    return out;
}

bytes tight_encoder::jpeg(const bytes &data, uint8_t resets) {
    apply_resets(resets);
    bytes out{static_cast<uint8_t>(0x90 | (resets & 15))};
    append(out, compact_length(static_cast<uint32_t>(data.size())));
    append(out, data);
    return out;
}

bytes tight_encoder::filtered(const image &img, tight_filter filter,
                              const std::vector<uint32_t> &palette) {
    bytes data;
    auto channel = [](uint32_t p, int k) { return static_cast<int>(p >> (16 - 8 * k) & 0xFF); };
    for (int y = 0; y < img.h; ++y) {
        uint8_t bits = 0;
        for (int x = 0; x < img.w; ++x) {
            const uint32_t p = img.at(x, y);
            if (filter == kTightCopy) {
                append(data, tpixel(p));
            } else if (filter == kTightPalette) {
                const auto it = std::find(palette.begin(), palette.end(), p);
                const auto idx = static_cast<uint8_t>(it - palette.begin());
                if (palette.size() != 2) {
                    data.push_back(idx);
                    continue;
                }
                bits = static_cast<uint8_t>(bits | idx << (7 - x % 8));
                if (x % 8 == 7 || x == img.w - 1) {
                    data.push_back(bits);
                    bits = 0;
                }
            } else {
                for (int k = 0; k < 3; ++k) {
                    const int left = x ? channel(img.at(x - 1, y), k) : 0;
                    const int above = y ? channel(img.at(x, y - 1), k) : 0;
                    const int corner = x && y ? channel(img.at(x - 1, y - 1), k) : 0;
                    const int predicted = std::clamp(left + above - corner, 0, 255);
                    data.push_back(static_cast<uint8_t>(channel(p, k) - predicted));
                }
            }
        }
    }
    return data;
}

bytes tight_encoder::frame(uint8_t control, const bytes &filter_part, const bytes &data,
                           int stream) {
    bytes out = filter_part;
    out.insert(out.begin(), control);
    if (data.size() < 12) {
        append(out, data);
        return out;
    }
    if (!z_[stream]) z_[stream] = std::make_unique<zrle_stream>();
    const bytes c = z_[stream]->compress(data);
    append(out, compact_length(static_cast<uint32_t>(c.size())));
    append(out, c);
    return out;
}

bytes tight_encoder::basic(const image &img, tight_filter filter, int stream, uint8_t resets,
                           const std::vector<uint32_t> &palette, bool explicit_filter) {
    apply_resets(resets);
    const bool with_filter = explicit_filter || filter != kTightCopy;
    const auto control =
        static_cast<uint8_t>((resets & 15) | stream << 4 | (with_filter ? 0x40 : 0));
    bytes part;
    if (with_filter) part.push_back(static_cast<uint8_t>(filter));
    if (filter == kTightPalette) {
        part.push_back(static_cast<uint8_t>(palette.size() - 1));
        for (uint32_t p : palette) append(part, tpixel(p));
    }
    return frame(control, part, filtered(img, filter, palette), stream);
}

}  // namespace enc
