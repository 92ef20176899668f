// Clipboard text both ways: plain ServerCutText/ClientCutText in Latin-1, and
// Extended Clipboard (UTF-8, zlib) with a server that takes it.
#include <zlib.h>

#include <cstring>

#include "vnc_alloc.h"
#include "vnc_client_internal.h"

namespace {

// Extended Clipboard flags: formats in the low bits, actions in the top byte.
constexpr uint32_t kClipText = 1u << 0;
constexpr uint32_t kClipFormats = 0xFFFF;
constexpr uint32_t kClipCaps = 1u << 24;
constexpr uint32_t kClipRequest = 1u << 25;
constexpr uint32_t kClipPeek = 1u << 26;
constexpr uint32_t kClipNotify = 1u << 27;
constexpr uint32_t kClipProvide = 1u << 28;
constexpr uint32_t kClipActions = kClipRequest | kClipPeek | kClipNotify | kClipProvide;

// Keeps text (UTF-8, malloc'd, NUL at len) as the server's clipboard.
void store_server_text(vnc_client_t *c, char *text, uint32_t len) {
    {
        std::lock_guard<std::mutex> g(c->info_lock);
        vnc_free(c->cut_text);
        c->cut_text = text;
        c->cut_text_len = len;
        ++c->cut_text_serial;
    }
    vnc_signal_event(c, VNC_EVENT_CLIPBOARD);
}

// A ClientCutText with an Extended Clipboard payload: flags, then body.
// Sent on generation's connection (the worker passes the current one).
int send_extended(vnc_client_t *c, uint32_t generation, uint32_t flags, const uint8_t *body,
                  size_t body_len) {
    if (body_len > kMaxExtClipboardLength) return -1;
    uint8_t head[12] = {6, 0, 0, 0};
    // The length field is negative: its size with the sign flipped.
    vnc_put_be32(head + 4, static_cast<uint32_t>(-static_cast<int64_t>(4 + body_len)));
    vnc_put_be32(head + 8, flags);
    return vnc_send_on(c, generation, true, head, sizeof head, body, body_len);
}

// The zlib stream of a provide with our text: its size with the
// terminating NUL, then the text with CRLF line ends. Null when it cannot
// be had; *out_len its length.
uint8_t *build_provide(const char *text, uint32_t len, size_t *out_len) {
    size_t lines = 0;
    for (uint32_t i = 0; i < len; ++i) lines += text[i] == '\n';
    const size_t raw_len = 4 + len + lines + 1;
    uint8_t *raw = static_cast<uint8_t *>(vnc_malloc(raw_len));
    if (!raw) return nullptr;
    vnc_put_be32(raw, static_cast<uint32_t>(len + lines + 1));
    size_t o = 4;
    for (uint32_t i = 0; i < len; ++i) {
        // A CR already there stays single.
        if (text[i] == '\n' && !(i > 0 && text[i - 1] == '\r')) raw[o++] = '\r';
        raw[o++] = static_cast<uint8_t>(text[i]);
    }
    raw[o++] = 0;
    uLongf packed_len = compressBound(static_cast<uLong>(o));
    uint8_t *packed = static_cast<uint8_t *>(vnc_malloc(packed_len));
    if (packed && compress2(packed, &packed_len, raw, static_cast<uLong>(o), Z_DEFAULT_COMPRESSION) !=
                      Z_OK) {
        vnc_free(packed);
        packed = nullptr;
    }
    vnc_free(raw);
    *out_len = packed_len;
    return packed;
}

// Sends our text as a provide; the caller holds nothing.
int send_provide(vnc_client_t *c, uint32_t generation, const char *text, uint32_t len) {
    size_t packed_len = 0;
    uint8_t *packed = build_provide(text, len, &packed_len);
    if (!packed) return -1;
    const int r = send_extended(c, generation, kClipProvide | kClipText, packed, packed_len);
    vnc_free(packed);
    return r;
}

// The text of a provide's zlib stream (data, n): the first format is text
// when the flags name it. Null when absent, too long or the stream lies.
char *unpack_provide_text(const uint8_t *data, size_t n, uint32_t *out_len) {
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK) return nullptr;
    z.next_in = const_cast<Bytef *>(data);
    z.avail_in = static_cast<uInt>(n);
    const auto inflate_exact = [&z](uint8_t *dst, size_t len) {
        z.next_out = dst;
        z.avail_out = static_cast<uInt>(len);
        while (z.avail_out > 0) {
            const int r = inflate(&z, Z_NO_FLUSH);
            if (r == Z_STREAM_END && z.avail_out > 0) return false;
            if (r != Z_OK && r != Z_STREAM_END) return false;
            if (r == Z_OK && z.avail_in == 0 && z.avail_out > 0) return false;
        }
        return true;
    };
    uint8_t size_bytes[4];
    char *text = nullptr;
    uint32_t size = 0;
    if (inflate_exact(size_bytes, 4)) {
        size = vnc_load_be32(size_bytes);
        // The size counts the terminating NUL.
        if (size <= kMaxCutTextLength + 1) text = static_cast<char *>(vnc_malloc(size + 1u));
        if (text && !inflate_exact(reinterpret_cast<uint8_t *>(text), size)) {
            vnc_free(text);
            text = nullptr;
        }
    }
    inflateEnd(&z);
    if (!text) return nullptr;
    // To the host's line ends, without the NUL (and anything after one).
    uint32_t o = 0;
    for (uint32_t i = 0; i < size && text[i]; ++i) {
        if (text[i] == '\r' && i + 1 < size && text[i + 1] == '\n') continue;
        text[o++] = text[i];
    }
    text[o] = '\0';
    if (!vnc_utf8_valid(reinterpret_cast<uint8_t *>(text), o)) {
        vnc_free(text);
        return nullptr;
    }
    *out_len = o;
    return text;
}

