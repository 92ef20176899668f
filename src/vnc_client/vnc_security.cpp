// The table of security schemes, the choice of a type, and what schemes
// share.
#include "vnc_security.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "vnc_client_internal.h"

namespace {

const vnc_security_scheme kSchemes[] = {
    {kSecNone, "none", vnc_sec_none},
    {kSecVncAuth, "vncauth", vnc_sec_vncauth},
    {kSecAnonTls, "anontls", vnc_sec_anontls},
    {kSecVeNCrypt, "", vnc_sec_vencrypt},
    {kSecPlain, "plain", vnc_sec_plain},
    {kSecTlsNone, "tlsnone", vnc_sec_tlsnone},
    {kSecTlsVnc, "tlsvnc", vnc_sec_tlsvnc},
    {kSecTlsPlain, "tlsplain", vnc_sec_tlsplain},
    {kSecX509None, "x509none", vnc_sec_x509none},
    {kSecX509Vnc, "x509vnc", vnc_sec_x509vnc},
    {kSecX509Plain, "x509plain", vnc_sec_x509plain},
#ifdef QV_HAVE_GCRYPT
    {kSecAppleDh, "dh", vnc_sec_dh},
    {kSecRa2, "ra2", vnc_sec_ra2},
    {kSecRa2ne, "ra2ne", vnc_sec_ra2ne},
    {kSecRa2_256, "ra2-256", vnc_sec_ra2_256},
    {kSecRa2ne_256, "ra2ne-256", vnc_sec_ra2ne_256},
    {kSecMsLogonII, "mslogon2", vnc_sec_mslogon2},
#endif
};

// "19 (VeNCrypt), 16 (Tight)": what a server offered, for the end reason.
void describe_security_types(const uint8_t *types, int count, char *out, size_t size) {
    static const struct {
        uint8_t type;
        const char *name;
    } kNames[] = {{1, "None"},  {2, "VNC Authentication"}, {5, "RA2"}, {6, "RA2ne"},
                  {16, "Tight"}, {18, "TLS"}, {19, "VeNCrypt"}, {30, "Apple"}, {113, "MS Logon"},
                  {129, "RA2_256"}, {130, "RA2ne_256"}};
    size_t used = 0;
    out[0] = '\0';
    for (int i = 0; i < count && used + 1 < size; ++i) {
        const char *name = "unknown";
        for (const auto &k : kNames)
            if (k.type == types[i]) name = k.name;
        const int n = std::snprintf(out + used, size - used, "%s%u (%s)", i ? ", " : "",
                                    types[i], name);
        if (n < 0) break;
        used += static_cast<size_t>(n);
    }
}

// The server refuses us (a 3.3 security type 0, or a count of 0) and may
// say why: its reason when one of 1..511 bytes can be read, a fixed text
// otherwise, never whatever an earlier failure left behind.
int refuse(vnc_sec_ctx &ctx) {
    char *reason = ctx.error_buf;
    static_assert(sizeof ctx.error_buf == kErrorTextSize, "a reason's room");
    uint32_t len;
    vnc_byte_source &in = *ctx.in;
    if (in.read_u32(&len, kHandshakeTimeoutMs) == 0 && len >= 1 && len < kErrorTextSize &&
        in.read(reason, len, kHandshakeTimeoutMs) == 0 && reason[0])
        return vnc_sec_fail(ctx, reason, "Server refused the connection: %s", reason);
    ctx.error = "Server refused the connection";
    return -1;
}

// The outer type a host's choice is offered under: VeNCrypt's subtypes
// come through type 19.
uint32_t offered_as(uint32_t type) { return type >= 256 ? kSecVeNCrypt : type; }

}  // namespace

const char *vnc_sec_des_password(const vnc_sec_ctx &ctx, char *buf) {
    if (!ctx.password || !ctx.c->conn.password_utf8) return ctx.password;
    const size_t n = vnc_utf8_cut(ctx.password, strnlen(ctx.password, kDesPasswordRoom - 1));
    std::memcpy(buf, ctx.password, n);
    buf[vnc_utf8_to_latin1(reinterpret_cast<uint8_t *>(buf), n)] = '\0';
    return buf;
}

const vnc_security_scheme *vnc_find_security(uint32_t type) {
    for (const vnc_security_scheme &s : kSchemes)
        if (s.type == type) return &s;
    return nullptr;
}

uint32_t vnc_security_type_by_name(const char *name, size_t len) {
    for (const vnc_security_scheme &s : kSchemes)
        if (s.name[0] && std::strlen(s.name) == len && std::strncmp(s.name, name, len) == 0)
            return s.type;
    return 0;
}

