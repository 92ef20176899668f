// Test-side encoders for the rectangle payloads the client decodes: what a
// server would send after a rectangle header. Two levels: builders that
// write exactly the tiles/subrectangles a test names (for edge cases), and
// whole-image encoders that choose a representation per tile (for
// round trips). Needs zlib only, so the fuzz seed generator can use it too.
#ifndef QV_TEST_ENCODERS_H
#define QV_TEST_ENCODERS_H

#include <zlib.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace enc {

using bytes = std::vector<uint8_t>;

void put_u8(bytes &b, uint32_t v);
void put_u16(bytes &b, uint32_t v);  // big-endian
void put_u32(bytes &b, uint32_t v);  // big-endian
// A pixel in the client's format as it travels: little-endian.
void put_pixel(bytes &b, uint32_t v);
void append(bytes &b, const bytes &more);

// A w x h image, row by row.
struct image {
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    image() = default;
    image(int width, int height, uint32_t v = 0)
        : w(width), h(height), px(static_cast<size_t>(width) * height, v) {}
    uint32_t &at(int x, int y) { return px[static_cast<size_t>(y) * w + x]; }
    uint32_t at(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
    image crop(int x, int y, int cw, int ch) const;
};

// ---- Raw and CopyRect ------------------------------------------------------

bytes raw(const image &img);
bytes copyrect(int src_x, int src_y);

// ---- RRE ----------------------------------------------------------------

struct rect_fill {
    uint32_t pixel;
    int x, y, w, h;
};
bytes rre(uint32_t background, const std::vector<rect_fill> &subrects);
// Whole image: the most common colour as background, each remaining
// horizontal run of one colour as a subrectangle.
bytes rre_encode(const image &img);

// ---- Hextile ------------------------------------------------------------

enum hextile_bits : uint8_t {
    kHexRaw = 1,
    kHexBackground = 2,
    kHexForeground = 4,
    kHexAnySubrects = 8,
    kHexColoured = 16,
};

// One tile as written. Subrectangle coordinates are tile-relative and must
// fit the nibbles (x, y 0..15; w, h 1..16); pixel is used when coloured.
struct hextile_tile {
    bool raw = false;
    std::vector<uint32_t> pixels;  // raw tiles: tile width x height
    std::optional<uint32_t> background, foreground;
    bool any_subrects = false;  // set automatically when subrects is not empty
    bool coloured = false;
    std::vector<rect_fill> subrects;
    uint8_t extra_bits = 0;  // OR-ed into the subencoding byte as is
};
bytes hextile(const std::vector<hextile_tile> &tiles);
// Whole image: solid tiles as a background (sent only when it changes),
// two-colour tiles as foreground subrectangles, up to a few colours as
// coloured subrectangles, the rest raw.
bytes hextile_encode(const image &img);

// ---- ZRLE ---------------------------------------------------------------

// Uncompressed ZRLE tile data. cpixel_size 3 (the byte order b0 b1 b2 of the
// pixel's low three bytes) or 4 (the whole pixel, little-endian).
class zrle_tiles {
public:
    explicit zrle_tiles(int cpixel_size = 3) : cps_(cpixel_size) {}
    zrle_tiles &solid(uint32_t pixel);
    zrle_tiles &raw(const std::vector<uint32_t> &pixels);
    // Packed palette indices; width is the tile width (rows start on a byte).
    zrle_tiles &packed(const std::vector<uint32_t> &palette, const std::vector<uint8_t> &indices,
                       int width);
    zrle_tiles &plain_rle(const std::vector<std::pair<uint32_t, uint32_t>> &runs);
    // Runs of (palette index, length); length 1 is written without a length.
    zrle_tiles &palette_rle(const std::vector<uint32_t> &palette,
                            const std::vector<std::pair<uint8_t, uint32_t>> &runs);
    // Hand-made bytes for cases the helpers refuse to write.
    zrle_tiles &byte(uint8_t v);
    zrle_tiles &cpixel(uint32_t pixel);
    zrle_tiles &run_length(uint32_t len);
    const bytes &data() const { return data_; }
    int cpixel_size() const { return cps_; }

private:
    bytes data_;
    int cps_;
};

// Bits per packed index for a palette of n colours.
int zrle_index_bits(int n);

// What a decoded compact pixel becomes.
uint32_t zrle_expand(uint32_t pixel, int cpixel_size);

// Whole image: per tile the smallest of solid, packed palette, palette RLE,
// plain RLE and raw, or the one forced by `only` (a subencoding class:
// 0 raw, 1 solid, 2 packed, 128 plain RLE, 129 palette RLE; -1 chooses).
// Forced classes that cannot express a tile fall back to raw.
zrle_tiles zrle_encode(const image &img, int cpixel_size = 3, int only = -1);

// One connection's deflate stream: each rect() continues it, like a server
// does, and ends with a sync flush.
class zrle_stream {
public:
    zrle_stream();
    ~zrle_stream();
    zrle_stream(const zrle_stream &) = delete;
    zrle_stream &operator=(const zrle_stream &) = delete;
    // Compressed bytes of the tile data (no length prefix).
    bytes compress(const bytes &tile_data, int flush = Z_SYNC_FLUSH);
    // The payload: u32 length, then the compressed tile data.
    bytes rect(const bytes &tile_data);
    bytes rect(const zrle_tiles &t) { return rect(t.data()); }
    // A payload whose compressed length is exactly `total`: the tile data
    // ends with a full flush, so nothing later refers back past it, and
    // stored blocks of zero bytes make up the rest. Those inflate to
    // surplus data after the last tile.
    bytes rect_padded(const bytes &tile_data, uint32_t total);

private:
    z_stream z_{};
};

// ---- Tight --------------------------------------------------------------

// A JPEG of img (baseline, or progressive); empty in a build without libjpeg
// or WIC. WIC (Windows) writes baseline only, at a quality of its own under
// Wine.
bytes jpeg_encode(const image &img, int quality, bool progressive = false);

enum tight_filter { kTightCopy = 0, kTightPalette = 1, kTightGradient = 2 };

// A connection's four Tight streams and the payloads written over them.
// `resets` are the control byte's low bits: each named stream is started
// afresh (a new zlib header) before this rectangle's data.
class tight_encoder {
public:
    static bytes compact_length(uint32_t n);
    static bytes tpixel(uint32_t pixel);  // red, green, blue

    bytes fill(uint32_t pixel, uint8_t resets = 0);
    bytes jpeg(const bytes &data, uint8_t resets = 0);
    // Basic data of img through a filter (palette: the colours in the order
    // given, every pixel of img among them). The filter byte is written
    // unless the filter is copy and explicit_filter is false.
    bytes basic(const image &img, tight_filter filter, int stream, uint8_t resets = 0,
                const std::vector<uint32_t> &palette = {}, bool explicit_filter = true);
    // The filter's data before compression.
    static bytes filtered(const image &img, tight_filter filter,
                          const std::vector<uint32_t> &palette = {});
    // Control byte, filter part and data as given: raw under 12 bytes,
    // else a compact length and the data compressed on the stream.
    bytes frame(uint8_t control, const bytes &filter_part, const bytes &data, int stream);

private:
    void apply_resets(uint8_t resets);
    std::array<std::unique_ptr<zrle_stream>, 4> z_;
};

}  // namespace enc

#endif
