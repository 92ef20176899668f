// The client handle and the functions the client's files share.
#ifndef QUENVIRA_VNC_CLIENT_INTERNAL_H
#define QUENVIRA_VNC_CLIENT_INTERNAL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quenvira_vnc.h"
#include "vnc_alloc.h"
#include "vnc_byte_source.h"
#include "vnc_inflate.h"
#include "vnc_socket.h"
#include "vnc_transport.h"

// Read timeouts in milliseconds; each bounds one wait for data.
constexpr int kGreetingTimeoutMs = 10000;
constexpr int kHandshakeTimeoutMs = 5000;
constexpr int kPayloadTimeoutMs = 5000;
constexpr int kColourMapEntryTimeoutMs = 2000;
constexpr int kNameDrainTimeoutMs = 1000;
constexpr int kMessageWaitTimeoutMs = 200;
// A send gives up when no byte of its message could be sent for this long.
constexpr int kSendStallTimeoutMs = 5000;
// How long a close waits for the server to end its side of the connection,
// once it has taken all we sent.
constexpr int kCloseDrainMs = 250;
// How long a close waits in all for the server to take what we sent; a
// stall of the send limit ends the wait sooner.
constexpr int kCloseDeliverLimitMs = 2 * kSendStallTimeoutMs;
// The whole connect, across every resolved address.
constexpr int kConnectTimeoutMs = 10000;
// The whole RFB handshake after the TCP connect: a server that trickles its
// bytes cannot keep vnc_connect waiting however short each wait is.
constexpr int kHandshakeDeadlineMs = 15000;

// Largest framebuffer a server may announce, in pixels (512 MiB an array):
// four 8K screens side by side. Limits the count, not a side, so a 65535 x 2
// strip is fine.
constexpr uint64_t kMaxFramebufferPixels = uint64_t{1} << 27;

constexpr size_t kErrorTextSize = 512;
constexpr size_t kDesktopNameSize = 128;
constexpr size_t kSecurityInfoSize = 2048;
constexpr uint32_t kMaxCutTextLength = 0xFFFFF;
// An Extended Clipboard message (all its formats, compressed) may be this
// long; longer ones are skipped.
constexpr uint32_t kMaxExtClipboardLength = 16u * 1024 * 1024;
// With clipboard=utf8, text sent before the server has shown whether it
// takes Extended Clipboard waits this long at most for it to show.
constexpr int kClipboardCapsWaitMs = 3000;
// Largest pointer shape kept, in pixels; larger ones are skipped.
constexpr uint32_t kMaxCursorPixels = 512 * 512;

// Pseudo-encodings.
constexpr int32_t kEncodingDesktopSize = -223;
constexpr int32_t kEncodingLastRect = -224;
// Tight's JPEG quality levels 0..9 and zlib compression levels 0..9.
constexpr int32_t kEncodingJpegQuality0 = -32;
constexpr int32_t kEncodingCompressLevel0 = -256;
constexpr int32_t kEncodingTight = 7;
constexpr int32_t kEncodingCursor = -239;
constexpr int32_t kEncodingQemuKeys = -258;
constexpr int32_t kEncodingExtDesktopSize = -308;
constexpr int32_t kEncodingDesktopName = -307;
constexpr int32_t kEncodingFence = -312;
constexpr int32_t kEncodingContinuousUpdates = -313;
constexpr int32_t kEncodingExtClipboard = static_cast<int32_t>(0xC0A1E5CEu);

// Server messages beyond the basic four whose length we know (a Fence's
// from its own length byte), read in step also when not asked for.
constexpr uint8_t kMsgEndOfContinuousUpdates = 150;  // also EnableContinuousUpdates, ours
constexpr uint8_t kMsgServerFence = 248;
constexpr uint8_t kMsgXvp = 250;
constexpr uint32_t kFenceBlockBefore = 1u << 0;
constexpr uint32_t kFenceBlockAfter = 1u << 1;
constexpr uint32_t kFenceSyncNext = 1u << 2;
constexpr uint32_t kFenceRequest = 1u << 31;
constexpr uint8_t kMaxFencePayload = 64;
// A desktop name longer than this ends the connection; up to it, what does
// not fit kDesktopNameSize is read and dropped.
constexpr uint32_t kMaxDesktopNameLength = 64 * 1024;