// An Extended Clipboard message from the server, n bytes of it in p (flags
// first). Answers what needs an answer.
void handle_extended(vnc_client_t *c, const uint8_t *p, size_t n) {
    const uint32_t flags = vnc_load_be32(p);
    const uint32_t gen = c->generation.load();
    if (flags & kClipCaps) {
        // One size a named format, in the order of their bits.
        uint32_t text_max = 0;
        size_t off = 4;
        for (int bit = 0; bit < 16; ++bit) {
            if (!(flags & (1u << bit))) continue;
            if (off + 4 > n) break;
            if (bit == 0) text_max = vnc_load_be32(p + off);
            off += 4;
        }
        {
            std::lock_guard<std::mutex> g(c->info_lock);
            c->server_clip_flags = flags;
            c->server_clip_text_max = text_max;
        }
        c->ext_clipboard_ok.store(1);
        uint8_t size[4];
        vnc_put_be32(size, kMaxCutTextLength);
        send_extended(c, gen, kClipCaps | kClipText | kClipActions, size, 4);
        vnc_clipboard_known(c);
        return;
    }
    if (!c->ext_clipboard_ok.load()) return;
    if (flags & (kClipRequest | kClipPeek)) {
        char *text = nullptr;
        uint32_t len = 0;
        {
            std::lock_guard<std::mutex> g(c->info_lock);
            if (c->client_text && (text = static_cast<char *>(vnc_malloc(c->client_text_len + 1u)))) {
                std::memcpy(text, c->client_text, c->client_text_len + 1u);
                len = c->client_text_len;
            }
        }
        if (flags & kClipRequest) {
            if (text && (flags & kClipText)) send_provide(c, gen, text, len);
        } else {
            send_extended(c, gen, kClipNotify | (text ? kClipText : 0), nullptr, 0);
        }
        vnc_free(text);
        return;
    }
    if (flags & kClipNotify) {
        // The server has new text: fetch it, so that the host can poll.
        if (flags & kClipText) send_extended(c, gen, kClipRequest | kClipText, nullptr, 0);
        return;
    }
    if ((flags & kClipProvide) && (flags & kClipText)) {
        uint32_t len = 0;
        if (char *text = unpack_provide_text(p + 4, n - 4, &len)) store_server_text(c, text, len);
    }
}

}  // namespace

