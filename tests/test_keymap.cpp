// Keysym to XT scancode for the QEMU key event: both keysyms of a key, the
// E0 keys folded into 0x80 | second byte, and 0 for keysyms with no key.
#include <gtest/gtest.h>

#include <cstdint>

#include "quenvira_vnc_keysyms.h"
#include "vnc_keymap.h"

TEST(Keymap, UsKeyboardCodes) {
    const struct {
        uint32_t keysym, code;
    } cases[] = {
        {VNC_KEY_a, 0x1E}, {VNC_KEY_A, 0x1E}, {VNC_KEY_z, 0x2C}, {VNC_KEY_Q, 0x10},
        {VNC_KEY_1, 0x02}, {VNC_KEY_exclam, 0x02}, {VNC_KEY_0, 0x0B}, {VNC_KEY_parenright, 0x0B},
        {VNC_KEY_apostrophe, 0x28}, {VNC_KEY_quotedbl, 0x28}, {VNC_KEY_grave, 0x29},
        {VNC_KEY_asciitilde, 0x29}, {VNC_KEY_backslash, 0x2B}, {VNC_KEY_bar, 0x2B},
        {VNC_KEY_slash, 0x35}, {VNC_KEY_question, 0x35}, {VNC_KEY_space, 0x39},
        {VNC_KEY_Return, 0x1C}, {VNC_KEY_Escape, 0x01}, {VNC_KEY_BackSpace, 0x0E},
        {VNC_KEY_Up, 0xC8}, {VNC_KEY_Delete, 0xD3}, {VNC_KEY_Control_R, 0x9D},
        {VNC_KEY_ISO_Level3_Shift, 0xB8}, {VNC_KEY_Super_L, 0xDB}, {VNC_KEY_Shift_R, 0x36},
        {VNC_KEY_KP_7, 0x47}, {VNC_KEY_KP_Home, 0x47}, {VNC_KEY_KP_Enter, 0x9C},
        {VNC_KEY_KP_Divide, 0xB5}, {VNC_KEY_F1, 0x3B}, {VNC_KEY_F12, 0x58},
        {VNC_KEY_F13, 0}, {0xE9, 0}, {0x100263A, 0}, {0x10020, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.code, vnc_qemu_keycode(c.keysym)) << std::hex << "keysym 0x" << c.keysym;
    }
}
