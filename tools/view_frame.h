// vnc-view's geometry and scaling, free of SDL so that a unit test can
// reach them: where the window goes on the screen, and the bilinear
// scaling of the framebuffer into the window, one changed area at a time.
#ifndef QV_VIEW_FRAME_H
#define QV_VIEW_FRAME_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv_view {

struct rect {
    int x = 0, y = 0, w = 0, h = 0;
    bool empty() const { return w <= 0 || h <= 0; }
};

inline rect intersect(const rect &a, const rect &b) {
    const int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    const int x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
    return x1 > x0 && y1 > y0 ? rect{x0, y0, x1 - x0, y1 - y0} : rect{};
}

// The decorations a window manager adds around the window.
struct borders {
    int top = 0, left = 0, bottom = 0, right = 0;
};

// The window (its inside, without borders) for a w x h desktop: the desktop
// size, shrunk to what the usable area leaves beside the borders (scaled
// with the aspect ratio kept, or cut when 1:1), its centre kept where the
// window's centre was (at) as far as it can be, and moved so that window and
// borders lie on the usable area. An unknown area (empty) leaves size and
// centre alone.
inline rect place_window(const rect &usable, const borders &b, const rect &at, int w, int h,
                         bool scale) {
    rect r{0, 0, std::max(w, 1), std::max(h, 1)};
    const int room_w = usable.w - b.left - b.right, room_h = usable.h - b.top - b.bottom;
    if (!usable.empty() && room_w > 0 && room_h > 0 && (r.w > room_w || r.h > room_h)) {
        if (scale) {
            // The smaller of the two ratios, in integers: no side rounds up past the room.
            if (int64_t(room_w) * r.h <= int64_t(room_h) * r.w) {
                r.h = std::max(1, int(int64_t(r.h) * room_w / r.w)), r.w = room_w;
            } else {
                r.w = std::max(1, int(int64_t(r.w) * room_h / r.h)), r.h = room_h;
            }
        } else {
            r.w = std::min(r.w, room_w), r.h = std::min(r.h, room_h);
        }
    }
    r.x = at.x + at.w / 2 - r.w / 2;
    r.y = at.y + at.h / 2 - r.h / 2;
    if (!usable.empty() && room_w > 0 && room_h > 0) {
        r.x = std::clamp(r.x, usable.x + b.left, usable.x + usable.w - b.right - r.w);
        r.y = std::clamp(r.y, usable.y + b.top, usable.y + usable.h - b.bottom - r.h);
    }
    return r;
}

// Where a src_w x src_h framebuffer goes in a win_w x win_h window: scaled
// to fit with the aspect ratio kept, or 1:1; centred when it is smaller.
inline rect fit_in(int win_w, int win_h, int src_w, int src_h, bool scale) {
    rect d{0, 0, src_w, src_h};
    if (src_w <= 0 || src_h <= 0) return d;
    if (scale) {
        // Integer arithmetic: at 1:1 the result is exact.
        if (int64_t(win_w) * src_h <= int64_t(win_h) * src_w) {
            d.w = win_w, d.h = int(int64_t(src_h) * win_w / src_w);
        } else {
            d.h = win_h, d.w = int(int64_t(src_w) * win_h / src_h);
        }
    }
    d.x = std::max(0, (win_w - d.w) / 2);
    d.y = std::max(0, (win_h - d.h) / 2);
    return d;
}

// Bilinear scaling of src_w x src_h pixels (32-bit, fourth byte ignored)
// onto dst_w x dst_h. Each output pixel reads the source pixels around the
// point it samples; any output area can be drawn on its own and comes out
// as it would in a whole redraw, so only what a change touches is redrawn.
class scaler {
public:
    void set(int src_w, int src_h, int dst_w, int dst_h) {
        src_w_ = src_w, src_h_ = src_h, dst_w_ = dst_w, dst_h_ = dst_h;
        axis(src_w, dst_w, &cols_);
        axis(src_h, dst_h, &rows_);
        line_[0].assign(static_cast<size_t>(std::max(dst_w, 0)), 0);
        line_[1] = line_[0];
        line_row_[0] = line_row_[1] = -1;
    }
    int dst_w() const { return dst_w_; }
    int dst_h() const { return dst_h_; }

    // The output pixels that read any of the source area a.
    rect touched_by(const rect &a) const {
        const rect s = intersect(a, rect{0, 0, src_w_, src_h_});
        if (s.empty()) return {};
        int x0, x1, y0, y1;
        span(cols_, s.x, s.x + s.w, &x0, &x1);
        span(rows_, s.y, s.y + s.h, &y0, &y1);
        return rect{x0, y0, x1 - x0, y1 - y0};
    }

