/*
 * quenvira-vnc: an RFB (VNC) client library with a flat C interface.
 *
 * A handle keeps an in-memory copy of a remote desktop current on a worker
 * thread of its own. The host polls the dirty rectangle, reads pixels while
 * holding the handle's framebuffer lock, and sends pointer, key and clipboard
 * input. Functions that can fail return 0 on success and -1 on failure.
 *
 * Pixels are 32-bit little-endian values: blue, green, red, fourth byte in
 * memory; rows are contiguous with a stride of width * 4 bytes.
 */
#ifndef QUENVIRA_VNC_H
#define QUENVIRA_VNC_H

#include <stdint.h>

/* Define QUENVIRA_VNC_STATIC when linking the library statically. */
#if defined(_WIN32)
#  if defined(QUENVIRA_VNC_BUILD)
#    define VNC_API __declspec(dllexport)
#  elif defined(QUENVIRA_VNC_STATIC)
#    define VNC_API
#  else
#    define VNC_API __declspec(dllimport)
#  endif
#else
#  define VNC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque connection handle, owned by the host from vnc_create to vnc_destroy. */
typedef struct vnc_client vnc_client_t;

#define VNC_STATUS_ERROR (-1)       /* last connection attempt failed; null handle */
#define VNC_STATUS_DISCONNECTED 0   /* never connected, disconnected, or worker ended */
#define VNC_STATUS_CONNECTING 1     /* vnc_connect in progress */
#define VNC_STATUS_CONNECTED 2      /* handshake complete; input may be sent */

/* Library version text ("1.0.1"); static, never freed. Needs no set-up. */
VNC_API const char *vnc_version(void);

/* Most recent failure text recorded by vnc_create, vnc_connect or
 * vnc_test_server_start anywhere in the process; empty before any failure.
 * Static buffer owned by the library, overwritten by the next failure; never
 * cleared by a success. */
VNC_API const char *vnc_last_error(void);

/* New handle in status 0, or null (with a text for vnc_last_error). Free it
 * with vnc_destroy. Starts the socket layer once per process. */
VNC_API vnc_client_t *vnc_create(void);

/* Connects to host:port (host name or numeric address, any address family)
 * with an optional password (null or "" = none) and starts the worker.
 * Runs the whole handshake on the calling thread; the TCP connect gives up
 * after 10 s, the handshake after it after 15 s however slowly the server
 * sends. A server framebuffer of more than 2^27 pixels (134217728) is
 * refused. A connected handle is disconnected first. Returns 0, or -1
 * with a text for vnc_last_error (a refusing server's reason included).
 * vnc_disconnect or vnc_destroy from another thread abandons it (-1) at once.
 * Do not call it concurrently with another vnc_connect on the same handle. */
VNC_API int vnc_connect(vnc_client_t *client, const char *host, int port, const char *password);

/* Stops the worker, closes the socket, sets status 0. Safe in every status.
 * The close is clean: what was sent reaches the server, which is then given
 * up to 250 ms to end its side before the socket is closed. A server that
 * takes none of it for 5 s (at most 10 s in all) is given up on, and the
 * end reason says how many bytes were not delivered.
 * Returns only once the worker can no longer touch the handle. The framebuffer
 * survives until the next connection or vnc_destroy. -1 for a null handle.
 * A connection also ends by itself (status 0) when the server closes it, a
 * read stalls past its timeout in the middle of a message, or the server
 * asks for a framebuffer over the limit; its last finished update is still
 * handed over, and only the framebuffer is kept. */
VNC_API int vnc_disconnect(vnc_client_t *client);

/* Disconnects and frees the handle and everything it owns. Null is ignored.
 * The handle must not be used afterwards, nor be locked by the caller. */
VNC_API void vnc_destroy(vnc_client_t *client);

/* Current VNC_STATUS_* value, read without the lock; -1 for a null handle. */
VNC_API int vnc_get_status(vnc_client_t *client);

/* Framebuffer width and height (0 x 0 before the first connection).
 * Takes the lock briefly. -1 if any argument is null. */
VNC_API int vnc_get_dimensions(vnc_client_t *client, int *width, int *height);

