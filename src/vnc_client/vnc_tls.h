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

#endif