    // Draws the output area a from src into dst, which points at the
    // output pixel (a.x, a.y); strides are in pixels. Whatever of a lies
    // outside dst_w x dst_h is left alone.
    void draw(const uint32_t *src, int src_stride, uint32_t *dst, int dst_stride, const rect &a) {
        const rect o = intersect(a, rect{0, 0, dst_w_, dst_h_});
        if (o.empty()) return;
        dst += static_cast<std::ptrdiff_t>(o.y - a.y) * dst_stride + (o.x - a.x);
        line_row_[0] = line_row_[1] = -1;  // the source may have changed since
        for (int y = o.y; y < o.y + o.h; ++y) {
            const sample &r = rows_[static_cast<size_t>(y)];
            const uint32_t *top = line(src, src_stride, r.i0, o);
            uint32_t *out = dst + static_cast<std::ptrdiff_t>(y - o.y) * dst_stride;
            if (r.f == 0) {
                std::copy(top + o.x, top + o.x + o.w, out);
                continue;
            }
            const uint32_t *bottom = line(src, src_stride, r.i0 + 1, o);
            for (int x = 0; x < o.w; ++x) out[x] = mix(top[o.x + x], bottom[o.x + x], r.f);
        }
    }

private:
    // An output column or row samples source i0 and, with weight f/256, i0 + 1.
    struct sample {
        int i0;
        int f;
    };

    static void axis(int src, int dst, std::vector<sample> *out) {
        out->resize(static_cast<size_t>(std::max(dst, 0)));
        for (int i = 0; i < dst; ++i) {
            // The centre of output pixel i in source pixels, less half a
            // pixel, in 1/256ths: (i + 1/2) * src / dst - 1/2.
            const int64_t p = std::max<int64_t>(0, (int64_t(2 * i + 1) * src * 256) / (2 * int64_t(dst)) - 128);
            sample s{int(p >> 8), int(p & 255)};
            if (s.i0 >= src - 1) s = {src - 1, 0};
            (*out)[static_cast<size_t>(i)] = s;
        }
    }

    // The outputs [*lo, *hi) that read a source pixel in [s0, s1); they are
    // consecutive, as the samples only move forward.
    static void span(const std::vector<sample> &v, int s0, int s1, int *lo, int *hi) {
        auto last = [](const sample &s) { return s.i0 + (s.f ? 1 : 0); };
        *lo = int(std::partition_point(v.begin(), v.end(), [&](const sample &s) { return last(s) < s0; }) -
                  v.begin());
        *hi = int(std::partition_point(v.begin(), v.end(), [&](const sample &s) { return s.i0 < s1; }) -
                  v.begin());
        if (*hi < *lo) *hi = *lo;
    }

    // Two channels at once in the 0x00ff00ff lanes: a * (256 - f) + b * f
    // stays within each lane's 16 bits.
    static uint32_t mix(uint32_t a, uint32_t b, int f) {
        const uint32_t g = 256 - static_cast<uint32_t>(f), uf = static_cast<uint32_t>(f);
        const uint32_t rb = ((a & 0xff00ffu) * g + (b & 0xff00ffu) * uf) >> 8 & 0xff00ffu;
        const uint32_t ga = ((a >> 8 & 0xff00ffu) * g + (b >> 8 & 0xff00ffu) * uf) & 0xff00ff00u;
        return rb | ga;
    }

    // Source row y scaled across the columns of o, kept for the next rows
    // (two lines: the rows above and below the sampled point).
    const uint32_t *line(const uint32_t *src, int src_stride, int y, const rect &o) {
        for (int k = 0; k < 2; ++k)
            if (line_row_[k] == y) return line_[k].data();
        const int k = line_row_[0] == y - 1 ? 1 : 0;  // keep the row above
        uint32_t *out = line_[k].data();
        const uint32_t *in = src + static_cast<std::ptrdiff_t>(y) * src_stride;
        for (int x = o.x; x < o.x + o.w; ++x) {
            const sample &c = cols_[static_cast<size_t>(x)];
            out[x] = c.f ? mix(in[c.i0], in[c.i0 + 1], c.f) : in[c.i0];
        }
        line_row_[k] = y;
        return out;
    }

    int src_w_ = 0, src_h_ = 0, dst_w_ = 0, dst_h_ = 0;
    std::vector<sample> cols_, rows_;
    std::vector<uint32_t> line_[2];
    int line_row_[2] = {-1, -1};
};

}  // namespace qv_view

#endif  // QV_VIEW_FRAME_H
