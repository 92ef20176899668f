// vnc-view's parts: its options, and the viewer, whose members live by
// concern in view_window.cpp (the window and painting into it),
// view_input.cpp (keys, pointer and the local clipboard, to the server) and
// view_loop.cpp (the loop that waits for SDL and the library, and what the
// library's news leads to). vnc_view.cpp has the command line and main.
#ifndef QV_VIEWER_H
#define QV_VIEWER_H

#include <SDL.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quenvira_vnc.h"
#include "tool_common.h"
#include "view_frame.h"

namespace qv_view {

struct options : qv_tool::common_options {
    bool demo = false;
    bool scale = true;
    bool view_only = false;
    bool resize_remote = false;
    bool qemu_keys = true;
    bool reconnect = false;
    std::string cursor;  // "local", "server", or empty: local unless view only
    std::string target;
};

// Clipboard text as it goes to the library (option clipboard=utf8): valid
// UTF-8 with LF line ends. The library makes Latin-1 of it for a server
// without UTF-8 clipboards.
std::string clean_text(const char *text);

// A rectangle in framebuffer pixels; the union of dirty rectangles not yet
// drawn.
struct area {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return x1 <= x0 || y1 <= y0; }
    void add(int x, int y, int w, int h) {
        if (w <= 0 || h <= 0) return;
        if (empty()) {
            x0 = x, y0 = y, x1 = x + w, y1 = y + h;
            return;
        }
        x0 = std::min(x0, x), y0 = std::min(y0, y);
        x1 = std::max(x1, x + w), y1 = std::max(y1, y + h);
    }
    rect clipped(int w, int h) const {
        return intersect(rect{x0, y0, x1 - x0, y1 - y0}, rect{0, 0, w, h});
    }
    void clear() { x0 = y0 = x1 = y1 = 0; }
};

class viewer {
public:
    viewer(const options &o, const std::string &where) : o_(o), where_(where) {}
    ~viewer();

    // The window; false (with a message) when there is no display.
    bool open_window();
    // Keeps the window responsive while connecting.
    void tick_while_connecting();
    // After vnc_connect succeeded: runs until the window is closed or the
    // connection is lost (with --reconnect: until a reconnect's password is
    // refused); returns the exit status. host, port and password are for
    // connecting again.
    int run(vnc_client_t *client, const std::string &host, int port, const char *password);

private:
    void handle(const SDL_Event &ev);
    void window_event(const SDL_WindowEvent &w);
    void key_down(const SDL_KeyboardEvent &k);
    void key_up(const SDL_KeyboardEvent &k);
    void text_input(const char *text);
    bool chord_key(SDL_Keycode key);
    void pointer_moved(int wx, int wy);
    void button(Uint8 which, bool down);
    void wheel(const SDL_MouseWheelEvent &w);
    void release_everything();
    void send_clipboard();
    void send_key(uint32_t keysym, bool down);
    void send_pointer();

    bool start_waiter();
    void stop_waiter();
    bool start_reconnect();
    void stop_reconnect();
    int reconnect_event(int code);
    int loop();
    Uint64 next_wake() const;
    bool paint_pending() const;
    void library_event();
    void check_name();
    void check_size_answer();
    void bell();
    void poll_cursor();
    void poll_clipboard();
    void resize_remote();
    rect cursor_area(const rect &d, const rect &window) const;
    void paint_cursor(SDL_Surface *s, const rect &a);

    bool pull_pixels(bool *shown);
    bool draw(void *pixels, int stride);
    void copy_1to1(SDL_Surface *s, const void *pixels, int stride, const rect &d, const rect &a);
    void draw_scaled(SDL_Surface *s, const rect &d, const rect &src);
    bool blank();
    void fit_window(int w, int h);
    rect layout() const;
    void update_title();

    const options &o_;
    const std::string where_;
    vnc_client_t *client_ = nullptr;
    SDL_Window *window_ = nullptr;
    int fb_w_ = 0, fb_h_ = 0;  // the framebuffer size last seen
    area pending_;             // changed, not yet drawn
    bool full_ = true;         // the whole window must be drawn afresh
    bool push_ = false;        // the window surface must be shown again as it is
    rect drawn_layout_;        // where the last drawing put the framebuffer
    // Scaled views are drawn from a copy of the framebuffer, so that the
    // lock is held only while the changed rows are copied, not while they
    // are scaled; 1:1 views copy straight into the window.
    std::vector<uint32_t> mirror_;
    bool mirror_valid_ = false;
    scaler scaler_;
    std::vector<uint32_t> scratch_;  // scaled pixels for a window of another format
    bool quit_ = false;
    bool connected_ = false;
    bool lost_ = false;        // the library said the connection ended
    int finished_ = -1;        // the exit status, once decided off the loop's path
    bool pixels_due_ = false;  // the library handed over pixels not yet looked at
    Uint64 last_paint_ = 0;    // when the window was last shown

    // The thread in vnc_wait_event. It adds what it was told to events_ and
    // posts an SDL event of type event_type_ only when events_ was empty, so
    // that the queue holds one such event however busy the server is.
    std::thread waiter_;
    std::atomic<unsigned> events_{0};
    Uint32 event_type_ = 0;  // and event_type_ + 1: the reconnecting thread's outcome

    // --reconnect: after a drop a thread connects again with backoff and
    // posts its outcome; the window keeps the last picture meanwhile.
    std::string host_, password_;
    int port_ = 0;
    bool have_password_ = false;
    bool reconnecting_ = false;
    std::thread reconnector_;
    std::mutex reconnect_mutex_;
    std::condition_variable reconnect_wake_;
    bool reconnect_stop_ = false;  // under reconnect_mutex_
    std::atomic<bool> reconnector_done_{true};
    std::string refused_why_, refused_reason_;  // the refusal that ended it
    bool scale_ = true;
    bool chord_ = false;  // F8 was pressed: the next key is a command
    std::string title_;

    // Input state: the remote pointer and buttons, and the keysym each
    // physical key pressed at the server, so that its release matches.
    int pointer_x_ = 0, pointer_y_ = 0, buttons_ = 0;
    std::map<SDL_Scancode, uint32_t> held_;
    SDL_Scancode text_key_ = SDL_SCANCODE_UNKNOWN;  // key whose text is expected
    // The text the two clipboards last agreed on (sent there, or taken from
    // there), in clean_text's form: neither side gets it back.
    std::string clipboard_sent_;
    bool clipboard_ever_sent_ = false;
    unsigned cut_serial_ = 0;  // of the server's last text taken

    // The server's pointer shape (cursor=local), painted over the picture at
    // the local pointer; the system pointer is hidden over the window while
    // there is one.
    struct shape {
        bool known = false;
        unsigned serial = 0;
        int w = 0, h = 0, hot_x = 0, hot_y = 0;
        std::vector<uint32_t> pixels;      // the library's format, mask in the fourth byte
        std::vector<unsigned char> native;  // the colours in the window's format
        Uint32 native_format = 0;
    } shape_;
    int mouse_x_ = 0, mouse_y_ = 0;  // the local pointer, window pixels
    bool mouse_in_ = false;
    bool cursor_dirty_ = false;  // moved or changed: erase and paint again
    rect cursor_drawn_;          // what the painted pointer covers now

    std::string name_;  // the desktop's name
    // --resize-remote: when to ask, what was asked last, the answers seen.
    Uint64 resize_due_ = 0;
    int asked_w_ = 0, asked_h_ = 0;
    bool resize_given_up_ = false;
    unsigned size_answer_serial_ = 0;
};


}  // namespace qv_view

#endif