// What vnc_set_option chose; the defaults are the plain protocol.
struct vnc_options {
    std::vector<int32_t> encodings;  // empty: the default list
    bool cursor_local = false;
    bool desktop_extended = false;
    bool desktop_name = false;
    bool continuous_updates = false;
    bool qemu_keys = false;
    bool clipboard_utf8 = false;
    bool shared = true;
    int jpeg_quality = -1;    // 0..9; -1: not offered
    int compress_level = -1;  // 0..9; -1: not offered
    // Security types the host accepts, in its order; empty: None and VNC
    // authentication as the server offers them.
    std::vector<uint32_t> security;
    std::string username;
    std::string tls_ca_file;      // empty: the system's trust store
    std::string tls_server_name;  // empty: the host given to vnc_connect
    std::string tls_pin;          // SHA-256 of the certificate, lowercase hex; empty: none
    bool tls_verify = true;
    std::string rsa_pin;  // "sha256:HEX" of the server's RSA-AES key, or empty
    // The password vnc_connect gets is UTF-8 (VNC authentication and
    // MSLogonII then key DES with its Latin-1 form); false: bytes, used as
    // they are by every scheme.
    bool password_utf8 = false;
};

// During a long update, what has been decoded so far is handed to the host
// this often, counted from the update's start.
constexpr int kInterimPublishMs = 100;
// After this long without an update the worker gives its back buffer (and
// its ZRLE input) back; the next update takes a new one, filled from the
// host's framebuffer. Most handles of a test farm are idle most of the time.
constexpr int kIdleReleaseMs = 2000;
// Areas remembered for copying into the host's framebuffer; past this many
// they are merged into their bounding box.
constexpr int kMaxPendingAreas = 64;

// A heap block that only grows, kept across calls so that a busy connection
// does not allocate and fault in a new one for every rectangle.
struct vnc_buffer {
    uint8_t *data = nullptr;
    size_t size = 0;
    vnc_buffer() = default;
    vnc_buffer(const vnc_buffer &) = delete;
    vnc_buffer &operator=(const vnc_buffer &) = delete;
    ~vnc_buffer() { release(); }
    // At least n bytes at data; false (contents kept) when they cannot be had.
    bool reserve(size_t n);
    void release();
};

// A rectangle as [x0, x1) x [y0, y1).
struct vnc_area {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return x1 <= x0 || y1 <= y0; }
};

// The worker's side of the framebuffer. The worker decodes into pixels
// without any lock and hands the changed areas over to the host's
// framebuffer under the lock (vnc_publish), so the host never waits while
// the worker waits for the network. Outside the pending areas the two
// buffers are always equal. Touched only by the worker, and by
// vnc_connect/vnc_disconnect while no worker runs.
struct vnc_back_buffer {
    uint32_t *pixels = nullptr;  // null: nothing is drawn (allocation failed)
    int width = 0, height = 0;
    // A DesktopSize not yet handed over: the host's next array (null when
    // it could not be had, zero-filled like pixels), which receives the
    // pending areas when published.
    bool resized = false;
    uint32_t *next_front = nullptr;
    // Areas that differ from the host's framebuffer; each is reported dirty
    // when it is copied.
    vnc_area pending[kMaxPendingAreas];
    int pending_count = 0;
    // The rectangle being decoded, or one cut short by a failed read (cut to
    // the buffer). Only its finished rows may be handed over: the rest may
    // hold bytes still arriving.
    bool in_progress = false;
    vnc_area current;
    const struct vnc_decode_ctx *current_ctx = nullptr;  // live rows_done while decoding
    int current_rows = 0;                                // rows_done once cut short
    int current_shown = 0;  // rows already given to an interim publish
    // When the next interim publish of the update in progress is due.
    std::chrono::steady_clock::time_point next_interim;
    // The update being received has drawn something.
    bool drew = false;
    // pixels given back while idle: the host's framebuffer is the picture.
    bool idle = false;
    std::chrono::steady_clock::time_point last_update;
};

