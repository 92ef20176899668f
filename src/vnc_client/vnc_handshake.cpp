// vnc_connect: resolve, connect, RFB handshake, set-up messages, worker start.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vnc_alloc.h"
#include "vnc_client_internal.h"
#include "vnc_security.h"

namespace {

// What a connect abandoned by vnc_disconnect leaves, where no failed read
// said more.
const char *const kConnectAbandoned = "Connection attempt abandoned";

std::atomic<int> s_connect_timeout_ms{kConnectTimeoutMs};
std::atomic<int> s_handshake_deadline_ms{kHandshakeDeadlineMs};

// Closes the connection of a failed attempt and releases what it holds;
// text (may be null) goes to both error buffers.
int fail(vnc_client_t *c, const char *text) {
    if (text) vnc_note_end(c, "%s", text);
    c->running.store(0);
    vnc_close_connection(c);
    c->reader.reset();
    c->inflater.reset();
    c->tight.reset();
    if (text) vnc_set_error(c, text);
    vnc_set_status(c, VNC_STATUS_ERROR);
    return -1;
}

// A read of the handshake failed: the reason says how, the fixed text
// (which vnc_last_error keeps) what.
int fail_read(vnc_client_t *c, const char *text, const char *what) {
    if (!c->connect_go.load()) vnc_note_end(c, "Connection attempt abandoned by vnc_disconnect");
    vnc_note_read_failure(c, what);
    return fail(c, text);
}

// A server's reason text made printable: control bytes (a NUL inside
// included) become spaces, trailing ones go.
void printable_reason(char *text, size_t len) {
    for (size_t i = 0; i < len; ++i)
        if (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7F) text[i] = ' ';
    while (len > 0 && text[len - 1] == ' ') --len;
    text[len] = '\0';
}

// After a failed SecurityResult an RFB 3.8 server says why; what fits of it
// goes to the end reason (the connection ends either way).
void note_auth_failure(vnc_client_t *c, vnc_byte_source &in, bool with_reason, uint32_t result,
                       const char *auth) {
    char reason[kErrorTextSize] = {0};
    uint32_t len;
    if (with_reason && in.read_u32(&len, kHandshakeTimeoutMs) == 0 && len > 0) {
        const size_t n = std::min<size_t>(len, sizeof reason - 1);
        if (in.read(reason, n, kHandshakeTimeoutMs) == 0) printable_reason(reason, n);
    }
    if (reason[0])
        vnc_note_end(c, "%s failed: %s (SecurityResult %u)", auth, reason, result);
    else
        vnc_note_end(c, "%s failed (SecurityResult %u)", auth, result);
}

// Handshake messages: bounded like every send, but not cancelled by
// `running`, which is set only once the handshake is done.
int send_handshake(vnc_client_t *c, uint32_t generation, const void *data, size_t length) {
    return vnc_send_on(c, generation, false, data, length, nullptr, 0);
}

int connect_impl(vnc_client_t *c, const char *host, int port, const char *password);

}  // namespace

void vnc_set_connect_timeout_for_testing(int ms) {
    s_connect_timeout_ms.store(ms > 0 ? ms : kConnectTimeoutMs);
}

void vnc_set_handshake_timeout_for_testing(int ms) {
    s_handshake_deadline_ms.store(ms > 0 ? ms : kHandshakeDeadlineMs);
}

void vnc_set_encodings_for_testing(vnc_client_t *c, const int32_t *list, int count) {
    if (!c) return;
    if (!list || count <= 0)
        c->encodings.clear();
    else
        c->encodings.assign(list, list + count);
}

extern "C" VNC_API int vnc_connect(vnc_client_t *c, const char *host, int port,
                                   const char *password) {
    if (!c) {
        vnc_set_error(nullptr, "Invalid connection arguments");
        return -1;
    }
    if (!host || port <= 0 || port > 65535) {
        vnc_set_error(c, "Invalid connection arguments");
        return -1;
    }
    {
        // Also waits for a vnc_disconnect in progress to finish.
        std::lock_guard<std::mutex> op(c->op_lock);
        // Release whatever an earlier connection still holds, including one
        // whose worker ended by itself (status 0 but socket and stream held).
        // Its worker reads the options it started with until it has ended.
        if (c->status.load() == VNC_STATUS_CONNECTED || c->sock != VNC_INVALID_SOCKET ||
            c->worker_started || c->inflater)
            vnc_disconnect_locked(c);
        {
            std::lock_guard<std::mutex> g(c->options_lock);
            c->conn = c->options;
        }
        vnc_extensions_reset(c);
        c->clipboard_utf8.store(c->conn.clipboard_utf8 ? 1 : 0);
        c->connecting = true;
        c->connect_go.store(1);
    }
    // Nothing below should throw; if anything ever does, the host gets a
    // failed connect rather than a terminated process.
    int result;
    try {
        result = connect_impl(c, host, port, password);
    } catch (...) {
        result = fail(c, "Could not connect to VNC server");
    }
    // The last touch of the handle: a vnc_destroy waiting for this attempt
    // to end may free it right after.
    std::lock_guard<std::mutex> op(c->op_lock);
    c->connecting = false;
    c->op_done.notify_all();
    return result;
}

