// vnc-view's loop: it sleeps in SDL_WaitEvent until input comes or the
// library has news (a thread in vnc_wait_event posts it to SDL's queue),
// and only while something is pending with a timeout. Each bit of news
// names the getter to look at.
#include "viewer.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <system_error>
#include <utility>

namespace qv_view {

using namespace qv_tool;

namespace {

// At most one painting per frame (60 Hz): a burst of small updates is
// shown together, a change after a quiet spell at once.
constexpr Uint64 kFrameMs = 16;
// --resize-remote asks for the window's size once it has kept it this long,
// not for every step of a drag.
constexpr Uint32 kResizeSettleMs = 300;
// --reconnect: the first pause after a drop, doubled after each failed
// attempt up to the last, each varied by a fifth either way so that the
// viewers of one restarted server do not all knock at once.
constexpr double kReconnectFirstS = 1, kReconnectMaxS = 30, kReconnectJitter = 0.2;
// The reconnecting thread's outcomes, as the code of its SDL event.
constexpr int kReconnected = 0, kRefused = 1;

}  // namespace

int viewer::run(vnc_client_t *client, const std::string &host, int port, const char *password) {
    client_ = client;
    host_ = host, port_ = port;
    have_password_ = password != nullptr;
    // Kept only to connect again, and wiped when the viewer goes.
    if (password && o_.reconnect) password_ = password;
    connected_ = true;
    int w = 0, h = 0;
    vnc_get_dimensions(client_, &w, &h);
    fb_w_ = w, fb_h_ = h;
    fit_window(w, h);
    update_title();
    event_type_ = SDL_RegisterEvents(2);
    if (event_type_ == static_cast<Uint32>(-1)) {
        complain("cannot register an SDL event: %s", SDL_GetError());
        return kExitInternal;
    }
    if (!start_waiter()) return kExitInternal;
    const int status = loop();
    stop_reconnect();
    stop_waiter();
    return status;
}

// The library's events come from a thread of their own, as SDL can wait
// for only its own queue; SDL_PushEvent wakes the main thread's wait.
bool viewer::start_waiter() {
    events_ = 0;
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

// The connecting again after a drop (--reconnect) happens on a thread of
// its own, as vnc_connect takes the whole handshake's time; the window
// keeps the last picture and answers meanwhile. The pause before each
// attempt can be cut short by stop_reconnect.
bool viewer::start_reconnect() {
    reconnecting_ = true;
    // What was held went with the connection; nothing is released there.
    held_.clear();
    buttons_ = 0;
    reconnect_stop_ = false;
    reconnector_done_ = false;
    try {
        reconnector_ = std::thread([this] {
            struct done_flag {
                std::atomic<bool> &done;
                ~done_flag() { done = true; }
            } done{reconnector_done_};
            std::mt19937 random(std::random_device{}());
            std::uniform_real_distribution<double> jitter(1 - kReconnectJitter, 1 + kReconnectJitter);
            double delay = kReconnectFirstS;
            for (;;) {
                {
                    std::unique_lock<std::mutex> lock(reconnect_mutex_);
                    const auto pause = std::chrono::duration<double>(delay * jitter(random));
                    if (reconnect_wake_.wait_for(lock, pause, [this] { return reconnect_stop_; }))
                        return;
                }
                const int result =
                    vnc_connect(client_, host_.c_str(), port_, have_password_ ? password_.c_str() : nullptr);
                const std::string why = result == 0 ? "" : vnc_last_error();
                // A refused password stays refused: trying again is no use.
                const bool refused = why == "VNC Authentication failed";
                std::lock_guard<std::mutex> lock(reconnect_mutex_);
                if (reconnect_stop_) return;  // abandoned, or connected too late
                if (result == 0 || refused) {
                    refused_why_ = why;
                    refused_reason_ = end_reason(client_);
                    SDL_Event ev{};
                    ev.type = event_type_ + 1;
                    ev.user.code = refused ? kRefused : kReconnected;
                    SDL_PushEvent(&ev);
                    return;
                }
                delay = std::min(delay * 2, kReconnectMaxS);
                complain("%s: reconnecting failed: %s; next try in about %.0f s", where_.c_str(),
                         with_reason(why, end_reason(client_)).c_str(), delay);
            }
        });
    } catch (const std::system_error &e) {
        complain("cannot start a thread: %s", e.what());
        return false;
    }
    return true;
}

// Ends the reconnecting thread: wakes its pause, abandons its vnc_connect.
void viewer::stop_reconnect() {
    if (!reconnector_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(reconnect_mutex_);
        reconnect_stop_ = true;
    }
    reconnect_wake_.notify_all();
    // An attempt that began just after a vnc_disconnect is not abandoned by
    // it: again until the thread has left.
    while (!reconnector_done_) {
        vnc_disconnect(client_);
        SDL_Delay(10);
    }
    reconnector_.join();
}

// The reconnecting thread's outcome: connected again, with a new
// framebuffer (perhaps of another size) to show whole, or the password
// refused, which ends the viewer as it would a first connect. -1: go on.
int viewer::reconnect_event(int code) {
    reconnector_.join();
    reconnecting_ = false;
    if (code == kRefused) {
        update_title();
        return report_connect_failure(where_, refused_why_, refused_reason_);
    }
    complain("%s: reconnected", where_.c_str());
    connected_ = true;
    // The new connection sends its own pointer shape, if any.
    shape_ = shape{};
    cursor_dirty_ = true;
    SDL_ShowCursor(SDL_ENABLE);
    asked_w_ = asked_h_ = 0;
    vnc_get_desktop_size_status(client_, &size_answer_serial_);
    pixels_due_ = full_ = true;
    mirror_valid_ = false;
    update_title();
    if (!start_waiter()) return kExitInternal;
    return -1;
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
            lost_ = false;
            connected_ = false;
            const std::string reason = end_reason(client_);
            complain("%s: the connection was lost: %s%s", where_.c_str(),
                     reason.empty() ? "the server closed it or went away" : reason.c_str(),
                     o_.reconnect ? "; reconnecting" : "");
            if (!o_.reconnect) {
                update_title();
                return kExitLost;
            }
            stop_waiter();  // it has left already: nothing more comes after the end
            if (!start_reconnect()) return kExitInternal;
            update_title();
        }
        if (finished_ >= 0) return finished_;
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
        if (ev.type == event_type_ + 1 && event_type_ != 0) finished_ = reconnect_event(ev.user.code);
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

}  // namespace qv_view
