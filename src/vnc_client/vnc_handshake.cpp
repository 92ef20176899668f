// vnc_connect: resolve, connect, RFB handshake, set-up messages, worker start.
#include <cstdio>
#include <cstring>
#include <system_error>

#include "vnc_client_internal.h"
#include "vnc_des.h"

namespace {

const int32_t kDefaultEncodings[] = {16, 5, 2, 1, 0, -223};

void put_u16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put_u32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
uint32_t get_u32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Closes the connection of a failed attempt; text (may be null) goes to both
// error buffers.
int fail(vnc_client_t *c, const char *text) {
    {
        std::lock_guard<std::mutex> g(c->send_lock);
        vnc_sock_close(c->sock);
        c->sock = VNC_INVALID_SOCKET;
    }
    c->reader.reset();
    if (text) vnc_set_error(c, text);
    c->status.store(VNC_STATUS_ERROR);
    return -1;
}

}  // namespace

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
    if (!host || port <= 0) {
        vnc_set_error(c, "Invalid connection arguments");
        return -1;
    }
    // Release whatever an earlier connection still holds, including one whose
    // worker ended by itself (status 0 but socket and stream still held).
    if (c->status.load() == VNC_STATUS_CONNECTED || c->sock != VNC_INVALID_SOCKET ||
        c->worker_started || c->zstream_ready)
        vnc_disconnect(c);
    c->status.store(VNC_STATUS_CONNECTING);

    vnc_socket_t sock;
    int cr = vnc_sock_connect_tcp(host, port, &sock);
    if (cr == -1) return fail(c, "Failed to resolve host");
    if (cr != 0) return fail(c, "Could not connect to VNC server");
    {
        std::lock_guard<std::mutex> g(c->send_lock);
        c->sock = sock;
    }
    c->reader.reset(new (std::nothrow) vnc_socket_reader(sock, nullptr));
    if (!c->reader || !c->reader->ok()) return fail(c, "Could not connect to VNC server");
    vnc_byte_source &in = *c->reader;

    // Version.
    char greeting[13] = {0};
    if (in.read(greeting, 12, kGreetingTimeoutMs))
        return fail(c, "Failed to read RFB protocol version from server");
    int major = 0, minor = 0, version;
    if (std::sscanf(greeting, "RFB %d.%d\n", &major, &minor) < 2)
        version = 8;
    else
        version = minor > 7 ? 8 : (minor == 7 ? 7 : 3);
    char reply[16];
    std::snprintf(reply, sizeof reply, "RFB 003.%03d\n", version);
    if (vnc_send_message(c, reply, 12)) return fail(c, "Failed to send RFB version reply");

    const bool have_password = password && password[0];
    bool vnc_auth = false, read_result = false;
    if (version == 3) {
        uint32_t type;
        if (in.read_u32(&type, kHandshakeTimeoutMs))
            return fail(c, "Failed to read RFB 3.3 security type");
        vnc_auth = (type & 0xFF) == 2;
    } else {
        uint8_t count;
        if (in.read_u8(&count, kHandshakeTimeoutMs))
            return fail(c, "Failed to read security types count");
        if (count == 0) {
            // The server refuses us and says why: its text, this handle only.
            uint32_t len;
            if (in.read_u32(&len, kHandshakeTimeoutMs) == 0 && len >= 1 &&
                len < kErrorTextSize) {
                std::memset(c->last_error, 0, sizeof c->last_error);
                in.read(c->last_error, len, kHandshakeTimeoutMs);
                c->last_error[len] = '\0';
            }
            return fail(c, nullptr);
        }
        uint8_t types[255];
        if (in.read(types, count, kHandshakeTimeoutMs)) return fail(c, nullptr);
        bool has_vnc = false, has_none = false;
        for (int i = 0; i < count; ++i) {
            has_vnc |= types[i] == 2;
            has_none |= types[i] == 1;
        }
        uint8_t chosen;
        if (have_password)
            chosen = has_vnc ? 2 : (has_none ? 1 : 0);
        else
            chosen = has_none ? 1 : (has_vnc ? 2 : 0);
        if (!chosen) return fail(c, "No compatible RFB security type supported by server");
        if (vnc_send_message(c, &chosen, 1)) return fail(c, "Failed to send chosen security type");
        vnc_auth = chosen == 2;
        read_result = version == 8;
    }
    if (vnc_auth) {
        uint8_t challenge[16], response[16];
        if (in.read(challenge, 16, kHandshakeTimeoutMs))
            return fail(c, "Failed to read VNC auth challenge");
        vnc_des_encrypt_challenge(challenge, password, response);
        if (vnc_send_message(c, response, 16)) return fail(c, "Failed to send VNC auth response");
        read_result = true;
    }
    if (read_result) {
        uint32_t result;
        if (in.read_u32(&result, kHandshakeTimeoutMs))
            return fail(c, "Failed to read SecurityResult");
        if (result != 0) return fail(c, "VNC Authentication failed");
    }

    const uint8_t shared = 1;
    if (vnc_send_message(c, &shared, 1)) return fail(c, "Failed to send ClientInit");

    uint8_t init[24];
    if (in.read(init, 24, kHandshakeTimeoutMs)) return fail(c, "Failed to read ServerInit header");
    const int width = init[0] << 8 | init[1];
    const int height = init[2] << 8 | init[3];
    const uint32_t name_len = get_u32(init + 20);
    if (name_len) {
        const uint32_t n = name_len < kDesktopNameSize - 1 ? name_len : kDesktopNameSize - 1;
        char name[kDesktopNameSize] = {0};
        in.read(name, n, kHandshakeTimeoutMs);
        std::memcpy(c->desktop_name, name, n);
        c->desktop_name[n] = '\0';
        // A server that announces a long name and then stalls must not keep
        // us here for a second per chunk: the first failed wait ends it.
        if (name_len > n && in.skip(name_len - n, kNameDrainTimeoutMs))
            return fail(c, "Failed to read ServerInit desktop name");
    }
    {
        std::lock_guard<std::recursive_mutex> g(c->lock);
        vnc_framebuffer_resize(c, width, height);
        c->dirty = 0;
    }

    uint8_t pf[20] = {0, 0, 0, 0, 32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0};
    vnc_send_message(c, pf, sizeof pf);
    c->red_max = c->green_max = c->blue_max = 255;

    const int32_t *enc = kDefaultEncodings;
    size_t enc_count = sizeof kDefaultEncodings / sizeof kDefaultEncodings[0];
    if (!c->encodings.empty()) {
        enc = c->encodings.data();
        enc_count = c->encodings.size() > 0xFFFF ? 0xFFFF : c->encodings.size();
    }
    std::vector<uint8_t> se(4 + 4 * enc_count);
    se[0] = 2;
    se[1] = 0;
    put_u16(&se[2], static_cast<uint32_t>(enc_count));
    for (size_t i = 0; i < enc_count; ++i) put_u32(&se[4 + 4 * i], static_cast<uint32_t>(enc[i]));
    vnc_send_message(c, se.data(), se.size());

    std::memset(&c->zstream, 0, sizeof c->zstream);
    if (inflateInit(&c->zstream) == Z_OK) c->zstream_ready = 1;

    c->running.store(1);
    c->status.store(VNC_STATUS_CONNECTED);
    try {
        c->worker_thread = std::thread(vnc_worker_proc, c);
        c->worker_started = 1;
    } catch (const std::system_error &) {
        // No worker: the connection stands but nothing is received.
    }
    return 0;
}