/* Takes the framebuffer lock and returns the pixels (valid only until
 * vnc_unlock_framebuffer), the stride in bytes, width and height.
 * With all arguments non-null the lock is held on return whatever the
 * result (-1 when there is no framebuffer): always follow such a call with
 * exactly one vnc_unlock_framebuffer. With a null argument: -1, no lock taken.
 * While held, the worker keeps receiving and decoding into a buffer of its
 * own, but it cannot hand a finished update over, and it asks the server
 * for the next one only after that: hold it briefly. The worker holds it
 * only to copy a finished update (or, during an update longer than 100 ms,
 * its finished rectangles and rows so far) in, never while waiting for the
 * network. The lock is recursive, so the holder may call
 * vnc_get_dimensions/vnc_get_dirty_rect: take the lock first, then the dirty
 * rectangle, and it lies inside the array the lock returned. */
VNC_API int vnc_lock_framebuffer(vnc_client_t *client, void **pixels, int *stride, int *width,
                                 int *height);

/* Releases the lock taken by vnc_lock_framebuffer. Null is ignored. */
VNC_API void vnc_unlock_framebuffer(vnc_client_t *client);

/* If an area changed since the last call, stores it (x, y, w, h, inside the
 * current framebuffer), clears it and returns 1; else returns 0 and leaves
 * the outputs untouched (also 0 if any argument is null). A resize may
 * follow before the host locks the framebuffer: call it with the lock held
 * (or clip to the locked size). */
VNC_API int vnc_get_dirty_rect(vnc_client_t *client, int *x, int *y, int *w, int *h);

/* Input: each call sends one message on the calling thread and waits while
 * the server is slow to take it. A send that fails, or sends no byte for 5 s,
 * ends the connection (status 0) and returns -1; a message meant for a
 * connection that has ended is dropped (-1).
 *
 * Sends a PointerEvent: x and y as their low 16 bits, the button mask as its
 * low 8 bits (bit 0 = first button). 0, or -1 when not connected or the send
 * fails. Thread-safe: never interleaves with other messages. */
VNC_API int vnc_send_pointer(vnc_client_t *client, int x, int y, int button_mask);

/* Sends a KeyEvent with an X keysym; any non-zero down means pressed.
 * 0, or -1 when not connected or the send fails. Thread-safe. */
VNC_API int vnc_send_key(vnc_client_t *client, uint32_t keysym, int down);

/* Sends ClientCutText with length bytes of text (not converted, no
 * terminator; the caller keeps ownership). -1 for a null text, a negative
 * length, no connection or a failed send. Thread-safe. */
VNC_API int vnc_send_client_cut_text(vnc_client_t *client, const char *text, int length);

/* Starts the built-in one-client RFB 3.8 test server on 127.0.0.1:port with
 * a fixed 640 x 480 picture; password null or "" = no authentication
 * (at most 63 characters are kept); port 0 takes a free one. A running
 * server is stopped first. 0, or -1 with a text for vnc_last_error when the
 * port is outside 0..65535 or cannot be bound. */
VNC_API int vnc_test_server_start(int port, const char *password);

/* Stops the test server and its thread; harmless when none runs. */
VNC_API void vnc_test_server_stop(void);


/* ---- Opt-in extensions --------------------------------------------------
 *
 * Beyond the functions above. A host that never calls these gets exactly the
 * library described above, on the wire too. All are safe from any thread
 * and none waits on the network. Texts are UTF-8. The getters that fill a
 * buffer share one convention: they store at most size - 1 bytes (cut at a
 * character boundary) and a terminating NUL, and return the full length in
 * bytes (0 when there is none, -1 for a null handle, a negative size or a
 * null buffer with a non-zero size); a null buffer with size 0 asks for the
 * length.
 */

