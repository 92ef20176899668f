// VeNCrypt (type 19, version 0.2): a version, a list of subtypes to choose
// from, then the subtype: Plain alone, or TLS (anonymous or X.509) around
// None, VNC authentication or Plain.
#include <cstdio>

#include "vnc_client_internal.h"
#include "vnc_tls.h"

namespace {

// The subtypes of the host's list, as "x509vnc, tlsnone".
void describe_wanted(const vnc_sec_ctx &ctx, char *out, size_t size) {
    size_t used = 0;
    out[0] = '\0';
    for (uint32_t t : ctx.accepted) {
        const vnc_security_scheme *s = t >= 256 ? vnc_find_security(t) : nullptr;
        if (!s) continue;
        const int n = std::snprintf(out + used, size - used, "%s%s", used ? ", " : "", s->name);
        if (n < 0 || static_cast<size_t>(n) >= size - used) break;
        used += static_cast<size_t>(n);
    }
}

void describe_offered(const uint32_t *types, int count, char *out, size_t size) {
    size_t used = 0;
    out[0] = '\0';
    for (int i = 0; i < count; ++i) {
        const vnc_security_scheme *s = types[i] >= 256 ? vnc_find_security(types[i]) : nullptr;
        const int n = std::snprintf(out + used, size - used, "%s%u (%s)", i ? ", " : "", types[i],
                                    s ? s->name : "unknown");
        if (n < 0 || static_cast<size_t>(n) >= size - used) break;
        used += static_cast<size_t>(n);
    }
}

int tls_then(vnc_sec_ctx &ctx, bool anonymous, vnc_security_fn inner) {
    vnc_tls_config config;
    config.anonymous = anonymous;
    if (vnc_tls_start(ctx, config) || inner(ctx)) return -1;
    // Every subtype ends in a SecurityResult, also the ones without a
    // password.
    ctx.expect_result = true;
    return 0;
}

}  // namespace

int vnc_sec_vencrypt(vnc_sec_ctx &ctx) {
    vnc_byte_source &in = *ctx.in;
    uint8_t version[2];
    if (in.read(version, 2, kHandshakeTimeoutMs))
        return vnc_sec_read_failed(ctx, "Failed to read the VeNCrypt version",
                                   "the VeNCrypt version");
    if (version[0] != 0 || version[1] < 2)
        return vnc_sec_fail(ctx, "Server's VeNCrypt version is not supported",
                            "Server speaks VeNCrypt %u.%u; this client speaks 0.2",
                            version[0], version[1]);
    static const uint8_t kVersion[2] = {0, 2};
    if (vnc_sec_send(ctx, kVersion, 2, "Failed to send the VeNCrypt version")) return -1;
    uint8_t ack;
    if (in.read_u8(&ack, kHandshakeTimeoutMs))
        return vnc_sec_read_failed(ctx, "Failed to read the VeNCrypt version answer",
                                   "the VeNCrypt version answer");
    if (ack != 0)
        return vnc_sec_fail(ctx, "Server refused VeNCrypt version 0.2",
                            "Server refused VeNCrypt version 0.2 (answer %u)", ack);
    uint8_t count;
    if (in.read_u8(&count, kHandshakeTimeoutMs))
        return vnc_sec_read_failed(ctx, "Failed to read the VeNCrypt subtypes",
                                   "the VeNCrypt subtypes");
    if (count == 0)
        return vnc_sec_fail(ctx, "Server offers no VeNCrypt subtype",
                            "Server offers no VeNCrypt subtype");
    uint32_t types[255];
    for (int i = 0; i < count; ++i)
        if (in.read_u32(&types[i], kHandshakeTimeoutMs))
            return vnc_sec_read_failed(ctx, "Failed to read the VeNCrypt subtypes",
                                       "the VeNCrypt subtypes");
    uint32_t chosen = 0;
    for (uint32_t want : ctx.accepted) {
        for (int i = 0; i < count && !chosen; ++i)
            if (want >= 256 && types[i] == want) chosen = want;
        if (chosen) break;
    }
    const vnc_security_scheme *scheme = chosen ? vnc_find_security(chosen) : nullptr;
    if (!scheme) {
        char offered[400], wanted[200];
        describe_offered(types, count, offered, sizeof offered);
        describe_wanted(ctx, wanted, sizeof wanted);
        return vnc_sec_fail(ctx, "No compatible VeNCrypt subtype: add one the server offers to the security option",
                            "No compatible VeNCrypt subtype: the server offers %s; the security "
                            "option lists %s. Add one the server offers to the security option "
                            "(the anonymous ones, tls*, do not check who the server is)",
                            offered, wanted[0] ? wanted : "none of them");
    }
    uint8_t choice[4];
    vnc_put_be32(choice, chosen);
    if (vnc_sec_send(ctx, choice, 4, "Failed to send the VeNCrypt subtype")) return -1;
    vnc_sec_info(ctx, "type", scheme->name);
    if (chosen != kSecPlain) {
        // The TLS subtypes are acknowledged (1) before the handshake.
        if (in.read_u8(&ack, kHandshakeTimeoutMs))
            return vnc_sec_read_failed(ctx, "Failed to read the VeNCrypt subtype answer",
                                       "the VeNCrypt subtype answer");
        if (ack != 1)
            return vnc_sec_fail(ctx, "Server refused the VeNCrypt subtype",
                                "Server refused VeNCrypt subtype %s (answer %u)", scheme->name, ack);
    }
    return scheme->run(ctx);
}

int vnc_sec_tlsnone(vnc_sec_ctx &ctx) { return tls_then(ctx, true, vnc_sec_none); }
int vnc_sec_tlsvnc(vnc_sec_ctx &ctx) { return tls_then(ctx, true, vnc_sec_vncauth); }
int vnc_sec_tlsplain(vnc_sec_ctx &ctx) { return tls_then(ctx, true, vnc_sec_plain); }
int vnc_sec_x509none(vnc_sec_ctx &ctx) { return tls_then(ctx, false, vnc_sec_none); }
int vnc_sec_x509vnc(vnc_sec_ctx &ctx) { return tls_then(ctx, false, vnc_sec_vncauth); }
int vnc_sec_x509plain(vnc_sec_ctx &ctx) { return tls_then(ctx, false, vnc_sec_plain); }
