// Client-side helpers of the interop tests: handles with a chosen encoding
// list, the dirty rectangles they deliver, and waiting until a framebuffer
// shows what the server's screen shows.
#ifndef QV_INTEROP_CLIENT_H
#define QV_INTEROP_CLIENT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "interop_image.h"
#include "interop_process.h"
#include "quenvira_vnc.h"

namespace interop {

struct ClientDeleter {
    void operator()(vnc_client_t *c) const { vnc_destroy(c); }
};
using ClientPtr = std::unique_ptr<vnc_client_t, ClientDeleter>;

// Encoding numbers, for the lists the tests announce.
namespace enc {
constexpr int32_t kRaw = 0, kCopyRect = 1, kRre = 2, kHextile = 5, kTight = 7, kZrle = 16,
                  kDesktopSize = -223, kLastRect = -224;
}

// A new handle announcing encodings (empty: the library's own list).
ClientPtr make_client(const std::vector<int32_t> &encodings = {});

// Every dirty rectangle a handle delivered while it was polled.
class DirtyLog {
public:
    // Takes the pending dirty rectangle, if any; true when there was one.
    bool poll(vnc_client_t *client);
    void clear() { rects_.clear(); }
    const std::vector<Rect> &rects() const { return rects_; }
    // Whether a delivered rectangle contains pixel (x, y).
    bool covered(int x, int y) const;
    // Pixels of r that no delivered rectangle contains.
    long uncovered(const Rect &r) const;
    // Changed pixels (before vs after) that no delivered rectangle contains.
    long uncovered_changes(const Image &before, const Image &after) const;
    std::string str() const;

private:
    std::vector<Rect> rects_;
};

struct Match {
    bool ok = false;
    Diff diff;     // of the last comparison
    Image screen;  // the last ground truth
    Image fb;      // the last framebuffer copy
    std::string error;
    std::string str() const;
    // Writes the framebuffer and the screen as PPM files beside prefix.
    void save(const std::string &prefix) const;
};

// Polls until the handle's framebuffer equals the X screen of display
// (fourth byte ignored), or timeout. Dirty rectangles delivered meanwhile go
// to log when given.
Match wait_screen_match(vnc_client_t *client, int display, Millis timeout, DirtyLog *log = nullptr);
// The same against a fixed picture.
Match wait_image_match(vnc_client_t *client, const Image &want, Millis timeout,
                       DirtyLog *log = nullptr);

// After a change on the screen of display: waits until the framebuffer
// equals the screen again and checks that every pixel that changed since
// before lies in a dirty rectangle delivered meanwhile. Returns "" when both
// hold, else what went wrong (the pictures are saved beside save_prefix when
// given). before becomes the screen as now seen.
std::string await_change(vnc_client_t *client, int display, Image *before, Millis timeout,
                         const std::string &save_prefix = "");

}  // namespace interop

#endif
