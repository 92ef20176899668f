// vnc-view's window: opened black, placed and sized for the desktop, and
// painted from the framebuffer, 1:1 or scaled, only where it changed, with
// the server's pointer shape over it. pull_pixels is the pattern worth
// copying: the dirty rectangle, then the framebuffer lock only while its
// rows are copied. It draws into SDL's window surface, with no renderer: on
// X11 that is a shared-memory image, and no OpenGL (with Mesa's LLVM where
// there is no GPU) is loaded.
#include "viewer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace qv_view {

using namespace qv_tool;

namespace {

// Window size while connecting, before the remote size is known.
constexpr int kFirstWidth = 640, kFirstHeight = 480;

}  // namespace

viewer::~viewer() {
    if (window_) SDL_DestroyWindow(window_);
    // Through a volatile pointer, so that the stores are not dropped as dead.
    volatile char *p = &password_[0];
    for (size_t i = 0; i < password_.size(); ++i) p[i] = 0;
}

bool viewer::open_window() {
    scale_ = o_.scale;
    window_ = SDL_CreateWindow("vnc-view", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                               kFirstWidth, kFirstHeight, SDL_WINDOW_RESIZABLE);
    if (!window_) {
        complain("cannot open a window: %s", SDL_GetError());
        return false;
    }
    if (o_.view_only) SDL_StopTextInput();
    else SDL_StartTextInput();
    update_title();
    return blank();
}

void viewer::tick_while_connecting() {
    SDL_Event ev;
    while (SDL_PollEvent(&ev)) {
        if (ev.type == SDL_QUIT) {
            // vnc_connect cannot be interrupted; leaving ends it.
            SDL_Quit();
            std::_Exit(kExitOk);
        }
        if (ev.type == SDL_WINDOWEVENT) full_ = true;
    }
    if (full_) blank();
}

// The window is black until the framebuffer arrives.
bool viewer::blank() {
    full_ = false;
    SDL_Surface *s = SDL_GetWindowSurface(window_);
    if (!s) {
        complain("cannot draw in the window: %s", SDL_GetError());
        return false;
    }
    SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, 0, 0, 0));
    SDL_UpdateWindowSurface(window_);
    return true;
}


// The host loop's heart: the dirty rectangle, then the framebuffer lock only
// while its rows are copied (into the window, or into the mirror when
// scaled); scaling and showing happen after the lock is released.
bool viewer::pull_pixels(bool *shown) {
    int x, y, w, h;
    pixels_due_ = false;
    if (vnc_get_dirty_rect(client_, &x, &y, &w, &h)) pending_.add(x, y, w, h);
    const rect d = layout();
    if (d.x != drawn_layout_.x || d.y != drawn_layout_.y || d.w != drawn_layout_.w ||
        d.h != drawn_layout_.h)
        full_ = true;  // resized or rescaled: borders and all
    if (pending_.empty() && !full_ && !cursor_dirty_) {
        if (push_) SDL_UpdateWindowSurface(window_);
        *shown = push_;
        push_ = false;
        return true;
    }
    void *pixels = nullptr;
    int stride = 0, fb_w = 0, fb_h = 0;
    const bool locked = vnc_lock_framebuffer(client_, &pixels, &stride, &fb_w, &fb_h) == 0;
    if (locked && (fb_w != fb_w_ || fb_h != fb_h_)) {
        vnc_unlock_framebuffer(client_);
        // The desktop was resized (DesktopSize): the window follows, and
        // all of it is drawn on the next round.
        fb_w_ = fb_w, fb_h_ = fb_h;
        mirror_valid_ = false;
        if (fb_w == asked_w_ && fb_h == asked_h_) asked_w_ = asked_h_ = 0;  // done as asked
        fit_window(fb_w, fb_h);
        update_title();
        return true;
    }
    const bool ok = draw(locked ? pixels : nullptr, stride);  // unlocks
    *shown = true;
    return ok;
}

