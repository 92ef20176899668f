// vnc-view's geometry, free of SDL so that a unit test can reach it: where
// the window goes on the screen and where the framebuffer goes in it.
#ifndef QV_VIEW_FRAME_H
#define QV_VIEW_FRAME_H

#include <algorithm>
#include <cstdint>

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

}  // namespace qv_view

#endif  // QV_VIEW_FRAME_H
