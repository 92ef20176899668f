// Keysym to PC key, for the QEMU Extended Key Event: a server that takes it
// presses the physical key, whatever its own keyboard layout.
#ifndef QUENVIRA_VNC_KEYMAP_H
#define QUENVIRA_VNC_KEYMAP_H

#include <cstdint>

// The XT (scancode set 1) make code of the key that produces keysym on a US
// keyboard, shifted or not: a plain code as it is, an E0-prefixed one as
// 0x80 | its second byte (Right Ctrl, E0 1D, is 0x9D). 0 when no key of a US
// keyboard has the keysym.
uint32_t vnc_qemu_keycode(uint32_t keysym);

#endif
