// libFuzzer target: the server-to-client message stream after ServerInit,
// through the same dispatch the worker uses, on a handle with a 96 x 64
// framebuffer and a ready inflate stream. The input is the byte stream.
#include <cstring>
#include <vector>

#include "vnc_client_internal.h"

namespace {

// DesktopSize may ask for up to 65535 x 65535 pixels, and RRE or ZRLE can
// then fill all of them from a few bytes: legal, but too slow and too big
// to be worth fuzzing. Every DesktopSize header in the input is therefore
// capped at 256 x 256; the bytes where such a header would sit are found by
// the encoding number, so a few payload bytes that look alike are capped as
// well, which does no harm here.
constexpr int kMaxDesktop = 256;

void cap_desktop_sizes(std::vector<uint8_t> &b) {
    for (size_t i = 8; i + 4 <= b.size(); ++i) {
        if (b[i] != 0xFF || b[i + 1] != 0xFF || b[i + 2] != 0xFF || b[i + 3] != 0x21) continue;
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
    std::vector<uint8_t> input(data, data + size);
    cap_desktop_sizes(input);

    vnc_client_t *c = vnc_create();
    if (!c) return 0;
    {
        std::lock_guard<std::recursive_mutex> g(c->lock);
        vnc_framebuffer_resize(c, 96, 64);
    }
    c->red_max = c->green_max = c->blue_max = 255;
    c->running.store(1);
    c->inflater.reset(vnc_new<vnc_inflate>());

    vnc_memory_reader in(input.data(), input.size());
    uint8_t type;
    while (in.buffered() > 0 && in.read_u8(&type, 0) == 0)
        if (!vnc_handle_server_message(c, in, type)) break;

    vnc_destroy(c);
    return 0;
}
