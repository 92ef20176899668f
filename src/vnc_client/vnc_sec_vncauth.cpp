// VNC authentication: the server's challenge, DES-encrypted with the
// password.
#include "vnc_client_internal.h"
#include "vnc_des.h"
#include "vnc_security.h"

int vnc_sec_vncauth(vnc_sec_ctx &ctx) {
    uint8_t challenge[16], response[16];
    if (ctx.in->read(challenge, 16, kHandshakeTimeoutMs))
        return vnc_sec_read_failed(ctx, "Failed to read VNC auth challenge",
                                   "the VNC authentication challenge");
    char latin1[kDesPasswordRoom];
    vnc_des_encrypt_challenge(challenge, vnc_sec_des_password(ctx, latin1), response);
    vnc_wipe(latin1, sizeof latin1);
    const int r = vnc_sec_send(ctx, response, 16, "Failed to send VNC auth response");
    vnc_wipe(response, sizeof response);
    if (r) return -1;
    ctx.expect_result = true;
    return 0;
}
