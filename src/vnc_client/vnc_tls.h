// TLS under a security scheme: the handshake over the connection's socket,
// the check of the server's certificate, and the transport that carries
// the rest of the connection. One backend per platform fills it (GnuTLS on
// Linux; a build without one refuses every TLS type).
#ifndef QUENVIRA_VNC_TLS_H
#define QUENVIRA_VNC_TLS_H

#include "vnc_security.h"

struct vnc_tls_config {
    // Anonymous (EC)DH, TLS 1.2: encrypted, but nobody vouches for the
    // server. Otherwise X.509, TLS 1.2 or 1.3, the certificate checked.
    bool anonymous = false;
};

// Runs the handshake (bounded by ctx.deadline, cancelled by a
// vnc_disconnect), records tls-version, tls-cipher and the certificate's
// lines with vnc_sec_info, refuses a certificate the host's options do not
// accept, and puts the TLS transport in place. 0, or -1 failed (noted as
// vnc_sec_fail does; nothing more is sent).
int vnc_tls_start(vnc_sec_ctx &ctx, const vnc_tls_config &config);

// Whether this build has TLS at all.
bool vnc_tls_available();

// Digits and dots, or a colon anywhere (IPv6): certificates carry those as
// IP entries, and no name is sent for them.
bool vnc_tls_is_ip_address(const char *name);

// What both backends tell of the server's certificate, and their common
// verdict on it, so that the texts and the options mean the same on every
// platform.
struct vnc_peer_cert {
    char subject[512] = "";
    char issuer[512] = "";
    char not_before[40] = "";
    char not_after[40] = "";
    char sha256[65] = "";  // lowercase hex
};
// What a backend's check found wrong, the most fundamental first: who
// vouches, when, for whom.
enum class vnc_cert_fault { none, unknown_issuer, not_yet_valid, expired, invalid, name_mismatch };
// Records the certificate's lines with vnc_sec_info.
void vnc_tls_describe(vnc_sec_ctx &ctx, const vnc_peer_cert &pc);
// tls-pin, which decides alone whatever any authority says: 0 accepted,
// -1 refused (noted), 1 no pin set.
int vnc_tls_pin_verdict(vnc_sec_ctx &ctx, const vnc_peer_cert &pc);
// Records the verification and refuses the certificate for the fault
// unless tls-verify is off: 0 accepted, -1 refused (noted). invalid_reason
// is the backend's own end reason for fault invalid, which only it can say.
int vnc_tls_cert_verdict(vnc_sec_ctx &ctx, const vnc_peer_cert &pc, vnc_cert_fault fault,
                         const char *invalid_reason, const char *server_name);

#endif
