#include "interop_client.h"

#include <sstream>

#include "interop_peers.h"
#include "vnc_client_internal.h"

namespace interop {

ClientPtr make_client(const std::vector<int32_t> &encodings) {
    ClientPtr c(vnc_create());
    if (c && !encodings.empty())
        vnc_set_encodings_for_testing(c.get(), encodings.data(),
                                      static_cast<int>(encodings.size()));
    return c;
}

bool DirtyLog::poll(vnc_client_t *client) {
    Rect r;
    if (vnc_get_dirty_rect(client, &r.x, &r.y, &r.w, &r.h) != 1) return false;
    rects_.push_back(r);
    return true;
}

bool DirtyLog::covered(int x, int y) const {
    for (const Rect &d : rects_)
        if (d.contains(x, y)) return true;
    return false;
}

long DirtyLog::uncovered(const Rect &r) const {
    long n = 0;
    for (int y = r.y; y < r.y + r.h; ++y)
        for (int x = r.x; x < r.x + r.w; ++x) {
            if (!covered(x, y)) ++n;
        }
    return n;
}

long DirtyLog::uncovered_changes(const Image &before, const Image &after) const {
    if (before.width != after.width || before.height != after.height) return -1;
    long n = 0;
    for (int y = 0; y < after.height; ++y)
        for (int x = 0; x < after.width; ++x) {
            if ((before.at(x, y) & 0xFFFFFF) == (after.at(x, y) & 0xFFFFFF)) continue;
            if (!covered(x, y)) ++n;
        }
    return n;
}

std::string DirtyLog::str() const {
    std::ostringstream out;
    out << rects_.size() << " dirty rectangles:";
    size_t shown = 0;
    for (const Rect &r : rects_) {
        if (++shown > 12) {
            out << " ...";
            break;
        }
        out << ' ' << r.str();
    }
    return out.str();
}

std::string Match::str() const {
    std::ostringstream out;
    if (!error.empty()) out << error << "; ";
    out << "framebuffer " << fb.width << "x" << fb.height << ", screen " << screen.width << "x"
        << screen.height << ": " << diff.str();
    return out.str();
}

void Match::save(const std::string &prefix) const {
    write_file(prefix + "-framebuffer.ppm", to_ppm(fb));
    write_file(prefix + "-screen.ppm", to_ppm(screen));
}

namespace {

template <typename Truth>
Match wait_match(vnc_client_t *client, Truth truth, Millis timeout, DirtyLog *log) {
    Match m;
    wait_until(
        [&] {
            if (log) log->poll(client);
            std::string err;
            if (!truth(&m.screen, &err)) {
                m.error = err;
                return false;
            }
            m.error.clear();
            m.fb = snapshot(client);
            m.diff = compare(m.fb, m.screen);
            m.ok = m.diff.count == 0;
            return m.ok;
        },
        timeout, Millis(40));
    // What arrived with the last update is part of what was compared.
    if (log) log->poll(client);
    return m;
}

}  // namespace

Match wait_screen_match(vnc_client_t *client, int display, Millis timeout, DirtyLog *log) {
    return wait_match(
        client, [display](Image *img, std::string *err) { return grab_root(display, img, err); },
        timeout, log);
}

Match wait_image_match(vnc_client_t *client, const Image &want, Millis timeout, DirtyLog *log) {
    return wait_match(
        client,
        [&want](Image *img, std::string *) {
            *img = want;
            return true;
        },
        timeout, log);
}

std::string await_change(vnc_client_t *client, int display, Image *before, Millis timeout,
                         const std::string &save_prefix) {
    DirtyLog log;
    const Match m = wait_screen_match(client, display, timeout, &log);
    if (!m.ok) {
        if (!save_prefix.empty()) m.save(save_prefix);
        return "no match: " + m.str();
    }
    const long uncovered = log.uncovered_changes(*before, m.screen);
    *before = m.screen;
    if (uncovered != 0)
        return std::to_string(uncovered) + " changed pixels outside the " + log.str();
    return "";
}

}  // namespace interop
