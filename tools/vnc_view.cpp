// vnc-view: a small VNC viewer on SDL2, and the reference host of the
// library. It uses the public header only. The patterns worth copying are
// viewer::run, which sleeps until SDL or the library (through a thread in
// vnc_wait_event) has something, and viewer::pull_pixels: take the dirty
// rectangle, hold the framebuffer lock only while copying that rectangle,
// and show only what changed. It draws
// into SDL's window surface, with no renderer: on X11 that is a shared-memory
// image, and no OpenGL (with Mesa's LLVM where there is no GPU) is loaded.
#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "quenvira_vnc.h"
#include "tool_common.h"
#include "view_frame.h"

namespace {

using namespace qv_tool;
using namespace qv_view;

// At most one painting per frame (60 Hz): a burst of small updates is
// shown together, a change after a quiet spell at once.
constexpr Uint64 kFrameMs = 16;
// Window size while connecting, before the remote size is known.
constexpr int kFirstWidth = 640, kFirstHeight = 480;
// --resize-remote asks for the window's size once it has kept it this long,
// not for every step of a drag.
constexpr Uint32 kResizeSettleMs = 300;

// X keysyms sent for keys that have no text.
namespace xk {
constexpr uint32_t kBackSpace = 0xff08, kTab = 0xff09, kReturn = 0xff0d, kPause = 0xff13,
                   kScrollLock = 0xff14, kEscape = 0xff1b, kHome = 0xff50, kLeft = 0xff51,
                   kUp = 0xff52, kRight = 0xff53, kDown = 0xff54, kPageUp = 0xff55,
                   kPageDown = 0xff56, kEnd = 0xff57, kPrint = 0xff61, kInsert = 0xff63,
                   kMenu = 0xff67, kModeSwitch = 0xff7e, kNumLock = 0xff7f, kKpEnter = 0xff8d,
                   kF1 = 0xffbe, kShiftL = 0xffe1, kShiftR = 0xffe2, kControlL = 0xffe3,
                   kControlR = 0xffe4, kCapsLock = 0xffe5, kAltL = 0xffe9, kAltR = 0xffea,
                   kSuperL = 0xffeb, kSuperR = 0xffec, kDelete = 0xffff, kF8 = 0xffc5;
}  // namespace xk

// The keysym of a key that never comes as text, or 0.
uint32_t named_keysym(SDL_Keycode key) {
    if (key >= SDLK_F1 && key <= SDLK_F12) return xk::kF1 + static_cast<uint32_t>(key - SDLK_F1);
    switch (key) {
    case SDLK_BACKSPACE: return xk::kBackSpace;
    case SDLK_TAB: return xk::kTab;
    case SDLK_RETURN: return xk::kReturn;
    case SDLK_KP_ENTER: return xk::kKpEnter;
    case SDLK_ESCAPE: return xk::kEscape;
    case SDLK_DELETE: return xk::kDelete;
    case SDLK_INSERT: return xk::kInsert;
    case SDLK_HOME: return xk::kHome;
    case SDLK_END: return xk::kEnd;
    case SDLK_PAGEUP: return xk::kPageUp;
    case SDLK_PAGEDOWN: return xk::kPageDown;
    case SDLK_LEFT: return xk::kLeft;
    case SDLK_UP: return xk::kUp;
    case SDLK_RIGHT: return xk::kRight;
    case SDLK_DOWN: return xk::kDown;
    case SDLK_PRINTSCREEN: return xk::kPrint;
    case SDLK_SCROLLLOCK: return xk::kScrollLock;
    case SDLK_PAUSE: return xk::kPause;
    case SDLK_APPLICATION: return xk::kMenu;
    case SDLK_NUMLOCKCLEAR: return xk::kNumLock;
    case SDLK_CAPSLOCK: return xk::kCapsLock;
    case SDLK_LSHIFT: return xk::kShiftL;
    case SDLK_RSHIFT: return xk::kShiftR;
    case SDLK_LCTRL: return xk::kControlL;
    case SDLK_RCTRL: return xk::kControlR;
    case SDLK_LALT: return xk::kAltL;
    case SDLK_RALT: return xk::kAltR;
    case SDLK_LGUI: return xk::kSuperL;
    case SDLK_RGUI: return xk::kSuperR;
    case SDLK_MODE: return xk::kModeSwitch;
    default: return 0;
    }
}

// Keysym of a character: Latin-1 as itself, the rest of Unicode offset.
uint32_t char_keysym(uint32_t cp) { return cp < 0x100 ? cp : 0x01000000u | cp; }

// Next code point of UTF-8 text; invalid bytes come out as U+FFFD.
uint32_t next_code_point(const char *&p, const char *end) {
    const unsigned char c = static_cast<unsigned char>(*p++);
    int more = c >= 0xf0 && c < 0xf8 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
    if (c >= 0x80 && more == 0) return 0xfffd;
    if (c >= 0xf8) return 0xfffd;
    uint32_t cp = more == 3 ? c & 0x07 : more == 2 ? c & 0x0f : more == 1 ? c & 0x1f : c;
    for (; more > 0; --more) {
        if (p == end || (static_cast<unsigned char>(*p) & 0xc0) != 0x80) return 0xfffd;
        cp = cp << 6 | (static_cast<unsigned char>(*p++) & 0x3f);
    }
    return cp;
}

// Clipboard text as it goes to the library (option clipboard=utf8): valid
// UTF-8 with LF line ends. The library makes Latin-1 of it for a server
// without UTF-8 clipboards.
std::string clean_text(const char *text) {
    std::string out;
    const char *p = text, *end = text + std::strlen(text);
    while (p < end) {
        uint32_t cp = next_code_point(p, end);
        if (cp == '\r') {
            if (p < end && *p == '\n') continue;  // CR LF: the LF follows
            cp = '\n';
        }
        if (cp > 0x10ffff || (cp >= 0xd800 && cp < 0xe000)) cp = 0xfffd;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xc0 | cp >> 6));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xe0 | cp >> 12));
            out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else {
            out.push_back(static_cast<char>(0xf0 | cp >> 18));
            out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        }
    }
    return out;
}