// Called with the framebuffer locked (pixels null: none yet); unlocks it.
bool viewer::draw(void *pixels, int stride) {
    SDL_Surface *s = SDL_GetWindowSurface(window_);
    if (!s) {
        vnc_unlock_framebuffer(client_);
        complain("cannot draw in the window: %s", SDL_GetError());
        return false;
    }
    const rect d = layout();
    const bool one_to_one = d.w == fb_w_ && d.h == fb_h_;
    if (!one_to_one && !mirror_valid_) full_ = true;
    const bool full = full_;
    const rect src = full ? rect{0, 0, fb_w_, fb_h_} : pending_.clipped(fb_w_, fb_h_);
    const rect window{0, 0, s->w, s->h};
    if (SDL_MUSTLOCK(s)) SDL_LockSurface(s);
    if (full) SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, 0, 0, 0));
    rect shown;
    // The painted pointer is erased by drawing the picture under it again.
    const rect old = full ? rect{} : cursor_drawn_;
    if (pixels && one_to_one) {
        // 1:1: the rows go straight into the window (a plain copy where the
        // window has the library's layout, as X11's usually does).
        mirror_valid_ = false;
        shown = intersect(rect{d.x + src.x, d.y + src.y, src.w, src.h}, window);
        copy_1to1(s, pixels, stride, d, shown);
        copy_1to1(s, pixels, stride, d, old);
    } else if (pixels && !src.empty()) {
        const size_t need = static_cast<size_t>(fb_w_) * static_cast<size_t>(fb_h_);
        if (mirror_.size() != need) mirror_.assign(need, 0);
        for (int row = src.y; row < src.y + src.h; ++row)
            std::memcpy(&mirror_[static_cast<size_t>(row) * fb_w_ + src.x],
                        static_cast<const unsigned char *>(pixels) + static_cast<size_t>(stride) * row +
                            src.x * 4,
                        static_cast<size_t>(src.w) * 4);
        mirror_valid_ = true;
    }
    vnc_unlock_framebuffer(client_);  // always, whatever the lock call returned
    if (!one_to_one) {
        if (scaler_.dst_w() != d.w || scaler_.dst_h() != d.h || full) scaler_.set(fb_w_, fb_h_, d.w, d.h);
        if (mirror_valid_ && !src.empty()) {
            const rect out = scaler_.touched_by(src);
            shown = intersect(rect{d.x + out.x, d.y + out.y, out.w, out.h}, window);
            draw_scaled(s, d, shown);
        }
        if (mirror_valid_) draw_scaled(s, d, intersect(old, intersect(d, window)));
    } else if (!mirror_.empty()) {
        std::vector<uint32_t>().swap(mirror_);  // 1:1 needs no copy
    }
    const rect cursor = cursor_area(d, window);
    paint_cursor(s, cursor);
    if (SDL_MUSTLOCK(s)) SDL_UnlockSurface(s);

    if (full || push_) {
        SDL_UpdateWindowSurface(window_);
    } else {
        SDL_Rect r[3];
        int n = 0;
        for (const rect &a : {shown, old, cursor})
            if (!a.empty()) r[n++] = SDL_Rect{a.x, a.y, a.w, a.h};
        if (n > 0) SDL_UpdateWindowSurfaceRects(window_, r, n);
    }
    pending_.clear();
    full_ = push_ = cursor_dirty_ = false;
    cursor_drawn_ = cursor;
    drawn_layout_ = d;
    return true;
}

// The window area a (inside the window) straight from the locked
// framebuffer drawn at d, 1:1.
void viewer::copy_1to1(SDL_Surface *s, const void *pixels, int stride, const rect &d,
                       const rect &a) {
    const rect in = intersect(a, d);
    if (in.empty()) return;
    const unsigned char *from = static_cast<const unsigned char *>(pixels) +
                                static_cast<size_t>(stride) * (in.y - d.y) + (in.x - d.x) * 4;
    unsigned char *to = static_cast<unsigned char *>(s->pixels) +
                        static_cast<size_t>(s->pitch) * in.y + in.x * s->format->BytesPerPixel;
    SDL_ConvertPixels(in.w, in.h, SDL_PIXELFORMAT_XRGB8888, from, stride, s->format->format, to,
                      s->pitch);
}

// Where the pointer shape goes: its hot spot at the local pointer, inside
// the picture; empty when there is none to paint.
rect viewer::cursor_area(const rect &d, const rect &window) const {
    if (!mouse_in_ || shape_.w <= 0 || shape_.h <= 0) return {};
    const rect at{mouse_x_ - shape_.hot_x, mouse_y_ - shape_.hot_y, shape_.w, shape_.h};
    return intersect(at, intersect(d, window));
}