// What has been drawn since the connect or the last resize, until every
// pixel has: a bit a pixel, each row made when it is first drawn, so that a
// size a server only claims costs nothing. Worker only once connected.
struct vnc_coverage {
    int width = 0, height = 0;
    uint64_t missing = 0;        // pixels never drawn; 0: the picture is whole
    uint64_t **rows = nullptr;   // height entries, null until that row is drawn
    vnc_coverage() = default;
    vnc_coverage(const vnc_coverage &) = delete;
    vnc_coverage &operator=(const vnc_coverage &) = delete;
    ~vnc_coverage() { release(); }
    // Nothing of width x height drawn yet.
    void reset(int w, int h);
    // Records [x0, x1) x [y0, y1), inside the size. Should memory run out
    // the picture counts as whole: a host then waits no longer than before.
    void add(const vnc_area &a);
    void complete() {
        missing = 0;
        release();
    }
    void release();
};

struct vnc_tight_state;

// Continuous updates: not shown by the server yet, on, or off for good.
enum { kCuUnknown, kCuOn, kCuOff };

struct vnc_client {
    vnc_socket_t sock = VNC_INVALID_SOCKET;  // written under send_lock once a worker may run
    // The stream over sock (plain, or what a security scheme put in its
    // place); set, replaced and released with sock, under send_lock.
    vnc_transport_ptr transport;
    // Our end of the stream is queued, by a close; a failed send broke the
    // stream, so nothing sent since can be delivered (both under send_lock).
    bool send_shut = false;
    bool send_broken = false;
    std::atomic<int> status{VNC_STATUS_DISCONNECTED};
    // Cleared to end the connection: by vnc_disconnect, or by a send that
    // broke the stream.
    std::atomic<int> running{0};
    // Set by vnc_disconnect only: the worker then stops waiting for the
    // framebuffer lock. A connection that ends by itself still hands its
    // finished update over.
    std::atomic<int> stopping{0};
    // A vnc_connect in progress (under op_lock, signalled by op_done), and
    // the flag vnc_disconnect clears to abandon it (every wait of the
    // handshake watches it). vnc_disconnect holds op_lock throughout, so no
    // connect starts while it tears the connection down.
    std::mutex op_lock;
    std::condition_variable op_done;
    bool connecting = false;
    std::atomic<int> connect_go{1};
    // Changes whenever sock is set or closed (under send_lock): an input call
    // sends only on the connection it started on.
    std::atomic<uint32_t> generation{0};
    std::thread worker_thread;
    int worker_started = 0;
    // Signalled by vnc_disconnect to end the worker's wait (-1: none, and
    // the worker looks at running in short slices).
    int wake_fd = -1;

    // Guards the framebuffer fields and the dirty rectangle.
    std::recursive_mutex lock;
    // Serialises every message written to the socket (host threads and worker),
    // and the closing of the socket against those writes.
    std::mutex send_lock;

    // What the host sees: replaced or written only under lock.
    uint32_t *framebuffer = nullptr;
    int fb_width = 0;
    int fb_height = 0;
    int fb_stride = 0;
    uint16_t red_max = 0, green_max = 0, blue_max = 0;

    int dirty = 0;
    int dirty_x0 = 0, dirty_y0 = 0, dirty_x1 = 0, dirty_y1 = 0;

    vnc_back_buffer back;
    vnc_coverage drawn;
    // The connect's full update request has not been answered yet: the
    // first update after it that draws is the whole picture, whatever it
    // covers (a server may leave what is black undrawn). Worker only.
    bool full_request_open = false;
    vnc_buffer payload_input;  // ZRLE's and Tight's compressed bytes; worker only

    // ZRLE's stream (worker only once connected); null: none could be had.
    std::unique_ptr<vnc_inflate, vnc_deleter> inflater;
    // Tight's streams (worker only once connected); null: none could be had.
    std::unique_ptr<vnc_tight_state, vnc_deleter> tight;