struct options : common_options {
    bool demo = false;
    bool scale = true;
    bool view_only = false;
    bool resize_remote = false;
    std::string cursor;  // "local", "server", or empty: local unless view only
    std::string target;
};

void print_help() {
    std::printf(
        "Usage: %s [OPTIONS] HOST[:DISPLAY|::PORT]\n"
        "       %s [OPTIONS] --demo\n"
        "\n"
        "Shows a VNC (RFB) server's screen in a window and sends it the pointer,\n"
        "the keyboard and the local clipboard.\n"
        "\n"
        "Server address:\n"
        "  HOST            port 5900\n"
        "  HOST:DISPLAY    port 5900 + DISPLAY\n"
        "  HOST::PORT      that TCP port\n"
        "  IPv6 addresses go in brackets: [::1], [::1]:1, [::1]::5901\n"
        "\n"
        "Options:\n"
        "  --password-env NAME   take the password from environment variable NAME\n"
        "                        (default: VNC_PASSWORD, when it is set)\n"
        "  --password-file FILE  take the password from the first line of FILE\n"
        "  -p, --password PW     the password itself (visible to other users in\n"
        "                        the process list: prefer the two above)\n"
        "  --timeout SECONDS     give up connecting after this long (default %d);\n"
        "                        once connected, the viewer stays until closed\n"
        "  --no-scale            show the screen 1:1 (default: scaled to fit the\n"
        "                        window, aspect ratio kept)\n"
        "  --view-only           send nothing to the server: no pointer, keys or\n"
        "                        clipboard\n"
        "  --cursor MODE         local (default): the server sends its pointer's\n"
        "                        shape, drawn here at the local pointer; server: it\n"
        "                        draws its pointer into the screen (the default with\n"
        "                        --view-only, where the remote pointer stays put)\n"
        "  --resize-remote       ask the server to resize its desktop to the\n"
        "                        window's size whenever the two differ for a moment\n"
        "                        (a window resized, or opened smaller than the\n"
        "                        desktop); the server must support it, else the\n"
        "                        picture scales\n"
        "%s"
        "  --demo                start the library's built-in test server on a free\n"
        "                        loopback port (from %d upward) and view it\n"
        "  -h, --help            show this help and exit\n"
        "  --version             show the library version and exit\n"
        "\n"
        "Keys: text goes as the characters typed; other keys, and letters typed\n"
        "with Ctrl or Alt held, go as the keys themselves. Keys and buttons still\n"
        "held when the window loses focus are released at the server.\n"
        "  F8 then Delete   send Ctrl-Alt-Del\n"
        "  F8 then S        switch between scaled to fit and 1:1\n"
        "  F8 then F8       send F8 itself\n"
        "\n"
        "Clipboard: text copied here goes to the server while the window has the\n"
        "focus, or when it gains it; text copied on the server comes to the local\n"
        "clipboard. Both in UTF-8 with a server that takes it (Extended\n"
        "Clipboard), else as Latin-1 (other characters become '?').\n"
        "\n"
        "The server's bell marks the window as wanting attention until it has the\n"
        "focus (how that shows is up to the window manager).\n"
        "\n"
        "The title shows the desktop's name, the server, its desktop size, the\n"
        "connection state and the scale.\n"
        "\n"
        "Exit status:\n"
        "  0  the window was closed\n"
        "  1  internal failure (no window could be opened, out of memory, test\n"
        "     server would not start)\n"
        "  2  usage error, or the password source cannot be read\n"
        "  3  host not found, unreachable, connection refused or handshake failed\n"
        "  4  authentication failed (wrong or missing password)\n"
        "  5  timed out connecting\n"
        "  7  the connection was lost (the server closed it or went away)\n",
        program(), program(), kDefaultTimeoutSeconds, kEncodingOptionsHelp, kDemoFirstPort);
}