// Paints the opaque pixels of the shape that fall in a (from cursor_area).
void viewer::paint_cursor(SDL_Surface *s, const rect &a) {
    if (a.empty()) return;
    const Uint32 f = s->format->format;
    const int bpp = s->format->BytesPerPixel;
    if (shape_.native_format != f) {
        shape_.native.assign(static_cast<size_t>(shape_.w) * shape_.h * bpp, 0);
        SDL_ConvertPixels(shape_.w, shape_.h, SDL_PIXELFORMAT_XRGB8888, shape_.pixels.data(),
                          shape_.w * 4, f, shape_.native.data(), shape_.w * bpp);
        shape_.native_format = f;
    }
    const int sx = a.x - (mouse_x_ - shape_.hot_x), sy = a.y - (mouse_y_ - shape_.hot_y);
    for (int row = 0; row < a.h; ++row) {
        const size_t from = static_cast<size_t>(sy + row) * shape_.w + sx;
        unsigned char *to =
            static_cast<unsigned char *>(s->pixels) + static_cast<size_t>(s->pitch) * (a.y + row) +
            a.x * bpp;
        for (int col = 0; col < a.w; ++col, to += bpp)
            if (shape_.pixels[from + col] >> 24 >= 128)
                std::memcpy(to, &shape_.native[(from + col) * bpp], bpp);
    }
}

// The window area a (in window pixels) from the mirror, scaled.
void viewer::draw_scaled(SDL_Surface *s, const rect &d, const rect &a) {
    if (a.empty()) return;
    const rect out{a.x - d.x, a.y - d.y, a.w, a.h};  // in the scaled picture
    const Uint32 f = s->format->format;
    unsigned char *to = static_cast<unsigned char *>(s->pixels) + static_cast<size_t>(s->pitch) * a.y +
                        a.x * s->format->BytesPerPixel;
    if (f == SDL_PIXELFORMAT_XRGB8888 || f == SDL_PIXELFORMAT_ARGB8888) {
        scaler_.draw(mirror_.data(), fb_w_, reinterpret_cast<uint32_t *>(to), s->pitch / 4, out);
        return;
    }
    // Another window format: scaled into a scratch block, then converted.
    scratch_.resize(static_cast<size_t>(a.w) * static_cast<size_t>(a.h));
    scaler_.draw(mirror_.data(), fb_w_, scratch_.data(), a.w, out);
    SDL_ConvertPixels(a.w, a.h, SDL_PIXELFORMAT_XRGB8888, scratch_.data(), a.w * 4, f, to, s->pitch);
}

// The window at the remote size, shrunk (scaled, or cut when 1:1) to what
// the screen offers, and moved onto it: without a window manager nobody
// else keeps it there.
void viewer::fit_window(int w, int h) {
    full_ = true;
    if (w <= 0 || h <= 0) return;
    rect usable;
    SDL_Rect u;
    const int display = SDL_GetWindowDisplayIndex(window_);
    if (display >= 0 && SDL_GetDisplayUsableBounds(display, &u) == 0) usable = {u.x, u.y, u.w, u.h};
    borders b;
    if (SDL_GetWindowBordersSize(window_, &b.top, &b.left, &b.bottom, &b.right) != 0) b = borders{};
    rect at;
    SDL_GetWindowPosition(window_, &at.x, &at.y);
    SDL_GetWindowSize(window_, &at.w, &at.h);
    const rect r = place_window(usable, b, at, w, h, scale_);
    SDL_SetWindowSize(window_, r.w, r.h);
    SDL_SetWindowPosition(window_, r.x, r.y);
}

rect viewer::layout() const {
    int ww = 0, wh = 0;
    SDL_GetWindowSize(window_, &ww, &wh);
    return fit_in(ww, wh, fb_w_, fb_h_, scale_);
}

void viewer::update_title() {
    std::string t = "vnc-view: " + (name_.empty() ? "" : name_ + " - ") + where_;
    if (!client_) {
        t += " (connecting)";
    } else {
        t += " (" + std::to_string(fb_w_) + "x" + std::to_string(fb_h_) + ", " +
             (connected_ ? "connected" : reconnecting_ ? "reconnecting" : "disconnected");
        if (o_.view_only) t += ", view only";
        if (fb_w_ > 0 && fb_h_ > 0) {
            const rect d = layout();
            if (d.w == fb_w_ && d.h == fb_h_) {
                t += ", 1:1";
            } else {
                t += ", " + std::to_string(int(100.0 * d.w / fb_w_ + 0.5)) + "%";
            }
        }
        t += ")";
    }
    if (chord_) t += " - F8: Delete = Ctrl-Alt-Del, S = scale, F8 = F8";
    if (t != title_) {
        title_ = t;
        SDL_SetWindowTitle(window_, t.c_str());
    }
}

}  // namespace qv_view