    char last_error[kErrorTextSize] = {};
    char desktop_name[kDesktopNameSize] = {};
    char *cut_text = nullptr;  // the server's last text, UTF-8 (under info_lock)
    uint32_t cut_text_len = 0;

    // Reader over sock, shared by the handshake and then the worker.
    std::unique_ptr<vnc_socket_reader, vnc_deleter> reader;
    // Encodings announced by SetEncodings in place of what the options
    // make; tests only.
    std::vector<int32_t> encodings;

    // vnc_set_option's choices (under options_lock), and the copy that the
    // connection in progress works with (taken by vnc_connect; read by the
    // handshake and the worker, and by input calls while connected).
    std::mutex options_lock;
    vnc_options options;
    vnc_options conn;

    // What the server has shown it takes, for this connection.
    std::atomic<int> qemu_keys_ok{0};
    std::atomic<int> ext_desktop_ok{0};
    std::atomic<int> ext_clipboard_ok{0};
    std::atomic<int> clipboard_utf8{0};  // conn.clipboard_utf8, for input calls
    // Whether the server has shown if it takes Extended Clipboard: its caps
    // came, or its first update did without them, or the connection ended.
    // Under info_lock, signalled through clip_known_cv.
    bool clip_known = false;
    std::condition_variable clip_known_cv;
    std::atomic<unsigned> update_count{0};

    // Events not yet handed to vnc_wait_event (VNC_EVENT_* bits), its
    // waiters (and vnc_sync's), and whether vnc_destroy is sending them
    // away; the last vnc_sync completed.
    std::mutex event_lock;
    std::condition_variable event_cv;
    unsigned events = 0;
    int event_waiters = 0;
    bool events_closing = false;
    uint32_t sync_done = 0;
    // When the last event was raised (steady clock, ns): the latency
    // benchmark's start of the clock.
    std::atomic<int64_t> last_event_ns{0};

    // Fence and continuous updates. The server has sent a fence request, so
    // it takes ours; continuous updates are on (the worker then asks for
    // no updates).
    std::atomic<int> fence_ok{0};
    std::atomic<int> cu_on{kCuUnknown};
    // One vnc_sync at a time, and its serial. Without fences the sync is an
    // update covering the top-left pixel, asked for on its own: the serial
    // waiting for it, and the one the update being received answers
    // (worker only).
    bool sync_busy = false;    // under event_lock
    uint32_t sync_serial = 0;  // under event_lock
    std::atomic<uint32_t> sync_by_update{0};
    uint32_t sync_armed = 0, sync_hit = 0;

    // Guards what the extension getters read, so that they never wait for
    // the framebuffer lock and the worker never waits for them.
    std::mutex info_lock;
    unsigned cut_text_serial = 0;
    char *client_text = nullptr;  // the host's last text, UTF-8, for the server's requests
    uint32_t client_text_len = 0;
    uint32_t server_clip_flags = 0;  // the server's Extended Clipboard caps
    uint32_t server_clip_text_max = 0;
    uint8_t *cursor = nullptr;  // width * height * 4, mask in the fourth byte
    int cursor_w = 0, cursor_h = 0, cursor_hot_x = 0, cursor_hot_y = 0;
    unsigned cursor_serial = 0;
    int resize_status = -1;
    unsigned resize_serial = 0;
    uint32_t screen_id = 0, screen_flags = 0;  // the first screen of the server's layout
    char end_reason[kErrorTextSize] = {};
    // What vnc_get_security_info shows: "key: value" lines of the last
    // connect's security, kept after it failed (a refused certificate).
    char security_info[kSecurityInfoSize] = {};
    // What the worker is reading, for the end reason; phase_encoding is
    // the rectangle's when phase is kPhaseRectangle.
    const char *phase = "";
    int32_t phase_encoding = 0;
};

// The worker's phase while it reads a rectangle.
extern const char kPhaseRectangle[];