// Returns -1 when the command line was fine, else the exit status.
int parse_options(int argc, char **argv, options *o) {
    std::vector<std::string> positional;
    bool only_positional = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (only_positional || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            only_positional = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            print_help();
            return kExitOk;
        }
        if (arg == "--version") {
            std::printf("vnc-view (quenvira-vnc %s)\n", vnc_version());
            return kExitOk;
        }
        if (arg == "--demo") {
            o->demo = true;
            continue;
        }
        if (arg == "--no-scale") {
            o->scale = false;
            continue;
        }
        if (arg == "--view-only") {
            o->view_only = true;
            continue;
        }
        if (arg == "--resize-remote") {
            o->resize_remote = true;
            continue;
        }
        if (arg == "--cursor" || arg.rfind("--cursor=", 0) == 0) {
            if (arg == "--cursor" && i + 1 >= argc) return usage_error("--cursor needs a value");
            o->cursor = arg == "--cursor" ? argv[++i] : arg.substr(9);
            if (o->cursor != "local" && o->cursor != "server")
                return usage_error("--cursor needs local or server, not '%s'", o->cursor.c_str());
            continue;
        }
        const option_result common = parse_common_option(argc, argv, &i, o);
        if (common == option_result::kError) return kExitUsage;
        if (common == option_result::kTaken) continue;
        return usage_error("unknown option '%s'", arg.c_str());
    }
    const int checked = check_common_options(*o);
    if (checked >= 0) return checked;
    if (o->demo) {
        if (!positional.empty()) return usage_error("--demo takes no server address");
        return -1;
    }
    if (positional.size() != 1)
        return usage_error(positional.empty() ? "need a server address" : "too many arguments");
    o->target = positional[0];
    return -1;
}

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
    // connection is lost; returns the exit status.
    int run(vnc_client_t *client);

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
    bool pixels_due_ = false;  // the library handed over pixels not yet looked at
    Uint64 last_paint_ = 0;    // when the window was last shown

    // The thread in vnc_wait_event. It adds what it was told to events_ and
    // posts an SDL event of type event_type_ only when events_ was empty, so
    // that the queue holds one such event however busy the server is.
    std::thread waiter_;
    std::atomic<unsigned> events_{0};
    Uint32 event_type_ = 0;
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