bool vnc_handle_cut_text(vnc_client_t *c, vnc_byte_source &in) {
    c->phase = "ServerCutText";
    uint8_t hdr[7];
    if (in.read(hdr, 7, kPayloadTimeoutMs)) return false;
    const uint32_t len = vnc_load_be32(hdr + 3);
    if (c->conn.clipboard_utf8 && (len & 0x80000000u)) {
        // Extended Clipboard: the length with its sign flipped.
        const uint32_t n = static_cast<uint32_t>(-static_cast<int64_t>(static_cast<int32_t>(len)));
        if (n < 4 || n > kMaxExtClipboardLength) return in.skip(n, kPayloadTimeoutMs) == 0;
        // Grown as the bytes arrive: a server that claims a long message
        // and sends little costs little.
        constexpr uint32_t kStep = 64 * 1024;
        vnc_buffer payload;
        for (uint32_t got = 0; got < n;) {
            const uint32_t step = n - got < kStep ? n - got : kStep;
            if (!payload.reserve(size_t{got} + step)) return in.skip(n - got, kPayloadTimeoutMs) == 0;
            if (in.read(payload.data + got, step, kPayloadTimeoutMs)) return false;
            got += step;
        }
        handle_extended(c, payload.data, n);
        return true;
    }
    uint8_t *raw = len <= kMaxCutTextLength ? static_cast<uint8_t *>(vnc_malloc(len + 1u)) : nullptr;
    // Too long to keep: drop its bytes so the stream stays in step.
    if (!raw) return in.skip(len, kPayloadTimeoutMs) == 0;
    if (in.read(raw, len, kPayloadTimeoutMs)) {
        vnc_free(raw);
        return false;
    }
    // Latin-1 on the wire, UTF-8 for the host.
    char *text = static_cast<char *>(vnc_malloc(2 * size_t{len} + 1));
    if (text) {
        const size_t n = vnc_latin1_to_utf8(raw, len, reinterpret_cast<uint8_t *>(text));
        text[n] = '\0';
        store_server_text(c, text, static_cast<uint32_t>(n));
    }
    vnc_free(raw);
    return true;
}

void vnc_clipboard_known(vnc_client_t *c) {
    {
        std::lock_guard<std::mutex> g(c->info_lock);
        if (c->clip_known) return;
        c->clip_known = true;
    }
    c->clip_known_cv.notify_all();
}

// vnc_send_client_cut_text with clipboard=utf8: text is UTF-8.
int vnc_send_cut_text_utf8(vnc_client_t *c, uint32_t generation, const char *text, uint32_t len) {
    if (!vnc_utf8_valid(reinterpret_cast<const uint8_t *>(text), len) || len > kMaxCutTextLength)
        return -1;
    {
        // Right after connecting the server may not have said yet whether
        // it takes UTF-8: the text waits for that (bounded), rather than
        // going as Latin-1 and losing what Latin-1 lacks. Waiting here,
        // not holding it, keeps it in order with the input that follows.
        std::unique_lock<std::mutex> g(c->info_lock);
        c->clip_known_cv.wait_for(g, std::chrono::milliseconds(kClipboardCapsWaitMs), [&] {
            return c->clip_known || c->generation.load() != generation;
        });
    }
    if (c->ext_clipboard_ok.load()) {
        char *copy = static_cast<char *>(vnc_malloc(size_t{len} + 1));
        if (!copy) return -1;
        std::memcpy(copy, text, len);
        copy[len] = '\0';
        uint32_t server_flags, text_max;
        {
            std::lock_guard<std::mutex> g(c->info_lock);
            vnc_free(c->client_text);
            c->client_text = copy;
            c->client_text_len = len;
            server_flags = c->server_clip_flags;
            text_max = c->server_clip_text_max;
        }
        // Announced (some servers take text only from the client that
        // announced it last), and sent at once when the server takes it
        // unasked, so that nothing waits on a request a close could cut off.
        const bool notify = server_flags & kClipNotify;
        const bool provide = (server_flags & kClipProvide) && len + 1u <= text_max;
        if (notify || provide) {
            if (notify && send_extended(c, generation, kClipNotify | kClipText, nullptr, 0)) return -1;
            return provide ? send_provide(c, generation, text, len) : 0;
        }
    }
    uint8_t *latin1 = static_cast<uint8_t *>(vnc_malloc(size_t{len} + 1));
    if (!latin1) return -1;
    std::memcpy(latin1, text, len);
    const size_t n = vnc_utf8_to_latin1(latin1, len);
    const uint8_t hdr[8] = {6, 0, 0, 0, static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                            static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    const int r = vnc_send_on(c, generation, true, hdr, sizeof hdr, latin1, n);
    vnc_free(latin1);
    return r;
}

extern "C" VNC_API int vnc_get_cut_text(vnc_client_t *c, char *buf, int size, unsigned *serial) {
    if (!c) return -1;
    std::lock_guard<std::mutex> g(c->info_lock);
    const int r = vnc_copy_text_out(c->cut_text ? c->cut_text : "", c->cut_text_len, buf, size);
    if (r >= 0 && serial) *serial = c->cut_text_serial;
    return r;
}