/* Sets an option for the next vnc_connect and those after it (disconnects
 * keep it). Names and values, the first value being the default:
 *   encodings     comma-separated preference from zrle, hextile, rre,
 *                 copyrect, raw, tight (the default list is zrle,hextile,
 *                 rre,copyrect,raw); DesktopSize is always offered, and
 *                 LastRect with tight
 *   jpeg-quality  off | 0..9: with tight, offers Tight's JPEG at that
 *                 quality (lossy); refused by a build without JPEG
 *   compress-level off | 0..9: with tight, asks for that zlib level
 *   cursor        server | local: local offers the Cursor pseudo-encoding,
 *                 so the server leaves its pointer out of the framebuffer and
 *                 sends its shape (vnc_get_cursor)
 *   desktop-size  basic | extended: extended also offers ExtendedDesktopSize
 *                 and enables vnc_request_desktop_size
 *   desktop-name  off | on: on offers DesktopName, so that
 *                 vnc_get_desktop_name follows the server's renames
 *   continuous-updates off | on: on offers Fence and ContinuousUpdates;
 *                 with a server that takes them it sends updates without
 *                 waiting to be asked for each (paced by its fences, which
 *                 are answered once all before them has been handled), and
 *                 vnc_sync uses a fence
 *   qemu-keys     off | on: on offers the QEMU Extended Key Event; once the
 *                 server takes it, vnc_send_key also sends the key's XT
 *                 scancode for a US keyboard (a keysym with none goes as a
 *                 plain KeyEvent). Shift is the host's to send.
 *   clipboard     latin1 | utf8: utf8 offers Extended Clipboard; with a
 *                 server that takes it text goes both ways in UTF-8, else as
 *                 Latin-1 converted at the boundary. vnc_send_client_cut_text
 *                 then takes UTF-8; right after a connect it waits (3 s at
 *                 most) until the server has shown which.
 *   shared        on | off: the ClientInit shared flag
 *   security      default | a comma-separated list, in the host's order of
 *                 preference, from x509vnc, x509plain, x509none (VeNCrypt
 *                 over TLS with the server's certificate verified), tlsvnc,
 *                 tlsplain, tlsnone (VeNCrypt over anonymous TLS: encrypted,
 *                 but nobody vouches for the server), anontls (type 18, then
 *                 the types again inside), plain (username and password in
 *                 the clear), vncauth, none. default: None and VNC
 *                 authentication as the server offers them (VNC
 *                 authentication first when a password is given). A type
 *                 not listed is never used.
 *   username      the username of the plain types (wiped after the connect)
 *   tls-ca-file   PEM file of the CA certificates to trust (default: the
 *                 system's store)
 *   tls-server-name the name the certificate must carry (default: the host
 *                 given to vnc_connect; an IP address is checked against the
 *                 certificate's IP entries)
 *   tls-pin       sha256:HEX, the server certificate's SHA-256 fingerprint:
 *                 a certificate that matches is accepted and one that does not
 *                 refused, whatever its CA says ("" removes the pin)
 *   tls-verify    on | off: off accepts any certificate (unsafe: anyone
 *                 between may read and change the connection)
 *   password-charset bytes | utf8: utf8 says vnc_connect's password is
 *                 UTF-8; VNC authentication and MSLogonII then use its
 *                 Latin-1 form. default: bytes, used as given by every type
 * 0, or -1 with a text for vnc_last_error (null argument, unknown name, bad
 * value). */
VNC_API int vnc_set_option(vnc_client_t *client, const char *name, const char *value);

/* The last clipboard text from the server (Latin-1 converted to UTF-8).
 * serial (may be null) receives a count that grows with every new text. */
VNC_API int vnc_get_cut_text(vnc_client_t *client, char *buf, int size, unsigned *serial);

/* The desktop name from the server's greeting, or its last rename (option
 * desktop-name=on). */
VNC_API int vnc_get_desktop_name(vnc_client_t *client, char *buf, int size);

/* The server's pointer shape (option cursor=local; also kept when a server
 * sends one unasked): width * height pixels in
 * the framebuffer's format, the fourth byte of each the mask (0 transparent,
 * 255 opaque). Copies the pixels when size is at least the bytes needed;
 * returns the bytes needed (pixels may be null to ask), 0 when there is no
 * shape (the server hides its pointer, or sent one too large to keep: over
 * 512 x 512 pixels), -1 for a null handle or a negative size. Every other output may be
 * null; serial grows with every new shape. */
VNC_API int vnc_get_cursor(vnc_client_t *client, void *pixels, int size, int *width, int *height,
                           int *hot_x, int *hot_y, unsigned *serial);