viewer::~viewer() {
    if (window_) SDL_DestroyWindow(window_);
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

int viewer::run(vnc_client_t *client) {
    client_ = client;
    connected_ = true;
    int w = 0, h = 0;
    vnc_get_dimensions(client_, &w, &h);
    fb_w_ = w, fb_h_ = h;
    fit_window(w, h);
    update_title();
    if (!start_waiter()) return kExitInternal;
    const int status = loop();
    stop_waiter();
    return status;
}

// The library's events come from a thread of their own, as SDL can wait
// for only its own queue; SDL_PushEvent wakes the main thread's wait.
bool viewer::start_waiter() {
    event_type_ = SDL_RegisterEvents(1);
    if (event_type_ == static_cast<Uint32>(-1)) {
        complain("cannot register an SDL event: %s", SDL_GetError());
        return false;
    }
    try {
        waiter_ = std::thread([this] {
            for (;;) {
                const int bits = vnc_wait_event(client_, -1);
                if (bits <= 0) return;  // the handle is going away
                if (events_.fetch_or(static_cast<unsigned>(bits)) == 0) {
                    SDL_Event ev{};
                    ev.type = event_type_;
                    SDL_PushEvent(&ev);
                }
                // Nothing more comes after the end.
                if ((bits & VNC_EVENT_STATUS) && vnc_get_status(client_) != VNC_STATUS_CONNECTED)
                    return;
            }
        });
    } catch (const std::system_error &e) {
        complain("cannot start a thread: %s", e.what());
        return false;
    }
    return true;
}

// vnc_disconnect wakes the waiter with the end, which it leaves on; joined
// here so that it is out of the handle before vnc_destroy frees it.
void viewer::stop_waiter() {
    if (!waiter_.joinable()) return;
    vnc_disconnect(client_);
    waiter_.join();
}

int viewer::loop() {
    for (;;) {
        // Sleeps until input or the library's news arrives, or a timer
        // set for something pending (a frame's pause between paintings, a
        // resize to ask for) runs out; then drains the queue. With nothing
        // pending there is no timeout: an idle viewer does not wake.
        const Uint64 wake = next_wake(), now = SDL_GetTicks64();
        SDL_Event ev;
        int got;
        if (wake == 0) {
            got = SDL_WaitEvent(&ev);
            if (!got) {
                complain("cannot wait for events: %s", SDL_GetError());
                return kExitInternal;
            }
        } else {
            got = SDL_WaitEventTimeout(&ev, wake > now ? int(wake - now) : 0);
        }
        if (got) {
            handle(ev);
            while (!quit_ && SDL_PollEvent(&ev)) handle(ev);
        }
        if (quit_) return kExitOk;
        if (lost_) {
            connected_ = false;
            update_title();
            complain("%s: the connection was lost (the server closed it or went away)",
                     where_.c_str());
            return kExitLost;
        }
        const Uint64 t = SDL_GetTicks64();
        if (resize_due_ && t >= resize_due_) resize_remote();
        if (paint_pending() && t >= last_paint_ + kFrameMs) {
            bool shown = false;
            if (!pull_pixels(&shown)) return kExitInternal;
            if (shown) last_paint_ = t;
        }
    }
}

// When the loop must look again without an event, or 0 for never.
Uint64 viewer::next_wake() const {
    Uint64 wake = resize_due_;
    if (paint_pending()) {
        const Uint64 paint = std::max<Uint64>(last_paint_ + kFrameMs, 1);
        wake = wake ? std::min(wake, paint) : paint;
    }
    return wake;
}

// New pixels, a new layout, a moved pointer shape or a window to show again.
bool viewer::paint_pending() const { return pixels_due_ || full_ || push_ || cursor_dirty_; }

// What the waiter reported since the last time: each bit names the getter
// that has news.
void viewer::library_event() {
    const unsigned bits = events_.exchange(0);
    if (bits & VNC_EVENT_STATUS && vnc_get_status(client_) != VNC_STATUS_CONNECTED) {
        lost_ = true;
        return;
    }
    if (bits & (VNC_EVENT_UPDATE | VNC_EVENT_DESKTOP_SIZE)) pixels_due_ = true;
    if (bits & VNC_EVENT_CURSOR) poll_cursor();
    if (bits & VNC_EVENT_CLIPBOARD) poll_clipboard();
    if (bits & VNC_EVENT_DESKTOP_SIZE) check_size_answer();
    if (bits & VNC_EVENT_BELL) bell();
    // The name has no event of its own: it comes with an update.
    if (bits) check_name();
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
             (connected_ ? "connected" : "disconnected");
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

void viewer::handle(const SDL_Event &ev) {
    switch (ev.type) {
    case SDL_QUIT: quit_ = true; break;
    case SDL_WINDOWEVENT: window_event(ev.window); break;
    case SDL_KEYDOWN: key_down(ev.key); break;
    case SDL_KEYUP: key_up(ev.key); break;
    case SDL_TEXTINPUT: text_input(ev.text.text); break;
    case SDL_MOUSEMOTION: pointer_moved(ev.motion.x, ev.motion.y); break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
        pointer_moved(ev.button.x, ev.button.y);
        button(ev.button.button, ev.type == SDL_MOUSEBUTTONDOWN);
        break;
    case SDL_MOUSEWHEEL: wheel(ev.wheel); break;
    case SDL_CLIPBOARDUPDATE:
        if (SDL_GetWindowFlags(window_) & SDL_WINDOW_INPUT_FOCUS) send_clipboard();
        break;
    default:
        if (ev.type == event_type_ && event_type_ != 0) library_event();
        break;
    }
}

void viewer::window_event(const SDL_WindowEvent &w) {
    switch (w.event) {
    case SDL_WINDOWEVENT_FOCUS_LOST: release_everything(); break;
    case SDL_WINDOWEVENT_FOCUS_GAINED: send_clipboard(); break;
    case SDL_WINDOWEVENT_SIZE_CHANGED:
        update_title();  // the scale changed
        full_ = true;
        if (o_.resize_remote && !resize_given_up_) resize_due_ = SDL_GetTicks64() + kResizeSettleMs;
        break;
    case SDL_WINDOWEVENT_ENTER:
    case SDL_WINDOWEVENT_LEAVE:
        mouse_in_ = w.event == SDL_WINDOWEVENT_ENTER;
        cursor_dirty_ = true;
        break;
    case SDL_WINDOWEVENT_EXPOSED:
    case SDL_WINDOWEVENT_SHOWN:
    case SDL_WINDOWEVENT_RESTORED:
        push_ = true;  // the window surface still holds the picture
        break;
    default: break;
    }
}
void viewer::send_key(uint32_t keysym, bool down) {
    if (!o_.view_only) vnc_send_key(client_, keysym, down ? 1 : 0);
}

void viewer::send_pointer() {
    if (!o_.view_only) vnc_send_pointer(client_, pointer_x_, pointer_y_, buttons_);
}

// F8 starts a chord; the key after it is a command. True when the key
// was taken by a chord.
bool viewer::chord_key(SDL_Keycode key) {
    if (!chord_) {
        if (key != SDLK_F8) return false;
        chord_ = true;
        update_title();
        return true;
    }
    if (named_keysym(key) >= xk::kShiftL && named_keysym(key) <= xk::kSuperR)
        return false;  // modifiers neither finish nor cancel the chord
    chord_ = false;
    update_title();
    switch (key) {
    case SDLK_DELETE:
        for (uint32_t k : {xk::kControlL, xk::kAltL, xk::kDelete}) send_key(k, true);
        for (uint32_t k : {xk::kDelete, xk::kAltL, xk::kControlL}) send_key(k, false);
        return true;
    case SDLK_s:
        scale_ = !scale_;
        update_title();
        full_ = true;
        return true;
    case SDLK_F8:
        send_key(xk::kF8, true);
        send_key(xk::kF8, false);
        return true;
    default: return false;  // not a command: an ordinary key
    }
}

void viewer::key_down(const SDL_KeyboardEvent &k) {
    SDL_Event next;
    // SDL queues a key's text right behind its key event.
    const bool text_follows =
        SDL_PeepEvents(&next, 1, SDL_PEEKEVENT, SDL_TEXTINPUT, SDL_TEXTINPUT) == 1;
    text_key_ = SDL_SCANCODE_UNKNOWN;
    if (!k.repeat && chord_key(k.keysym.sym)) {
        if (text_follows) SDL_PeepEvents(&next, 1, SDL_GETEVENT, SDL_TEXTINPUT, SDL_TEXTINPUT);
        return;
    }
    uint32_t sym = named_keysym(k.keysym.sym);
    if (!sym && text_follows) {
        text_key_ = k.keysym.scancode;  // text_input sends it
        return;
    }
    if (!sym) {
        // No text: Ctrl or Alt is held. Letters and other characters go as
        // the key's own (unshifted) character.
        const SDL_Keycode c = k.keysym.sym;
        if (c < 0x20 || c == 0x7f || (c & SDLK_SCANCODE_MASK)) return;
        sym = char_keysym(static_cast<uint32_t>(c));
    }
    held_[k.keysym.scancode] = sym;
    send_key(sym, true);
}

void viewer::text_input(const char *text) {
    const char *p = text, *end = text + std::strlen(text);
    std::vector<uint32_t> syms;
    while (p < end) syms.push_back(char_keysym(next_code_point(p, end)));
    if (syms.size() == 1 && text_key_ != SDL_SCANCODE_UNKNOWN) {
        // The character of a key being held: pressed now, released with
        // the key, so that the server's autorepeat and held keys work.
        auto it = held_.find(text_key_);
        if (it != held_.end() && it->second != syms[0]) send_key(it->second, false);
        held_[text_key_] = syms[0];
        send_key(syms[0], true);
    } else {
        // Composed or input-method text: each character typed at once.
        for (uint32_t s : syms) {
            send_key(s, true);
            send_key(s, false);
        }
    }
    text_key_ = SDL_SCANCODE_UNKNOWN;
}

void viewer::key_up(const SDL_KeyboardEvent &k) {
    if (text_key_ == k.keysym.scancode) text_key_ = SDL_SCANCODE_UNKNOWN;
    auto it = held_.find(k.keysym.scancode);
    if (it == held_.end()) return;  // a chord key, or one never sent
    send_key(it->second, false);
    held_.erase(it);
}

void viewer::pointer_moved(int wx, int wy) {
    if (shape_.w > 0 && (wx != mouse_x_ || wy != mouse_y_ || !mouse_in_)) cursor_dirty_ = true;
    mouse_x_ = wx, mouse_y_ = wy, mouse_in_ = true;
    const rect d = layout();
    if (d.w <= 0 || d.h <= 0) return;
    const int x = std::clamp(int(int64_t(wx - d.x) * fb_w_ / d.w), 0, fb_w_ - 1);
    const int y = std::clamp(int(int64_t(wy - d.y) * fb_h_ / d.h), 0, fb_h_ - 1);
    if (x == pointer_x_ && y == pointer_y_) return;
    pointer_x_ = x, pointer_y_ = y;
    send_pointer();
}

void viewer::button(Uint8 which, bool down) {
    int bit = 0;
    switch (which) {
    case SDL_BUTTON_LEFT: bit = 1; break;
    case SDL_BUTTON_MIDDLE: bit = 2; break;
    case SDL_BUTTON_RIGHT: bit = 4; break;
    default: return;
    }
    buttons_ = down ? buttons_ | bit : buttons_ & ~bit;
    send_pointer();
}

// Each notch is a click of button 4 (up), 5 (down), 6 (left) or 7 (right).
void viewer::wheel(const SDL_MouseWheelEvent &w) {
    const int flip = w.direction == SDL_MOUSEWHEEL_FLIPPED ? -1 : 1;
    const int dy = w.y * flip, dx = w.x * flip;
    const int bit = dy > 0 ? 8 : dy < 0 ? 16 : dx < 0 ? 32 : dx > 0 ? 64 : 0;
    const int notches = std::abs(dy != 0 ? dy : dx);
    for (int i = 0; i < notches && bit; ++i) {
        if (!o_.view_only) {
            vnc_send_pointer(client_, pointer_x_, pointer_y_, buttons_ | bit);
            vnc_send_pointer(client_, pointer_x_, pointer_y_, buttons_);
        }
    }
}

// On focus loss the releases would go to whatever window gets the focus
// here: the server would keep those keys and buttons down.
void viewer::release_everything() {
    for (const auto &k : held_) send_key(k.second, false);
    held_.clear();
    text_key_ = SDL_SCANCODE_UNKNOWN;
    if (buttons_) {
        buttons_ = 0;
        send_pointer();
    }
    if (chord_) {
        chord_ = false;
        update_title();
    }
}

void viewer::send_clipboard() {
    if (o_.view_only || !SDL_HasClipboardText()) return;
    char *text = SDL_GetClipboardText();
    if (!text) return;
    const std::string clean = clean_text(text);
    SDL_free(text);
    // Unchanged text is not sent again: it would overwrite whatever was
    // copied on the server since, and a text that came from the server
    // would go back to it.
    if (clean.empty() || (clipboard_ever_sent_ && clean == clipboard_sent_)) return;
    if (vnc_send_client_cut_text(client_, clean.data(), static_cast<int>(clean.size())) == 0) {
        clipboard_sent_ = clean;
        clipboard_ever_sent_ = true;
    }
}

void viewer::check_name() {
    char name[256];
    if (vnc_get_desktop_name(client_, name, sizeof name) >= 0 && name_ != name) {
        name_ = name;
        update_title();
    }
}

// A refusal of --resize-remote's request is said once; the picture scales.
void viewer::check_size_answer() {
    unsigned serial = 0;
    const int answer = vnc_get_desktop_size_status(client_, &serial);
    if (serial == size_answer_serial_) return;
    size_answer_serial_ = serial;
    static const char *const why[] = {"", "prohibited", "out of resources", "invalid layout"};
    if (answer > 0)
        complain("the server refused to resize its desktop to %dx%d: %s", asked_w_, asked_h_,
                 answer <= 3 ? why[answer] : "unknown reason");
}

// The server's bell asks for attention the way a terminal's does: the
// window manager marks the window until it gets the focus. With the focus
// the user is looking already, and there is nothing to do.
void viewer::bell() {
    if (!(SDL_GetWindowFlags(window_) & SDL_WINDOW_INPUT_FOCUS))
        SDL_FlashWindow(window_, SDL_FLASH_UNTIL_FOCUSED);
}

void viewer::poll_cursor() {
    unsigned serial = 0;
    int need = vnc_get_cursor(client_, nullptr, 0, nullptr, nullptr, nullptr, nullptr, &serial);
    if (need < 0 || (shape_.known && serial == shape_.serial)) return;
    shape next;
    if (need > 0) {
        next.pixels.resize(static_cast<size_t>(need) / 4);
        need = vnc_get_cursor(client_, next.pixels.data(), need, &next.w, &next.h, &next.hot_x,
                              &next.hot_y, &serial);
        // A larger shape came in between: taken on the next look.
        if (need < 0 || static_cast<size_t>(need) > next.pixels.size() * 4 ||
            int64_t(next.w) * next.h * 4 != need)
            return;
        next.pixels.resize(static_cast<size_t>(need) / 4);
    }
    next.known = true;
    next.serial = serial;
    shape_ = std::move(next);
    cursor_dirty_ = true;
    // The system pointer would cover the painted one; without a shape it
    // is all there is.
    SDL_ShowCursor(shape_.w > 0 ? SDL_DISABLE : SDL_ENABLE);
}

// A new text from the server goes to the local clipboard, and is
// remembered as sent so that it does not go back.
void viewer::poll_clipboard() {
    unsigned serial = 0;
    const int n = vnc_get_cut_text(client_, nullptr, 0, &serial);
    if (n < 0 || serial == cut_serial_) return;
    std::string text(static_cast<size_t>(n) + 1, '\0');
    const int got = vnc_get_cut_text(client_, &text[0], n + 1, &serial);
    if (got < 0 || got > n) return;  // grew in between: the next look takes it
    text.resize(static_cast<size_t>(got));
    cut_serial_ = serial;
    const std::string clean = clean_text(text.c_str());
    if (clipboard_ever_sent_ && clean == clipboard_sent_) return;
    clipboard_sent_ = clean;
    clipboard_ever_sent_ = true;
    SDL_SetClipboardText(text.c_str());
}

// --resize-remote: the window has kept its size for a while; ask the server
// for it, unless it is the remote size already or was just asked for.
void viewer::resize_remote() {
    resize_due_ = 0;
    int w = 0, h = 0;
    SDL_GetWindowSize(window_, &w, &h);
    if (w <= 0 || h <= 0 || (w == fb_w_ && h == fb_h_) || (w == asked_w_ && h == asked_h_)) return;
    if (vnc_request_desktop_size(client_, w, h) == 0) {
        asked_w_ = w, asked_h_ = h;
        return;
    }
    if (vnc_get_status(client_) != VNC_STATUS_CONNECTED) return;
    if (vnc_get_update_count(client_) == 0) {
        // The server shows whether it resizes in its first update.
        resize_due_ = SDL_GetTicks64() + kResizeSettleMs;
        return;
    }
    complain("%s: the server does not resize its desktop (no ExtendedDesktopSize): the picture "
             "is scaled instead",
             where_.c_str());
    resize_given_up_ = true;
}

// The library's opt-in options this viewer uses: the pointer drawn here,
// UTF-8 clipboards, and desktop resizing when asked for.
bool set_options(vnc_client_t *client, const options &o) {
    const std::string cursor = !o.cursor.empty() ? o.cursor : o.view_only ? "server" : "local";
    const char *const set[][2] = {{"cursor", cursor.c_str()},
                                  {"clipboard", "utf8"},
                                  {"desktop-size", o.resize_remote ? "extended" : "basic"}};
    for (const auto &option : set) {
        if (vnc_set_option(client, option[0], option[1]) != 0) {
            complain("cannot set option %s=%s: %s", option[0], option[1], vnc_last_error());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    set_program("vnc-view");
    options o;
    const int parsed = parse_options(argc, argv, &o);
    if (parsed >= 0) return parsed;
    const steady::time_point deadline =
        steady::now() + std::chrono::microseconds(static_cast<long long>(o.timeout_s * 1e6));

    std::string password;
    bool have_password = false;
    const int loaded = load_password(o, &password, &have_password);
    if (loaded >= 0) return loaded;
    const char *pw = have_password ? password.c_str() : nullptr;

    std::string host;
    int port = 0;
    if (o.demo) {
        port = start_demo_server(pw);
        if (port < 0) return kExitInternal;
        host = "127.0.0.1";
    } else {
        std::string why;
        if (!parse_target(o.target, &host, &port, &why))
            return usage_error("bad server address '%s': %s", o.target.c_str(), why.c_str());
    }
    const std::string where = endpoint(host, port);

    // A viewer left open should not keep the local screen awake.
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    // Video (with its events) only: no audio, no game controllers.
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        complain("cannot open a window: %s", SDL_GetError());
        if (o.demo) vnc_test_server_stop();
        return kExitInternal;
    }
    // Without a display SDL falls back to drivers that show nothing; a
    // viewer nobody can see would run unnoticed.
    const char *driver = SDL_GetCurrentVideoDriver();
    const char *asked = std::getenv("SDL_VIDEODRIVER");
    if (driver && (!std::strcmp(driver, "offscreen") || !std::strcmp(driver, "dummy")) &&
        !(asked && !std::strcmp(asked, driver))) {
        complain("cannot open a window: no display (is DISPLAY or WAYLAND_DISPLAY set?)");
        SDL_Quit();
        if (o.demo) vnc_test_server_stop();
        return kExitInternal;
    }
    // SDL would back an X11 window surface with an OpenGL texture; where
    // there is no GPU that loads Mesa's LLVM (55 MB) and redraws the whole
    // window for each change. X11's own shared-memory image shows only the
    // changed rectangle. (The environment variable still wins.) Other
    // drivers keep SDL's choice: some have no surface without it.
    if (driver && !std::strcmp(driver, "x11")) SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    int status = kExitOk;
    {
        viewer v(o, where);
        vnc_client_t *client = nullptr;
        if (!v.open_window()) {
            status = kExitInternal;
        } else if (!(client = vnc_create())) {
            complain("cannot create a client: %s", vnc_last_error());
            status = kExitInternal;
        } else if (!set_options(client, o)) {
            status = kExitInternal;
        } else if (!apply_encoding_options(client, o)) {
            status = kExitUsage;
        } else if (connect_before(client, host, port, pw, deadline, o.timeout_s,
                                  [&v] { v.tick_while_connecting(); }) != 0) {
            status = report_connect_failure(where, vnc_last_error());
        } else {
            status = v.run(client);
        }
        vnc_destroy(client);
    }
    if (o.demo) vnc_test_server_stop();
    SDL_Quit();
    return status;
}
