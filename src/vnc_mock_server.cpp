// The loopback test server: a minimal RFB 3.8 server on 127.0.0.1 that
// serves one client at a time and answers every update request with the
// same two-rectangle picture, so that hosts can be tested without a real
// server.
#include "vnc_mock_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "quenvira_vnc.h"
#include "vnc_alloc.h"
#include "vnc_des.h"

// The process-wide failure text, shared with the client side.
void vnc_set_error(vnc_client_t *client, const char *text);

namespace {

// Each bounds one wait for data.
constexpr int kServerHandshakeTimeoutMs = 5000;
constexpr int kTypeWaitMs = 100;
constexpr int kBodyTimeoutMs = 2000;
constexpr int kEncodingEntryTimeoutMs = 1000;
// Pause after a failed accept, so a persistent error does not spin.
constexpr int kAcceptRetryMs = 10;
// Least time between answers to incremental requests. A client asks again
// as soon as an update arrives, and the picture never changes: unpaced, the
// two would trade updates as fast as a core allows.
constexpr int kIncrementalPaceMs = 20;
constexpr uint32_t kMaxCutTextLength = 65535;

const char kProtocolVersion[] = "RFB 003.008\n";

// 640 x 480, 32 bpp, depth 24, little-endian, true colour, maxima 255,
// shifts 16/8/0, then the name length.
const uint8_t kServerInitHeader[24] = {0x02, 0x80, 0x01, 0xE0, 0x20, 0x18, 0x00, 0x01,
                                       0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x10, 0x08,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F};
const char kDesktopName[] = "QuenviraMockVNC";

// Start and stop are serialised by this lock, so any thread may call them at
// any time. std::mutex is constant-initialised: no static constructor runs.
std::mutex s_control_mutex;
// Cleared by stop; every wait of the server thread is cancelled by it.
std::atomic<int> s_server_running{0};
// Owned by start/stop (under s_control_mutex); closed only after the thread
// has ended, so the thread never sees its number reused.
vnc_socket_t s_listen_sock = VNC_INVALID_SOCKET;
std::atomic<int> s_bound_port{-1};
// The client being served. Only the thread closes it; stop merely shuts it
// down (under s_client_mutex) so the client sees the end at once.
std::mutex s_client_mutex;
vnc_socket_t s_client_sock = VNC_INVALID_SOCKET;
// Heap-held (vnc_new): a static std::thread still joinable at exit would
// terminate the process when the host never stops the server.
std::thread *s_server_thread = nullptr;
// Written only while no server thread exists.
char s_server_pw[64] = "";

// The canned FramebufferUpdate: a Raw gradient at (0,0) and an RRE square
// (green with a red centre) at (40,40), both 32 x 32. Built on the thread's
// stack: a server that could not get its picture could not serve at all.
constexpr size_t kUpdateSize = 4 + 12 + 32 * 32 * 4 + 12 + 4 + 4 + 4 + 8;

struct update_writer {
    uint8_t *p;
    void u8(unsigned v) { *p++ = static_cast<uint8_t>(v); }
    void u16(unsigned v) {
        u8(v >> 8);
        u8(v);
    }
    void bytes(std::initializer_list<uint8_t> list) {
        for (uint8_t b : list) u8(b);
    }
    void rect_header(unsigned x, unsigned y, unsigned w, unsigned h, uint8_t encoding) {
        u16(x);
        u16(y);
        u16(w);
        u16(h);
        bytes({0, 0, 0, encoding});
    }
};

void build_update(uint8_t (&out)[kUpdateSize]) {
    update_writer w{out};
    w.bytes({0, 0});
    w.u16(2);

    w.rect_header(0, 0, 32, 32, 0);
    for (unsigned r = 0; r < 32; ++r)
        for (unsigned c = 0; c < 32; ++c)
            w.bytes({0xFF, static_cast<uint8_t>(c * 8), static_cast<uint8_t>(r * 8), 0xFF});

    w.rect_header(40, 40, 32, 32, 2);
    w.bytes({0, 0, 0, 1});           // one subrectangle
    w.bytes({0x00, 0xFF, 0x00, 0xFF});  // background: green
    w.bytes({0x00, 0x00, 0xFF, 0xFF});  // subrectangle: red
    w.u16(4);
    w.u16(4);
    w.u16(24);
    w.u16(24);
}

bool read_client(vnc_socket_t s, void *buffer, size_t length, int timeout_ms) {
    return vnc_sock_read_exact_cancel(s, buffer, length, timeout_ms, &s_server_running) == 0;
}

// Waits for room in the send buffer cancellably: a client that stops reading
// must not hold the thread past stop.
bool write_client(vnc_socket_t s, const void *data, size_t length) {
    return vnc_sock_write_exact_cancel(s, data, length, &s_server_running) == 0;
}

void send_security_result(vnc_socket_t s, uint8_t result) {
    const uint8_t word[4] = {0, 0, 0, result};
    write_client(s, word, sizeof word);  // a lost result shows up as the next read failing
}

// Version, security and initialisation. false drops the client.
bool serve_handshake(vnc_socket_t s) {
    if (!write_client(s, kProtocolVersion, 12)) return false;
    char reply[12];
    // Whatever version the client names, it is spoken to by 3.8 rules.
    if (!read_client(s, reply, sizeof reply, kServerHandshakeTimeoutMs)) return false;

    uint8_t chosen = 0;
    if (s_server_pw[0]) {
        const uint8_t types[2] = {1, 2};
        if (!write_client(s, types, sizeof types)) return false;
        if (!read_client(s, &chosen, 1, kServerHandshakeTimeoutMs) || chosen != 2) return false;
        uint8_t challenge[16];
        for (int i = 0; i < 16; ++i) challenge[i] = static_cast<uint8_t>(0x11 * (i + 1));
        if (!write_client(s, challenge, sizeof challenge)) return false;
        uint8_t response[16], expected[16];
        if (!read_client(s, response, sizeof response, kServerHandshakeTimeoutMs)) return false;
        vnc_des_encrypt_challenge(challenge, s_server_pw, expected);
        if (std::memcmp(response, expected, sizeof expected) != 0) {
            send_security_result(s, 1);
            return false;
        }
        send_security_result(s, 0);
    } else {
        const uint8_t types[2] = {1, 1};
        if (!write_client(s, types, sizeof types)) return false;
        if (!read_client(s, &chosen, 1, kServerHandshakeTimeoutMs)) return false;
        send_security_result(s, 0);
    }

    uint8_t client_init;
    if (!read_client(s, &client_init, 1, kServerHandshakeTimeoutMs)) return false;
    uint8_t init[sizeof kServerInitHeader + sizeof kDesktopName - 1];
    std::memcpy(init, kServerInitHeader, sizeof kServerInitHeader);
    std::memcpy(init + sizeof kServerInitHeader, kDesktopName, sizeof kDesktopName - 1);
    return write_client(s, init, sizeof init);
}

// What the thread keeps about the client being served.
struct client_state {
    std::chrono::steady_clock::time_point last_update{};
};

// Sleeps until when, in short slices so that stop is not held up.
void sleep_until_or_stopped(std::chrono::steady_clock::time_point when) {
    while (s_server_running.load()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= when) return;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - now);
        std::this_thread::sleep_for(std::min(left + std::chrono::milliseconds(1),
                                             std::chrono::milliseconds(5)));
    }
}

