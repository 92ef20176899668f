// Pictures for the interop tests: what an X server shows (XWD dumps), what a
// viewer saved (PPM), what a client handle holds, and how they differ.
#ifndef QV_INTEROP_IMAGE_H
#define QV_INTEROP_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "quenvira_vnc.h"

namespace interop {

// Pixels as 0x00RRGGBB, row-major, no row gap.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> px;

    Image() = default;
    Image(int w, int h, uint32_t fill = 0)
        : width(w), height(h), px(static_cast<size_t>(w) * static_cast<size_t>(h), fill) {}
    bool empty() const { return width <= 0 || height <= 0; }
    uint32_t at(int x, int y) const { return px[static_cast<size_t>(y) * width + x]; }
    uint32_t &at(int x, int y) { return px[static_cast<size_t>(y) * width + x]; }
    Image crop(int x, int y, int w, int h) const;
    size_t distinct_colours() const;
};

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    bool empty() const { return w <= 0 || h <= 0; }
    bool contains(int px, int py) const { return px >= x && py >= y && px < x + w && py < y + h; }
    std::string str() const;
};

// Parses an XWD dump of a 24- or 32-bit TrueColor drawable.
bool parse_xwd(const std::string &data, Image *out, std::string *error);
// Parses a binary PPM (P6, maxval 255).
bool parse_ppm(const std::string &data, Image *out, std::string *error);
// Binary PPM of an image, for looking at failures.
std::string to_ppm(const Image &img);

struct Diff {
    long count = 0;  // differing pixels; -1 when the sizes differ
    int first_x = -1, first_y = -1;
    uint32_t got = 0, want = 0;
    Rect bounds;  // bounding box of the differing pixels
    std::string str() const;
};

Diff compare(const Image &got, const Image &want);

// What the library's built-in test server serves: black, a 32 x 32
// gradient at (0,0) whose pixels carry blue 255, green 8 x column and red
// 8 x row, and a green 32 x 32 square at (40,40) with a red 24 x 24 square
// inside at (44,44).
Image canned_picture();

// Copy of a handle's framebuffer, fourth byte dropped; empty when it has none.
Image snapshot(vnc_client_t *client);

}  // namespace interop

#endif
