// libFuzzer target: Extended Clipboard, on a handle whose connection took
// clipboard_utf8. A zlib stream is hard to reach by mutating its compressed
// bytes, so the input gives the plain bytes and this target compresses them.
// The input is a series of records: u8 op, u16 length, that many bytes.
//   op bit 0 set: the host's text (vnc_send_cut_text_utf8), kept for the
//                 server's request and peek; the sends fail without a socket.
//   op bit 0 clear: a ServerCutText with an Extended Clipboard payload; the
//                 bytes are the u32 flags and what follows them, which with
//                 bit 1 set are deflated first (the provide's stream).
// After each server message the kept text must be UTF-8 without a NUL.
#include <zlib.h>

#include <cstring>
#include <vector>

#include "vnc_client_internal.h"

namespace {

void put_u32(std::vector<uint8_t> &b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

// The server's message after its type byte: padding, the negative length,
// the payload.
std::vector<uint8_t> server_message(const uint8_t *p, size_t n, bool deflate) {
    std::vector<uint8_t> payload;
    if (deflate && n >= 4) {
        payload.assign(p, p + 4);
        uLongf packed_len = compressBound(static_cast<uLong>(n - 4));
        payload.resize(4 + packed_len);
        if (compress2(payload.data() + 4, &packed_len, p + 4, static_cast<uLong>(n - 4),
                      Z_DEFAULT_COMPRESSION) != Z_OK)
            return {};
        payload.resize(4 + packed_len);
    } else {
        payload.assign(p, p + n);
    }
    std::vector<uint8_t> m(3, 0);
    put_u32(m, static_cast<uint32_t>(-static_cast<int64_t>(payload.size())));
    m.insert(m.end(), payload.begin(), payload.end());
    return m;
}

void check_kept_text(vnc_client_t *c) {
    std::lock_guard<std::mutex> g(c->info_lock);
    if (!c->cut_text) return;
    const size_t n = c->cut_text_len;
    if (std::memchr(c->cut_text, 0, n) || c->cut_text[n] != '\0' ||
        !vnc_utf8_valid(reinterpret_cast<const uint8_t *>(c->cut_text), n))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vnc_client_t *c = vnc_create();
    if (!c) return 0;
    c->conn.clipboard_utf8 = true;
    c->clipboard_utf8.store(1);
    c->running.store(1);
    // Whether the server takes Extended Clipboard is known from the start
    // here: the host's text must not wait for the server to show it (it
    // waits up to 3 s, which left this target a run a second).
    c->clip_known = true;
    const uint32_t gen = c->generation.load();

    size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t op = data[at];
        size_t n = static_cast<size_t>(data[at + 1] << 8 | data[at + 2]);
        at += 3;
        if (n > size - at) n = size - at;
        const uint8_t *p = data + at;
        at += n;
        if (op & 1) {
            vnc_send_cut_text_utf8(c, gen, reinterpret_cast<const char *>(p),
                                   static_cast<uint32_t>(n));
            continue;
        }
        const std::vector<uint8_t> m = server_message(p, n, op & 2);
        vnc_memory_reader in(m.data(), m.size());
        if (!vnc_handle_cut_text(c, in)) break;
        check_kept_text(c);
    }

    vnc_destroy(c);
    return 0;
}