// One client message whose type byte has been read. false drops the client.
bool serve_message(vnc_socket_t s, uint8_t type, const uint8_t (&update)[kUpdateSize],
                   client_state &state) {
    uint8_t body[19];
    switch (type) {
    case 0:  // SetPixelFormat: we always send our own format
        return read_client(s, body, 19, kBodyTimeoutMs);
    case 2: {  // SetEncodings: every encoding we use is always understood
        if (!read_client(s, body, 3, kBodyTimeoutMs)) return false;
        const unsigned count = static_cast<unsigned>(body[1] << 8 | body[2]);
        // A closed or cancelled socket fails each entry at once.
        for (unsigned i = 0; i < count; ++i) read_client(s, body, 4, kEncodingEntryTimeoutMs);
        return true;
    }
    case 3:  // FramebufferUpdateRequest: the same picture, whatever was asked
        if (!read_client(s, body, 9, kBodyTimeoutMs)) return false;
        if (body[0] != 0)
            sleep_until_or_stopped(state.last_update +
                                   std::chrono::milliseconds(kIncrementalPaceMs));
        write_client(s, update, sizeof update);
        state.last_update = std::chrono::steady_clock::now();
        return true;
    case 4:  // KeyEvent
        return read_client(s, body, 7, kBodyTimeoutMs);
    case 5:  // PointerEvent
        return read_client(s, body, 5, kBodyTimeoutMs);
    case 6: {  // ClientCutText
        if (!read_client(s, body, 7, kBodyTimeoutMs)) return false;
        const uint32_t length = static_cast<uint32_t>(body[3]) << 24 |
                                static_cast<uint32_t>(body[4]) << 16 |
                                static_cast<uint32_t>(body[5]) << 8 | body[6];
        // The text is of no use to us: drained through a small buffer, so
        // no allocation can leave it unread and the stream out of step.
        uint8_t scratch[1024];
        for (uint32_t left = length >= 1 && length <= kMaxCutTextLength ? length : 0; left > 0;) {
            const uint32_t piece = left < sizeof scratch ? left : sizeof scratch;
            if (!read_client(s, scratch, piece, kBodyTimeoutMs)) break;
            left -= piece;
        }
        return true;
    }
    default:  // type 1 and unknown types carry nothing we know how to skip
        return true;
    }
}