/* 0 until the first full picture has been handed over: the first update
 * after the connect that draws anything (the answer to the connect's full
 * update request; what it leaves undrawn is black), or, once a resize has
 * replaced the picture (also before that answer), every pixel drawn again. From then on the count of
 * updates handed over whole that drew something, while the picture is whole
 * (a resize pauses it until the new size has been drawn). So 1 or more
 * means a full picture is in the framebuffer. 0 for a null handle. */
VNC_API unsigned vnc_get_update_count(vnc_client_t *client);

/* Why the last connect failed or the last connection ended, with the detail
 * vnc_last_error leaves out: the system's error, the server's close, a read
 * that timed out and in what, a protocol error and which, a stalled send,
 * or vnc_disconnect. Empty while a connection stands. */
VNC_API int vnc_get_end_reason(vnc_client_t *client, char *buf, int size);

/* What the last connect negotiated for its security, one "key: value" line
 * each: type (the name as in the security option), and with TLS
 * tls-version, tls-cipher, and with a certificate subject, issuer,
 * not-before, not-after, sha256 (its fingerprint, hex) and verification
 * (ok, or why not). Kept after a connect that refused the certificate, so
 * a host can show it and pin it. Empty before any security was chosen. */
VNC_API int vnc_get_security_info(vnc_client_t *client, char *buf, int size);

/* Asks the server to resize the desktop to width x height as one screen
 * (option desktop-size=extended). 0 when sent; -1 when not connected, the
 * server has not shown ExtendedDesktopSize, a side is outside 1..65535,
 * the area is over 2^27 pixels, or the send fails. The outcome arrives as a resize, and its status code
 * through vnc_get_desktop_size_status. */
VNC_API int vnc_request_desktop_size(vnc_client_t *client, int width, int height);

/* The server's answer to the last vnc_request_desktop_size of this
 * connection: 0 done, 1 prohibited, 2 out of resources, 3 invalid layout;
 * -1 from a request until its answer, and for a null handle. serial (may be null) grows with
 * every answer. */
VNC_API int vnc_get_desktop_size_status(vnc_client_t *client, unsigned *serial);

/* Returns once the server has handled every message sent before the call
 * and every update it sent up to its answer is in the framebuffer and
 * reported dirty (then VNC_EVENT_SYNC is raised too). With a server that
 * has shown Fence (option continuous-updates=on, and a server that takes
 * it) a fence request answers it: VNC_SYNC_FENCE. Otherwise a request for
 * the top-left pixel alone, answered by the first update that redraws it:
 * VNC_SYNC_UPDATE (an update already under way that redraws that pixel
 * may end it early). 0 when timeout_ms passes first (negative: no limit),
 * -1 when not connected, for a failed send, when the connection ends while
 * waiting, or for a null handle. One sync at a time: a second call waits
 * for the first. The screen shows an application's reaction to input only
 * once the application has drawn it, which the server cannot promise. */
#define VNC_SYNC_FENCE 1
#define VNC_SYNC_UPDATE 2
VNC_API int vnc_sync(vnc_client_t *client, int timeout_ms);

/* What vnc_wait_event reports, as bits. */
#define VNC_EVENT_UPDATE 1        /* pixels handed over to the framebuffer */
#define VNC_EVENT_STATUS 2        /* the status changed (the end reason says why),
                                     or vnc_disconnect was called */
#define VNC_EVENT_CLIPBOARD 4     /* new server clipboard text */
#define VNC_EVENT_CURSOR 8        /* a new pointer shape (or none) */
#define VNC_EVENT_DESKTOP_SIZE 16 /* a resize, or the answer to a resize request */
#define VNC_EVENT_BELL 32         /* the server rang the bell */
#define VNC_EVENT_SYNC 64         /* a vnc_sync completed */

/* Waits until something has happened since the last call and returns the
 * VNC_EVENT_* bits of all that has (then cleared); 0 when timeout_ms passes
 * first (a negative timeout waits without limit), -1 for a null handle.
 * Needs no option and never holds the framebuffer lock. vnc_disconnect and
 * vnc_destroy from another thread wake it at once (vnc_destroy returns only
 * once it has left). Meant for one waiting thread per handle: with several,
 * each event goes to one of them. */
VNC_API int vnc_wait_event(vnc_client_t *client, int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif /* QUENVIRA_VNC_H */
