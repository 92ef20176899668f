// Security schemes: one file each, one signature, found by type number in
// one table (as the decoders are). The handshake picks a type from what the
// server offers and what the host accepts, and runs its scheme; the scheme
// talks to the server through the context, may put another transport in
// place of the connection's (TLS, encrypted frames), and may run a further
// negotiation inside (anonymous TLS's inner types, VeNCrypt's subtypes).
#ifndef QUENVIRA_VNC_SECURITY_H
#define QUENVIRA_VNC_SECURITY_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vnc_transport.h"

struct vnc_client;
class vnc_byte_source;
class vnc_socket_reader;

// VeNCrypt's subtypes share the number space above the RFB types (1..255).
constexpr uint32_t kSecNone = 1;
constexpr uint32_t kSecVncAuth = 2;
constexpr uint32_t kSecRa2 = 5;
constexpr uint32_t kSecRa2ne = 6;
constexpr uint32_t kSecAnonTls = 18;
constexpr uint32_t kSecVeNCrypt = 19;
constexpr uint32_t kSecAppleDh = 30;
constexpr uint32_t kSecMsLogonII = 113;
constexpr uint32_t kSecRa2_256 = 129;
constexpr uint32_t kSecRa2ne_256 = 130;
constexpr uint32_t kSecPlain = 256;
constexpr uint32_t kSecTlsNone = 257;
constexpr uint32_t kSecTlsVnc = 258;
constexpr uint32_t kSecTlsPlain = 259;
constexpr uint32_t kSecX509None = 260;
constexpr uint32_t kSecX509Vnc = 261;
constexpr uint32_t kSecX509Plain = 262;

// What a scheme works with. Reads go through `in` (whatever transport is in
// place), sends through vnc_sec_send.
struct vnc_sec_ctx {
    vnc_client *c = nullptr;
    vnc_byte_source *in = nullptr;
    // The connection's reader behind `in`, whose transport a scheme may
    // replace; null when the server's bytes come from memory (the fuzzer),
    // which has no peer: sends go nowhere and no transport is replaced.
    vnc_socket_reader *reader = nullptr;
    uint32_t generation = 0;  // the connection's, for sends
    int version = 8;          // the RFB minor version agreed: 3, 7 or 8
    const char *host = "";    // as given to vnc_connect (a certificate's name)
    const char *password = nullptr;  // may be null or empty
    // The handshake's end: no wait of a scheme goes past it. The host's
    // options (username, tls-*) are in c->conn.
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    // The types the host accepts, in its order (the security option, or
    // today's choice by whether there is a password).
    std::vector<uint32_t> accepted;
    bool listed = false;  // by the host (the security option), not by default
    // Set by the scheme: a SecurityResult follows it (RFB 3.8 sends one
    // after every type; before 3.8 only after authentication), and the
    // name a failed result is reported under.
    bool expect_result = false;
    const char *auth_name = "VNC Authentication";
    // Set by a failing scheme (with vnc_sec_fail or vnc_sec_read_failed):
    // the fixed text for vnc_last_error. The end reason is noted already.
    const char *error = nullptr;
    char error_buf[512] = {};  // for an error text made at run time
};

// A scheme: 0 when the server may now send its SecurityResult (or, when
// none is expected, ServerInit); -1 after vnc_sec_fail/_read_failed, with
// nothing more sent.
typedef int (*vnc_security_fn)(vnc_sec_ctx &ctx);

struct vnc_security_scheme {
    uint32_t type;     // RFB security type, or VeNCrypt subtype (>= 256)
    const char *name;  // in the security option and the info's type line
    vnc_security_fn run;
};

// The scheme of a type, or null when there is none.
const vnc_security_scheme *vnc_find_security(uint32_t type);
// "x509vnc" -> 261; 0 for an unknown name.
uint32_t vnc_security_type_by_name(const char *name, size_t len);

// Reads the server's list of types (or a 3.3 server's one type), chooses
// by ctx.accepted, sends the choice and runs its scheme. inner: the
// negotiation inside anonymous TLS, which offers no TLS again.
int vnc_sec_negotiate(vnc_sec_ctx &ctx, bool inner);

// ---- What schemes use ---------------------------------------------------

// Sends a handshake message (bounded like every send). 0, or -1 with the
// failure noted (then return -1).
int vnc_sec_send(vnc_sec_ctx &ctx, const void *data, size_t length, const char *error);
// Fails the scheme: text for vnc_last_error, and the end reason (printf).
int vnc_sec_fail(vnc_sec_ctx &ctx, const char *text, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// A read failed: text for vnc_last_error, what for the end reason.
int vnc_sec_read_failed(vnc_sec_ctx &ctx, const char *text, const char *what);
// Puts next in place of the connection's transport (under the send lock):
// every later read and send goes through it. A layer over the old one
// takes it first with vnc_sec_take_transport. -1 (noted) when the reader
// holds bytes already, which belong to the old transport.
int vnc_sec_replace_transport(vnc_sec_ctx &ctx, vnc_transport_ptr next);
vnc_transport_ptr vnc_sec_take_transport(vnc_sec_ctx &ctx);
// Adds "key: value" to what vnc_get_security_info shows; type goes first
// (vnc_sec_negotiate records it), then tls-*, then the certificate's.
void vnc_sec_info(vnc_sec_ctx &ctx, const char *key, const char *value);

// Room for the password as the DES-keyed schemes take it. They key with at
// most 63 bytes of it; a UTF-8 password cut at this room still has more
// characters than that, so a scheme refuses it rather than a shortened one.
constexpr size_t kDesPasswordRoom = 512;
// The password for VNC authentication and MSLogonII: as the host gave it,
// or, when the host gives UTF-8 (option password-charset utf8), its Latin-1
// form in buf ('?' for what Latin-1 lacks), which is what those servers
// compare. buf holds kDesPasswordRoom bytes; wipe it after use.
const char *vnc_sec_des_password(const vnc_sec_ctx &ctx, char *buf);

// Longest username or password Plain sends.
constexpr size_t kMaxCredentialLength = 1024;

// The schemes (one file each; VeNCrypt's TLS subtypes beside it).
int vnc_sec_none(vnc_sec_ctx &ctx);
int vnc_sec_vncauth(vnc_sec_ctx &ctx);
int vnc_sec_anontls(vnc_sec_ctx &ctx);
int vnc_sec_vencrypt(vnc_sec_ctx &ctx);
int vnc_sec_plain(vnc_sec_ctx &ctx);
int vnc_sec_tlsnone(vnc_sec_ctx &ctx);
int vnc_sec_tlsvnc(vnc_sec_ctx &ctx);
int vnc_sec_tlsplain(vnc_sec_ctx &ctx);
int vnc_sec_x509none(vnc_sec_ctx &ctx);
int vnc_sec_x509vnc(vnc_sec_ctx &ctx);
int vnc_sec_x509plain(vnc_sec_ctx &ctx);
#ifdef QV_HAVE_GCRYPT
// Need libgcrypt: vnc_sec_dh.cpp, vnc_sec_ra2.cpp, vnc_sec_mslogon2.cpp.
int vnc_sec_dh(vnc_sec_ctx &ctx);
int vnc_sec_ra2(vnc_sec_ctx &ctx);
int vnc_sec_ra2ne(vnc_sec_ctx &ctx);
int vnc_sec_ra2_256(vnc_sec_ctx &ctx);
int vnc_sec_ra2ne_256(vnc_sec_ctx &ctx);
int vnc_sec_mslogon2(vnc_sec_ctx &ctx);
#endif

#endif
