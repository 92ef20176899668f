// libFuzzer target: the security negotiation from the server's side of the
// stream, up to where TLS would begin (types or a 3.3 type word, VeNCrypt's
// version, answers and subtype list, the VNC challenge, Plain). The input's
// first byte picks the RFB version (bits 0-1: 3.3, 3.7, 3.8) and the host's
// security list (bits 2-4); the rest is what the server sends. Sends go
// nowhere.
#include <cstring>

#include "vnc_client_internal.h"
#include "vnc_security.h"
#ifdef QV_HAVE_GCRYPT
#include "vnc_crypto.h"
#endif

namespace {
const char *const kLists[8] = {
    nullptr,  // default: None and VNC authentication
    "x509vnc,x509plain,x509none,tlsvnc,tlsplain,tlsnone,anontls,plain,vncauth,none"
#ifdef QV_HAVE_GCRYPT
    // The schemes of libgcrypt's: chosen here, their messages up to the
    // frames (which need a connection); the sec-* targets go deeper.
    ",ra2-256,ra2,ra2ne-256,ra2ne,dh,mslogon2"
#endif
    ,
    "plain,tlsplain,x509plain",
    "x509none,x509vnc",
    "anontls,vncauth,none",
    "tlsnone,plain",
    "vncauth",
    "none,vncauth,plain",
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
#ifdef QV_HAVE_GCRYPT
    // RSA-AES makes a key per connection: one per process here.
    vnc_rsa_reuse_key_for_testing(true);
#endif
    vnc_client_t *c = vnc_create();
    if (!c) return 0;
    const char *list = kLists[(data[0] >> 2) & 7];
    if (list) vnc_set_option(c, "security", list);
    vnc_set_option(c, "username", "fuzz");
    c->conn = c->options;
    vnc_memory_reader in(data + 1, size - 1);
    vnc_sec_ctx ctx;
    ctx.c = c;
    ctx.in = &in;
    static const int kVersions[4] = {3, 7, 8, 8};
    ctx.version = kVersions[data[0] & 3];
    ctx.host = "127.0.0.1";
    ctx.password = (data[0] & 0x20) ? "password" : nullptr;
    if (!c->conn.security.empty()) {
        ctx.accepted = c->conn.security;
        ctx.listed = true;
    } else {
        ctx.accepted = ctx.password ? std::vector<uint32_t>{kSecVncAuth, kSecNone}
                                    : std::vector<uint32_t>{kSecNone, kSecVncAuth};
    }
    vnc_sec_negotiate(ctx, false);
    char info[kSecurityInfoSize];
    vnc_get_security_info(c, info, sizeof info);
    vnc_destroy(c);
    return 0;
}