// Serves one client until it is dropped or the server stops.
void serve_client(vnc_socket_t s, const uint8_t (&update)[kUpdateSize]) {
    if (!serve_handshake(s)) return;
    client_state state;
    while (s_server_running.load()) {
        const int ready = vnc_sock_wait_readable(s, kTypeWaitMs, &s_server_running);
        if (ready == 0) continue;  // quiet client: keep waiting
        if (ready < 0) return;     // stopped, or the socket failed
        uint8_t type;
        // 0 means the client closed: drop it at once so the next one is
        // served, rather than retrying reads on a dead socket.
        if (vnc_sock_recv_some(s, &type, 1) != 1) return;
        if (!serve_message(s, type, update, state)) return;
    }
}

void pause_after_failure() {
    std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptRetryMs));
}

void serve_clients(vnc_socket_t listener);

void stop_locked() {
    s_server_running.store(0);
    {
        std::lock_guard<std::mutex> guard(s_client_mutex);
        vnc_sock_shutdown(s_client_sock);
    }
    if (s_server_thread) {
        // Prompt: every wait of the thread, for data or for room to send,
        // ends on the cleared flag.
        try {
            s_server_thread->join();
        } catch (...) {  // only for a thread that cannot be joined: never ours
        }
        vnc_delete(s_server_thread);
        s_server_thread = nullptr;
    }
    vnc_sock_close(s_listen_sock);
    s_listen_sock = VNC_INVALID_SOCKET;
    s_bound_port.store(-1);
}

}  // namespace

void mock_server_thread_proc(vnc_socket_t listener) {
    // Nothing here should throw; an exception leaving a thread would end the
    // host process.
    try {
        serve_clients(listener);
    } catch (...) {
    }
}

namespace {
void serve_clients(vnc_socket_t listener) {
    uint8_t update[kUpdateSize];
    build_update(update);
    while (s_server_running.load()) {
        if (vnc_sock_wait_readable(listener, -1, &s_server_running) <= 0) {
            if (!s_server_running.load()) break;
            pause_after_failure();
            continue;
        }
        const vnc_socket_t client = vnc_sock_accept(listener);
        if (client == VNC_INVALID_SOCKET) {
            if (s_server_running.load()) pause_after_failure();
            continue;
        }
        {
            // Checked under the lock so that stop either sees this client
            // (and shuts it down) or the thread sees the cleared flag.
            std::lock_guard<std::mutex> guard(s_client_mutex);
            if (!s_server_running.load()) {
                vnc_sock_close(client);
                break;
            }
            s_client_sock = client;
        }
        serve_client(client, update);
        {
            std::lock_guard<std::mutex> guard(s_client_mutex);
            s_client_sock = VNC_INVALID_SOCKET;
        }
        vnc_sock_close(client);
    }
}
}  // namespace

int mock_server_bound_port() { return s_bound_port.load(); }

namespace {

int start_server(int port, const char *password) {
    // 0 asks the system for a free port; anything outside 16 bits is a mistake,
    // not a port to be cut to its low bits.
    if (port < 0 || port > 65535) {
        vnc_set_error(nullptr, "Invalid test server port");
        return -1;
    }
    vnc_platform_net_init();
    std::lock_guard<std::mutex> control(s_control_mutex);
    stop_locked();
    std::snprintf(s_server_pw, sizeof s_server_pw, "%s", password ? password : "");

    vnc_socket_t listener = VNC_INVALID_SOCKET;
    if (vnc_sock_listen_loopback(port, &listener) != 0) {
        vnc_set_error(nullptr, "Could not listen on the test server port");
        return -1;
    }
    s_listen_sock = listener;
    s_bound_port.store(vnc_sock_local_port(listener));
    s_server_running.store(1);
    std::thread *thread = vnc_new<std::thread>();
    if (!thread || !vnc_thread_start(*thread, mock_server_thread_proc, listener)) {
        // A server that accepts connections but never answers them would
        // only hang its clients: report the failure instead.
        vnc_delete(thread);
        stop_locked();
        return -1;
    }
    s_server_thread = thread;
    return 0;
}
}  // namespace

extern "C" {

VNC_API int vnc_test_server_start(int port, const char *password) {
    try {
        return start_server(port, password);
    } catch (...) {
        return -1;
    }
}

VNC_API void vnc_test_server_stop(void) {
    try {
        std::lock_guard<std::mutex> control(s_control_mutex);
        stop_locked();
    } catch (...) {
    }
}

}  // extern "C"

