// Anonymous TLS (type 18): a TLS handshake right after the choice, then the
// security negotiation again inside it.
#include "vnc_tls.h"

int vnc_sec_anontls(vnc_sec_ctx &ctx) {
    vnc_tls_config config;
    config.anonymous = true;
    if (vnc_tls_start(ctx, config)) return -1;
    return vnc_sec_negotiate(ctx, true);
}
