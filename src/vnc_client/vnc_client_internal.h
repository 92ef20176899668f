// The client handle and the functions the client's files share.
#ifndef QUENVIRA_VNC_CLIENT_INTERNAL_H
#define QUENVIRA_VNC_CLIENT_INTERNAL_H

#include <zlib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "quenvira_vnc.h"
#include "vnc_alloc.h"
#include "vnc_byte_source.h"
#include "vnc_socket.h"

// Read timeouts in milliseconds; each bounds one wait for data.
constexpr int kGreetingTimeoutMs = 10000;
constexpr int kHandshakeTimeoutMs = 5000;
constexpr int kPayloadTimeoutMs = 5000;
constexpr int kColourMapEntryTimeoutMs = 2000;
constexpr int kNameDrainTimeoutMs = 1000;
constexpr int kMessageWaitTimeoutMs = 200;
// A send gives up when no byte of its message could be sent for this long.
constexpr int kSendStallTimeoutMs = 5000;
// The whole connect, across every resolved address.
constexpr int kConnectTimeoutMs = 10000;

constexpr size_t kErrorTextSize = 512;
constexpr size_t kDesktopNameSize = 128;
constexpr uint32_t kMaxCutTextLength = 0xFFFFF;

// Frees what vnc_new made.
struct vnc_deleter {
    template <class T>
    void operator()(T *p) const { vnc_delete(p); }
};

struct vnc_client {
    vnc_socket_t sock = VNC_INVALID_SOCKET;  // written under send_lock once a worker may run
    std::atomic<int> status{VNC_STATUS_DISCONNECTED};
    std::atomic<int> running{0};
    // Changes whenever sock is set or closed (under send_lock): an input call
    // sends only on the connection it started on.
    std::atomic<uint32_t> generation{0};
    std::thread worker_thread;
    int worker_started = 0;

    // Guards the framebuffer fields, the dirty rectangle and the cut text.
    std::recursive_mutex lock;
    // Serialises every message written to the socket (host threads and worker),
    // and the closing of the socket against those writes.
    std::mutex send_lock;

    uint32_t *framebuffer = nullptr;
    int fb_width = 0;
    int fb_height = 0;
    int fb_stride = 0;
    uint16_t red_max = 0, green_max = 0, blue_max = 0;

    int dirty = 0;
    int dirty_x0 = 0, dirty_y0 = 0, dirty_x1 = 0, dirty_y1 = 0;

    z_stream zstream{};
    int zstream_ready = 0;

    char last_error[kErrorTextSize] = {};
    char desktop_name[kDesktopNameSize] = {};
    char *cut_text = nullptr;
    uint32_t cut_text_len = 0;

    // Reader over sock, shared by the handshake and then the worker.
    std::unique_ptr<vnc_socket_reader, vnc_deleter> reader;
    // Encodings announced by SetEncodings; tests may replace the list.
    std::vector<int32_t> encodings;
};

// Records a failure text in the handle (when non-null) and process-wide.
void vnc_set_error(vnc_client_t *client, const char *text);

// Frees a framebuffer and allocates a zero-filled one of width x height
// (null on failure, the size stands). Caller holds lock.
void vnc_framebuffer_resize(vnc_client_t *client, int width, int height);

// Grows the dirty rectangle by (x, y, w, h) clipped to the framebuffer.
// Caller holds lock.
void mark_dirty_region(vnc_client_t *client, int x, int y, int w, int h);

// Closes sock under the send lock and moves to the next generation.
void vnc_close_connection(vnc_client_t *client);

// Sends a whole message (head, then body) under the send lock, on the
// connection of `generation` only: -1 without sending when that connection
// has ended. A send that fails, stalls for kSendStallTimeoutMs or is
// cancelled by a cleared `running` (when cancellable) ends the connection,
// since a half-sent message breaks the stream: running is cleared and the
// socket shut down, so the worker ends and the status becomes 0. -1 then.
int vnc_send_on(vnc_client_t *client, uint32_t generation, bool cancellable, const void *head,
                size_t head_len, const void *body, size_t body_len);
// The same on the current connection, cancellable (the worker's messages).
int vnc_send_message(vnc_client_t *client, const void *data, size_t length);
int vnc_send_message2(vnc_client_t *client, const void *head, size_t head_len, const void *body,
                      size_t body_len);

// Test seams: shorten the send stall and connect limits (ms; <= 0 restores
// the defaults). Not exported.
void vnc_set_send_stall_timeout_for_testing(int ms);
void vnc_set_connect_timeout_for_testing(int ms);

// Worker entry point.
void vnc_worker_proc(vnc_client_t *client);
// Handles one server message whose type byte has been read, reading the rest
// from in. false when the connection is unusable and the worker must end.
// Also drives the message fuzzer from memory.
bool vnc_handle_server_message(vnc_client_t *client, vnc_byte_source &in, uint8_t type);
void send_framebuffer_update_request(vnc_client_t *client, int incremental);

// Test seam: the encoding list the next vnc_connect announces (null/0
// restores the default). Not exported.
void vnc_set_encodings_for_testing(vnc_client_t *client, const int32_t *list, int count);

// ---- Decoders ---------------------------------------------------------

// What a decoder works on: the payload bytes, the framebuffer and the
// connection's inflate stream. Decoders write only inside the framebuffer;
// a rectangle reaching outside it is clipped (CopyRect: refused), and its
// payload is consumed either way so the stream stays in step.
struct vnc_decode_ctx {
    vnc_byte_source *in = nullptr;
    uint32_t *pixels = nullptr;  // null: nothing is drawn, payload still consumed
    int fb_width = 0;
    int fb_height = 0;
    z_stream *zstream = nullptr;  // null: ZRLE rectangles fail (after consuming their data)
    uint16_t red_max = 255, green_max = 255, blue_max = 255;
    const std::atomic<int> *running = nullptr;  // null: never cancelled
};

typedef int (*vnc_decoder_fn)(vnc_decode_ctx &ctx, int x, int y, int w, int h);

int decode_raw_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h);
int decode_copyrect_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h);
int decode_rre_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h);
int decode_hextile_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h);
int decode_zrle_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h);

// Decoder for an encoding number, or null when it is not one we decode.
vnc_decoder_fn vnc_find_decoder(int32_t encoding);

// ZRLE limits.
constexpr uint32_t kZrleMaxCompressed = 16u * 1024 * 1024;
constexpr uint64_t kZrleOutputSlack = 65536;

// Clipped drawing helpers shared by the decoders: every framebuffer write
// goes through them or is bounded the same way.
namespace vnc_draw {
// Fills (x, y, w, h) intersected with the framebuffer.
void fill(vnc_decode_ctx &ctx, int x, int y, int w, int h, uint32_t pixel);
// Stores n pixels from src at row y starting at column x, clipped.
void put_row(vnc_decode_ctx &ctx, int x, int y, int n, const uint32_t *src);
}  // namespace vnc_draw

inline uint32_t vnc_load_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

#endif
