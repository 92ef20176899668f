// VeNCrypt's Plain: the username and the password as they are. Only ever
// chosen when the host lists it (alone, or inside TLS).
#include <cstring>

#include "vnc_client_internal.h"
#include "vnc_security.h"

int vnc_sec_plain(vnc_sec_ctx &ctx) {
    const std::string &user = ctx.c->conn.username;
    const size_t ulen = user.size();
    const size_t plen = ctx.password ? std::strlen(ctx.password) : 0;
    if (ulen > kMaxCredentialLength || plen > kMaxCredentialLength)
        return vnc_sec_fail(ctx, "Username or password too long",
                            "The username or the password is longer than %u bytes",
                            static_cast<unsigned>(kMaxCredentialLength));
    // One message, so that the server never sees half of it.
    uint8_t msg[8 + 2 * kMaxCredentialLength];
    vnc_put_be32(msg, static_cast<uint32_t>(ulen));
    vnc_put_be32(msg + 4, static_cast<uint32_t>(plen));
    if (ulen) std::memcpy(msg + 8, user.data(), ulen);
    if (plen) std::memcpy(msg + 8 + ulen, ctx.password, plen);
    const int r = vnc_sec_send(ctx, msg, 8 + ulen + plen, "Failed to send the username and password");
    vnc_wipe(msg, sizeof msg);
    if (r) return -1;
    ctx.expect_result = true;
    ctx.auth_name = "Username and password authentication";
    return 0;
}