int vnc_sec_negotiate(vnc_sec_ctx &ctx, bool inner) {
    vnc_byte_source &in = *ctx.in;
    std::vector<uint32_t> accepted;
    for (uint32_t t : ctx.accepted)
        if (!inner || (t < 256 && t != kSecAnonTls && t != kSecVeNCrypt)) accepted.push_back(t);
    if (accepted.empty()) {
        // Inside anonymous TLS with no inner type listed: today's choice.
        const bool pw = ctx.password && ctx.password[0];
        accepted = pw ? std::vector<uint32_t>{kSecVncAuth, kSecNone}
                      : std::vector<uint32_t>{kSecNone, kSecVncAuth};
    }
    uint32_t chosen = 0;
    ctx.expect_result = false;
    if (ctx.version == 3) {
        uint32_t type;
        if (in.read_u32(&type, kHandshakeTimeoutMs))
            return vnc_sec_read_failed(ctx, "Failed to read RFB 3.3 security type",
                                       "the security type");
        if ((type & 0xFF) == 0) return refuse(ctx);
        // A 3.3 server decides; whatever it names but VNC authentication
        // has always been taken as none, unless the host listed types.
        chosen = (type & 0xFF) == kSecVncAuth ? kSecVncAuth : kSecNone;
        if (ctx.listed) {
            chosen = 0;
            for (uint32_t t : accepted)
                if (t == type && t < 256) chosen = t;
            if (!chosen) {
                const uint8_t one = static_cast<uint8_t>(type);
                char offered[160];
                describe_security_types(&one, 1, offered, sizeof offered);
                return vnc_sec_fail(ctx, "No compatible RFB security type supported by server",
                                    "No compatible RFB security type: the server offers %s and "
                                    "the security option lists none of it",
                                    offered);
            }
        }
    } else {
        uint8_t count;
        if (in.read_u8(&count, kHandshakeTimeoutMs))
            return vnc_sec_read_failed(ctx, "Failed to read security types count",
                                       "the security types");
        if (count == 0) return refuse(ctx);
        uint8_t types[255];
        if (in.read(types, count, kHandshakeTimeoutMs))
            return vnc_sec_read_failed(ctx, nullptr, "the security types");
        for (uint32_t want : accepted) {
            for (int i = 0; i < count && !chosen; ++i)
                if (types[i] == offered_as(want)) chosen = types[i];
            if (chosen) break;
        }
        if (!chosen || !vnc_find_security(chosen)) {
            char offered[160];
            describe_security_types(types, count, offered, sizeof offered);
            return vnc_sec_fail(ctx, "No compatible RFB security type supported by server",
                                "No compatible RFB security type: the server offers %s%s",
                                offered,
                                ctx.listed ? "; add one of them to the security option" : "");
        }
        const uint8_t byte = static_cast<uint8_t>(chosen);
        if (vnc_sec_send(ctx, &byte, 1, "Failed to send chosen security type")) return -1;
        ctx.expect_result = ctx.version == 8;
    }
    const vnc_security_scheme *scheme = vnc_find_security(chosen);
    if (!inner && scheme->name[0]) vnc_sec_info(ctx, "type", scheme->name);
    return scheme->run(ctx);
}

int vnc_sec_send(vnc_sec_ctx &ctx, const void *data, size_t length, const char *error) {
    // Not cancelled by `running`, which is set only once the handshake is
    // done; bounded like every send.
    if (!ctx.reader) return 0;
    if (vnc_send_on(ctx.c, ctx.generation, false, data, length, nullptr, 0) == 0) return 0;
    ctx.error = error;
    return -1;
}

int vnc_sec_fail(vnc_sec_ctx &ctx, const char *text, const char *fmt, ...) {
    char reason[kErrorTextSize];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(reason, sizeof reason, fmt, ap);
    va_end(ap);
    vnc_note_end(ctx.c, "%s", reason);
    ctx.error = text;
    return -1;
}

int vnc_sec_read_failed(vnc_sec_ctx &ctx, const char *text, const char *what) {
    if (!ctx.c->connect_go.load())
        vnc_note_end(ctx.c, "Connection attempt abandoned by vnc_disconnect");
    vnc_note_read_failure(ctx.c, what);
    ctx.error = text;
    return -1;
}

int vnc_sec_replace_transport(vnc_sec_ctx &ctx, vnc_transport_ptr next) {
    if (!next)
        return vnc_sec_fail(ctx, "Could not connect to VNC server",
                            "Out of memory setting up the connection's security layer");
    if (!ctx.reader)
        return vnc_sec_fail(ctx, "Server broke the security handshake", "No connection to secure");
    if (ctx.in->buffered())
        return vnc_sec_fail(ctx, "Server broke the security handshake",
                            "Server sent %lu bytes before its security layer began",
                            static_cast<unsigned long>(ctx.in->buffered()));
    std::lock_guard<std::mutex> g(ctx.c->send_lock);
    ctx.c->transport = std::move(next);
    ctx.reader->set_transport(ctx.c->transport.get());
    return 0;
}

vnc_transport_ptr vnc_sec_take_transport(vnc_sec_ctx &ctx) {
    std::lock_guard<std::mutex> g(ctx.c->send_lock);
    if (!ctx.reader) return nullptr;
    ctx.reader->set_transport(nullptr);
    return std::move(ctx.c->transport);
}

void vnc_sec_info(vnc_sec_ctx &ctx, const char *key, const char *value) {
    vnc_client *c = ctx.c;
    std::lock_guard<std::mutex> g(c->info_lock);
    const size_t used = std::strlen(c->security_info);
    std::snprintf(c->security_info + used, sizeof c->security_info - used, "%s: %s\n", key, value);
}

extern "C" VNC_API int vnc_get_security_info(vnc_client_t *c, char *buf, int size) {
    if (!c) return -1;
    std::lock_guard<std::mutex> g(c->info_lock);
    return vnc_copy_text_out(c->security_info, std::strlen(c->security_info), buf, size);
}