namespace {

int connect_impl(vnc_client_t *c, const char *host, int port, const char *password) {
    vnc_set_status(c, VNC_STATUS_CONNECTING);

    vnc_socket_t sock;
    char why[160] = {0};
    int cr = vnc_sock_connect_tcp(host, port, &sock, s_connect_timeout_ms.load(), &c->connect_go, why,
                                  sizeof why);
    if (!c->connect_go.load() && cr != 0) vnc_note_end(c, "Connection attempt abandoned by vnc_disconnect");
    if (cr == -1) {
        vnc_note_end(c, "Failed to resolve host \"%.200s\": %s", host, why);
        return fail(c, "Failed to resolve host");
    }
    if (cr != 0) {
        vnc_note_end(c, "Could not connect to %.200s port %d: %s", host, port, why);
        return fail(c, "Could not connect to VNC server");
    }
    uint32_t gen;
    {
        std::lock_guard<std::mutex> g(c->send_lock);
        c->sock = sock;
        gen = c->generation.fetch_add(1) + 1;
    }
    {
        std::lock_guard<std::mutex> g(c->send_lock);
        c->transport = vnc_plain_transport(sock);
    }
    if (!c->transport) return fail(c, "Could not connect to VNC server");
    c->reader.reset(vnc_new<vnc_socket_reader>(c->transport.get(), &c->connect_go));
    if (!c->reader || !c->reader->ok()) return fail(c, "Could not connect to VNC server");
    const auto handshake_end = vnc_socket_reader::clock::now() +
                               std::chrono::milliseconds(s_handshake_deadline_ms.load());
    c->reader->set_deadline(handshake_end);
    vnc_byte_source &in = *c->reader;

    // Version.
    char greeting[13] = {0};
    if (in.read(greeting, 12, kGreetingTimeoutMs))
        return fail_read(c, "Failed to read RFB protocol version from server", "the RFB version");
    int major = 0, minor = 0, version;
    if (std::sscanf(greeting, "RFB %d.%d\n", &major, &minor) < 2)
        version = 8;
    else
        version = minor > 7 ? 8 : (minor == 7 ? 7 : 3);
    char reply[16];
    std::snprintf(reply, sizeof reply, "RFB 003.%03d\n", version);
    if (send_handshake(c, gen, reply, 12)) return fail(c, "Failed to send RFB version reply");

    vnc_sec_ctx sec;
    sec.c = c;
    sec.in = c->reader.get();
    sec.reader = c->reader.get();
    sec.generation = gen;
    sec.version = version;
    sec.host = host;
    sec.password = password;
    sec.deadline = handshake_end;
    if (!c->conn.security.empty()) {
        sec.accepted = c->conn.security;
        sec.listed = true;
    } else if (password && password[0]) {
        sec.accepted = {kSecVncAuth, kSecNone};
    } else {
        sec.accepted = {kSecNone, kSecVncAuth};
    }
    const int negotiated = vnc_sec_negotiate(sec, false);
    // The username has done its work (or failed to).
    vnc_wipe(&c->conn.username[0], c->conn.username.size());
    c->conn.username.clear();
    if (negotiated) return fail(c, sec.error);
    if (sec.expect_result) {
        uint32_t result;
        if (in.read_u32(&result, kHandshakeTimeoutMs))
            return fail_read(c, "Failed to read SecurityResult", "the SecurityResult");
        if (result != 0) {
            note_auth_failure(c, in, version == 8, result, sec.auth_name);
            char text[kErrorTextSize];
            std::snprintf(text, sizeof text, "%s failed", sec.auth_name);
            return fail(c, text);
        }
    }

    const uint8_t shared = c->conn.shared ? 1 : 0;
    if (send_handshake(c, gen, &shared, 1)) return fail(c, "Failed to send ClientInit");

    uint8_t init[24];
    if (in.read(init, 24, kHandshakeTimeoutMs)) return fail_read(c, "Failed to read ServerInit header", "ServerInit");
    const int width = init[0] << 8 | init[1];
    const int height = init[2] << 8 | init[3];
    const uint32_t name_len = vnc_load_be32(init + 20);
    if (name_len) {
        const uint32_t n = name_len < kDesktopNameSize - 1 ? name_len : kDesktopNameSize - 1;
        char name[kDesktopNameSize] = {0};
        if (in.read(name, n, kHandshakeTimeoutMs))
            return fail_read(c, "Failed to read ServerInit desktop name", "the desktop name");
        const size_t keep = name_len > n ? vnc_utf8_cut(name, n) : n;
        {
            std::lock_guard<std::mutex> g(c->info_lock);
            std::memcpy(c->desktop_name, name, keep);
            c->desktop_name[keep] = '\0';
        }
        // A server that announces a long name and then stalls must not keep
        // us here for a second per chunk: the first failed wait ends it.
        if (name_len > n && in.skip(name_len - n, kNameDrainTimeoutMs))
            return fail_read(c, "Failed to read ServerInit desktop name", "the desktop name");
    }
    // Refused before anything is allocated.
    if (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMaxFramebufferPixels) {
        vnc_note_end(c, "Server framebuffer of %d x %d is too large (limit %llu pixels)", width,
                     height, static_cast<unsigned long long>(kMaxFramebufferPixels));
        return fail(c, "Server framebuffer is too large");
    }
    // The old array is freed under the lock: its prefault ends here first.
    // (No worker runs, and hosts only read the array.)
    vnc_pixels_stop_prefault(c->framebuffer);
    // The host may hold the lock and abandon this attempt meanwhile.
    while (!c->lock.try_lock()) {
        if (!c->connect_go.load()) return fail(c, kConnectAbandoned);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    vnc_framebuffer_resize(c, width, height);
    c->dirty = 0;
    c->lock.unlock();

    c->red_max = c->green_max = c->blue_max = 255;

    const std::vector<int32_t> encodings = vnc_connection_encodings(c);
    const int32_t *enc = encodings.data();
    const size_t enc_count = encodings.size() > 0xFFFF ? 0xFFFF : encodings.size();
    // SetPixelFormat, SetEncodings and the first (full) update request in
    // one write: a server that reacts to the first message before the
    // others have come (say, with a resize) must not see a client that has
    // not named its encodings. Without the buffer SetEncodings is left out:
    // the server then uses its own choice, all of which we may not decode.
    // 32 bits, depth 24, little-endian true colour, 8 bits a channel:
    // red at bit 16, green at 8, blue at 0.
    static const uint8_t kPixelFormat[20] = {0, 0, 0, 0, 32, 24, 0, 1, 0, 255,
                                             0, 255, 0, 255, 16, 8, 0, 0, 0, 0};
    const size_t se_len = 4 + 4 * enc_count;
    uint8_t request[10];
    vnc_put_update_request(request, 0, width, height);
    if (uint8_t *setup = static_cast<uint8_t *>(vnc_malloc(20 + se_len + 10))) {
        std::memcpy(setup, kPixelFormat, 20);
        uint8_t *se = setup + 20;
        se[0] = 2;
        se[1] = 0;
        vnc_put_be16(&se[2], static_cast<uint32_t>(enc_count));
        for (size_t i = 0; i < enc_count; ++i)
            vnc_put_be32(&se[4 + 4 * i], static_cast<uint32_t>(enc[i]));
        std::memcpy(se + se_len, request, 10);
        send_handshake(c, gen, setup, 20 + se_len + 10);
        vnc_free(setup);
    } else {
        send_handshake(c, gen, kPixelFormat, 20);
        send_handshake(c, gen, request, 10);
    }

    c->inflater.reset(vnc_new<vnc_inflate>());
    if (c->inflater && !c->inflater->ok()) c->inflater.reset();
    c->tight.reset(vnc_new<vnc_tight_state>());

    c->reader->set_deadline(vnc_socket_reader::clock::time_point::max());
    if (!c->connect_go.load()) return fail(c, kConnectAbandoned);
    c->full_request_open = true;
    c->stopping.store(0);
    c->running.store(1);
    vnc_set_status(c, VNC_STATUS_CONNECTED);
    c->wake_fd = vnc_wake_open();
    c->reader->set_wake(c->wake_fd);
    // Without a worker the connection stands but nothing is received.
    if (vnc_thread_start(c->worker_thread, vnc_worker_proc, c)) c->worker_started = 1;
    return 0;
}

}  // namespace