// Fence and continuous updates, worker side: a fence without the request
// bit (our sync's answer, if it is one); a server's EndOfContinuousUpdates;
// a resize while they are on; the end of an update; and the close, which
// ends them.
void vnc_sync_fence_answer(vnc_client_t *client, const uint8_t *payload, size_t len);
void vnc_cu_server_end(vnc_client_t *client);
void vnc_cu_resized(vnc_client_t *client);
void vnc_sync_update_done(vnc_client_t *client);
void vnc_cu_close(vnc_client_t *client);

// Raises VNC_EVENT_* bits for vnc_wait_event.
void vnc_signal_event(vnc_client_t *client, unsigned bits);
// Sets the status; a change raises VNC_EVENT_STATUS.
void vnc_set_status(vnc_client_t *client, int status);
// vnc_destroy: wakes every waiter and returns once none is left.
void vnc_events_close(vnc_client_t *client);

// Records why the connection ended or the connect failed; the first reason
// of a connection stands. Cleared by vnc_connect.
void vnc_note_end(vnc_client_t *client, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Adds to the reason already recorded (what the first reason leaves out,
// such as input a close could not deliver).
void vnc_note_end_more(vnc_client_t *client, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// The end reason for a failed read of the reader, in what.
void vnc_note_read_failure(vnc_client_t *client, const char *what);

// Text helpers. Whether n bytes are well-formed UTF-8; Latin-1 to UTF-8
// (dst holds 2 * n); UTF-8 to Latin-1 in place, '?' for what Latin-1
// lacks (returns the new length); the getters' copy-out convention.
bool vnc_utf8_valid(const uint8_t *s, size_t n);
size_t vnc_latin1_to_utf8(const uint8_t *src, size_t n, uint8_t *dst);
size_t vnc_utf8_to_latin1(uint8_t *s, size_t n);
int vnc_copy_text_out(const char *text, size_t len, char *buf, int size);
// The length of s[0, n) without a UTF-8 character that the cut at n
// ended inside (n when there is none, or s is not UTF-8).
size_t vnc_utf8_cut(const char *s, size_t n);

// The server has shown whether it takes Extended Clipboard (or never will).
void vnc_clipboard_known(vnc_client_t *client);
// vnc_send_client_cut_text with clipboard=utf8 (text is UTF-8).
int vnc_send_cut_text_utf8(vnc_client_t *client, uint32_t generation, const char *text,
                           uint32_t len);

// The SetEncodings list the next connection announces.
std::vector<int32_t> vnc_connection_encodings(const vnc_client_t *client);

// Pseudo-rectangles of the opt-in extensions; results as the decoders'.
int vnc_read_cursor(vnc_client_t *client, vnc_byte_source &in, int x, int y, int w, int h);
// DesktopName: the new name replaces the greeting's.
int vnc_read_desktop_name(vnc_client_t *client, vnc_byte_source &in);
// ExtendedDesktopSize's layout: x is the reason, y the status.
int vnc_read_ext_desktop_size(vnc_client_t *client, vnc_byte_source &in, int x, int y);
// ServerCutText after its type byte; false when the stream is lost.
bool vnc_handle_cut_text(vnc_client_t *client, vnc_byte_source &in);
// Forgets what the last connection's server showed and sent of the
// extensions (vnc_connect, before the handshake).
void vnc_extensions_reset(vnc_client_t *client);

// Records a failure text in the handle (when non-null) and process-wide.
void vnc_set_error(vnc_client_t *client, const char *text);

// Replaces the host's framebuffer and the worker's back buffer with
// zero-filled ones of width x height. If either cannot be had, neither is
// kept (null) and the size stands. Caller holds lock; no worker runs.
void vnc_framebuffer_resize(vnc_client_t *client, int width, int height);
// A zero-filled width x height pixel array (null on failure or for no
// pixels), and its release. Every framebuffer array comes from these.
uint32_t *vnc_pixels_alloc(int width, int height);
void vnc_pixels_free(uint32_t *pixels);
// Faults the array in on a thread of its own where the platform can, ahead
// of its first use. vnc_pixels_stop_prefault stops and joins that thread
// (vnc_pixels_free does too: free outside the lock, or stop first, since a
// step may take tens of milliseconds); vnc_pixels_reap joins it once it has
// finished.
void vnc_pixels_prefault(uint32_t *pixels);
void vnc_pixels_stop_prefault(uint32_t *pixels);
void vnc_pixels_reap(uint32_t *pixels);
bool vnc_pixels_prefault_done_for_testing(uint32_t *pixels);
// Frees the back buffer and what it had pending (no worker runs).
void vnc_back_buffer_release(vnc_client_t *client);

// Worker side. A DesktopSize: a new back buffer now, the host's array at the
// next publish.
void vnc_back_resize(vnc_client_t *client, int width, int height);
// Records (x, y, w, h) as changed in the back buffer, to be copied to the
// host and reported dirty.
void vnc_back_damage(vnc_client_t *client, int x, int y, int w, int h);
// A rectangle decoded whole: counts towards the first full picture, and
// starts faulting the host's array in once enough of it has come.
void vnc_back_drawn(vnc_client_t *client, int x, int y, int w, int h);
// Frees what only the worker uses (back buffer, ZRLE input, inflate stream,
// reader) once it is done with the connection.
void vnc_worker_release(vnc_client_t *client);
// Idle: gives the back buffer and the ZRLE input back when nothing is
// pending. Busy again: a new back buffer, a copy of the host's framebuffer.
void vnc_back_idle(vnc_client_t *client);
void vnc_back_wake(vnc_client_t *client);

// How a publish may take the framebuffer lock and what it shows.
enum class vnc_publish_mode {
    interim,   // during a rectangle: try the lock, show its finished rows
    boundary,  // between rectangles: try the lock
    final,     // end of an update: wait for the lock (until vnc_disconnect)
};
// Hands what changed in the back buffer over to the host's framebuffer under
// the lock. What it cannot hand over now stays pending.
void vnc_publish(vnc_client_t *client, vnc_publish_mode mode);
// Takes the framebuffer lock, giving up once vnc_disconnect asks the worker
// to stop, so that a host holding the lock can still disconnect.
bool vnc_lock_while_running(vnc_client_t *client);

// Grows the dirty rectangle by (x, y, w, h) clipped to the framebuffer.
// Caller holds lock.
void mark_dirty_region(vnc_client_t *client, int x, int y, int w, int h);

// Closes sock under the send lock and moves to the next generation.
void vnc_close_connection(vnc_client_t *client);
// vnc_disconnect's work, for a caller that holds op_lock (vnc_connect).
void vnc_disconnect_locked(vnc_client_t *client);

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

// Test seams: shorten the send stall, connect and handshake limits, and cap
// every wait of a socket reader (ms; <= 0 restores the defaults). Not
// exported.
void vnc_set_send_stall_timeout_for_testing(int ms);
// The send stall limit in force (kSendStallTimeoutMs unless shortened).
int vnc_send_stall_timeout_ms();
void vnc_set_connect_timeout_for_testing(int ms);
void vnc_set_handshake_timeout_for_testing(int ms);
void vnc_set_read_timeout_cap_for_testing(int ms);

// Worker entry point.
void vnc_worker_proc(vnc_client_t *client);
// Handles one server message whose type byte has been read, reading the rest
// from in. false when the connection is unusable and the worker must end: a
// read failed or timed out (the stream is no longer in step), or a size is
// beyond its limit.
// Also drives the message fuzzer from memory.
bool vnc_handle_server_message(vnc_client_t *client, vnc_byte_source &in, uint8_t type);
void send_framebuffer_update_request(vnc_client_t *client, int incremental);
// The 10 bytes of a FramebufferUpdateRequest for the whole width x height.
void vnc_put_update_request(uint8_t *msg, int incremental, int width, int height);

// Test seam: the encoding list the next vnc_connect announces (null/0
// restores the default). Not exported.
void vnc_set_encodings_for_testing(vnc_client_t *client, const int32_t *list, int count);

// ---- Decoders ---------------------------------------------------------


// What a decoder works on: the payload bytes, the framebuffer and the
// connection's inflate stream. Decoders write only inside the rectangle cut
// to the framebuffer (CopyRect: refused when either area leaves it).
struct vnc_decode_ctx {
    vnc_byte_source *in = nullptr;
    uint32_t *pixels = nullptr;  // null: nothing is drawn, payload still consumed
    int fb_width = 0;
    int fb_height = 0;
    vnc_inflate *inflate = nullptr;  // null: ZRLE rectangles are refused (after consuming their data)
    uint16_t red_max = 255, green_max = 255, blue_max = 255;
    const std::atomic<int> *running = nullptr;  // null: never cancelled
    vnc_buffer *scratch = nullptr;  // the connection's payload buffer; null: per call
    struct vnc_tight_state *tight = nullptr;  // null: Tight's zlib data ends the stream
    // Rows of the rectangle, from its top, that are decoded for good, so that
    // a publish in the middle of a long rectangle can show them.
    int rows_done = 0;
    // Set by a decoder that may have drawn before refusing the rectangle.
    bool drawn = false;
    // Why a decoder found the stream lost without a failed read, for the
    // end reason; null otherwise.
    const char *error = nullptr;
};

// What a decoder returns.
constexpr int kDecodeOk = 0;
// Unusable, but its whole payload was consumed: the stream is in step.
constexpr int kDecodeRefused = -1;
// A read failed, timed out or was cancelled, or the payload cannot be
// skipped: the stream is lost and the connection must end.
constexpr int kDecodeBroken = -2;

typedef int (*vnc_decoder_fn)(vnc_decode_ctx &ctx, int x, int y, int w, int h);

int decode_raw_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h);
int decode_copyrect_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h);
int decode_rre_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h);
int decode_hextile_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h);
int decode_zrle_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h);
int decode_tight_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h);

