// libFuzzer target: the server-to-client message stream after ServerInit,
// through the same dispatch the worker uses, on a handle with a 96 x 64
// framebuffer and a ready inflate stream. The input's first byte chooses the
// opt-in extensions the connection took (bit 0 cursor_local, 1
// desktop_extended, 2 qemu_keys, 3 clipboard_utf8), so that both their
// parsing and the plain protocol's are reached; the rest is the byte stream.
#include <cstring>
#include <vector>

#include "vnc_client_internal.h"

namespace {

// DesktopSize and ExtendedDesktopSize may ask for up to 2^27 pixels, and
// RRE or ZRLE can then fill all of them from a few bytes: legal, but too
// slow and too big to be worth fuzzing. Every such header in the input is
// therefore capped at 256 x 256, unless it is over the limit (refused before
// anything is allocated, so cheap). The bytes where a header would sit are
// found by the encoding number, so a few payload bytes that look alike are
// capped as well, which does no harm here.
constexpr int kMaxDesktop = 256;

void cap_desktop_sizes(std::vector<uint8_t> &b) {
    for (size_t i = 8; i + 4 <= b.size(); ++i) {
        if (b[i] != 0xFF || b[i + 1] != 0xFF) continue;
        if (!(b[i + 2] == 0xFF && b[i + 3] == 0x21) && !(b[i + 2] == 0xFE && b[i + 3] == 0xCC))
            continue;
        const uint64_t w = b[i - 4] << 8 | b[i - 3], h = b[i - 2] << 8 | b[i - 1];
        if (w * h > kMaxFramebufferPixels) continue;
        for (size_t f = i - 4; f < i; f += 2) {
            const int v = b[f] << 8 | b[f + 1];
            if (v > kMaxDesktop) {
                b[f] = static_cast<uint8_t>(kMaxDesktop >> 8);
                b[f + 1] = static_cast<uint8_t>(kMaxDesktop & 0xFF);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t options = data[0];
    std::vector<uint8_t> input(data + 1, data + size);
    cap_desktop_sizes(input);

    vnc_client_t *c = vnc_create();
    if (!c) return 0;
    c->conn.cursor_local = options & 1;
    c->conn.desktop_extended = options & 2;
    c->conn.qemu_keys = options & 4;
    c->conn.clipboard_utf8 = options & 8;
    c->clipboard_utf8.store(options & 8 ? 1 : 0);
    {
        std::lock_guard<std::recursive_mutex> g(c->lock);
        vnc_framebuffer_resize(c, 96, 64);
    }
    c->red_max = c->green_max = c->blue_max = 255;
    c->running.store(1);
    c->inflater.reset(vnc_new<vnc_inflate>());
    c->tight.reset(vnc_new<vnc_tight_state>());

    vnc_memory_reader in(input.data(), input.size());
    uint8_t type;
    while (in.buffered() > 0 && in.read_u8(&type, 0) == 0)
        if (!vnc_handle_server_message(c, in, type)) break;

    vnc_destroy(c);
    return 0;
}
