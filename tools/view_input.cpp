// vnc-view's input: keys as X keysyms (text as its characters, named keys
// from a table, F8 chords), the pointer mapped back through the scaling,
// the wheel as button clicks, and the local clipboard's text.
#include "viewer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qv_view {

using namespace qv_tool;

namespace {

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

}  // namespace

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

}  // namespace qv_view