// What Tight keeps across a connection's rectangles: its four zlib streams
// (made on first use, dropped when the server resets one) and a
// rectangle's rows of pixels.
struct vnc_tight_state {
    std::unique_ptr<vnc_inflate, vnc_deleter> streams[4];
    vnc_buffer rows;
};

// Decoder for an encoding number, or null when it is not one we decode.
vnc_decoder_fn vnc_find_decoder(int32_t encoding);

// ZRLE limits. A rectangle's compressed data may be this long, or five
// bytes a pixel of a larger rectangle.
constexpr uint32_t kZrleMaxCompressed = 16u * 1024 * 1024;
constexpr uint64_t kZrleOutputSlack = 65536;

// Clipped drawing helpers shared by the decoders: every framebuffer write
// goes through them or is bounded the same way.
namespace vnc_draw {
// Fills (x, y, w, h) intersected with the framebuffer.
void fill(vnc_decode_ctx &ctx, int x, int y, int w, int h, uint32_t pixel);
// Stores n pixels from src at row y starting at column x, clipped.
void put_row(vnc_decode_ctx &ctx, int x, int y, int n, const uint32_t *src);
// n 3-byte pixels from s (3 * n bytes) as 4-byte ones with the top byte set:
// ZRLE's byte order (blue, green, red) and Tight's (red, green, blue).
void expand_bgr3(const uint8_t *s, uint32_t *dst, int n);
void expand_rgb3(const uint8_t *s, uint32_t *dst, int n);
}  // namespace vnc_draw

// Reads a payload of len bytes into buf[0, len), which grows only as the
// bytes arrive. 0, or -1 when a read failed or memory ran out (the stream
// is then lost).
int vnc_read_payload(vnc_decode_ctx &ctx, uint32_t len, vnc_buffer &buf);

// Wire integers are big-endian.
inline uint32_t vnc_load_be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline void vnc_put_be16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void vnc_put_be32(uint8_t *p, uint32_t v) {
    vnc_put_be16(p, v >> 16);
    vnc_put_be16(p + 2, v);
}

inline uint32_t vnc_load_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

#endif
