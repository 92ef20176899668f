// The verdict on a server's certificate once a TLS backend has checked it:
// the lines the host is shown, tls-pin, the refusal texts and tls-verify.
#include <cstdio>
#include <cstring>

#include "vnc_client_internal.h"
#include "vnc_tls.h"

bool vnc_tls_is_ip_address(const char *name) {
    if (std::strchr(name, ':')) return true;
    bool digit = false;
    for (const char *p = name; *p; ++p) {
        if (*p >= '0' && *p <= '9')
            digit = true;
        else if (*p != '.')
            return false;
    }
    return digit;
}

void vnc_tls_describe(vnc_sec_ctx &ctx, const vnc_peer_cert &pc) {
    vnc_sec_info(ctx, "subject", pc.subject);
    vnc_sec_info(ctx, "issuer", pc.issuer);
    vnc_sec_info(ctx, "not-before", pc.not_before);
    vnc_sec_info(ctx, "not-after", pc.not_after);
    vnc_sec_info(ctx, "sha256", pc.sha256);
}

int vnc_tls_pin_verdict(vnc_sec_ctx &ctx, const vnc_peer_cert &pc) {
    const vnc_options &o = ctx.c->conn;
    if (o.tls_pin.empty()) return 1;
    if (o.tls_pin == pc.sha256) {
        vnc_sec_info(ctx, "verification", "ok (pinned)");
        return 0;
    }
    vnc_sec_info(ctx, "verification", "pin mismatch");
    return vnc_sec_fail(
        ctx,
        "Server certificate refused: its fingerprint is not the pinned one. If the server's "
        "certificate was replaced on purpose, pin the new fingerprint (tls-pin); otherwise "
        "do not connect",
        "Server certificate refused: its fingerprint sha256:%s is not the pinned sha256:%s "
        "(tls-pin). If the server's certificate was replaced on purpose, pin the new "
        "fingerprint; otherwise someone may be between you and the server",
        pc.sha256, o.tls_pin.c_str());
}

int vnc_tls_cert_verdict(vnc_sec_ctx &ctx, const vnc_peer_cert &pc, vnc_cert_fault fault,
                         const char *invalid_reason, const char *server_name) {
    const char *why = nullptr, *text = nullptr;
    char reason[kErrorTextSize];
    switch (fault) {
    case vnc_cert_fault::none: break;
    case vnc_cert_fault::unknown_issuer:
        why = "unknown issuer";
        text = "Server certificate refused: it is issued by an authority this client does not "
               "trust. Give the issuing CA's certificate with tls-ca-file, or check the "
               "fingerprint and pin it with tls-pin";
        std::snprintf(reason, sizeof reason,
                      "Server certificate refused: issued by an unknown authority (issuer %.120s; "
                      "sha256:%s). Give the CA certificate with tls-ca-file, or pin it with "
                      "tls-pin sha256:%s once you have checked the fingerprint",
                      pc.issuer, pc.sha256, pc.sha256);
        break;
    case vnc_cert_fault::expired:
        why = "expired";
        text = "Server certificate refused: it has expired. Renew the server's certificate "
               "(or correct this machine's clock)";
        std::snprintf(reason, sizeof reason,
                      "Server certificate refused: it expired at %s (sha256:%s). Renew the "
                      "server's certificate, or correct this machine's clock",
                      pc.not_after, pc.sha256);
        break;
    case vnc_cert_fault::not_yet_valid:
        why = "not yet valid";
        text = "Server certificate refused: it is not valid yet. Check this machine's clock";
        std::snprintf(reason, sizeof reason,
                      "Server certificate refused: it is valid only from %s (sha256:%s). Check "
                      "this machine's clock",
                      pc.not_before, pc.sha256);
        break;
    case vnc_cert_fault::invalid:
        why = "invalid";
        text = "Server certificate refused: it is not valid. Replace the server's certificate";
        std::snprintf(reason, sizeof reason, "%s", invalid_reason ? invalid_reason : "");
        break;
    case vnc_cert_fault::name_mismatch:
        why = "name mismatch";
        text = "Server certificate refused: it is not for the host connected to. Connect by a "
               "name the certificate carries, or set tls-server-name to it";
        std::snprintf(reason, sizeof reason,
                      "Server certificate refused: it is not for \"%.100s\" (subject %.120s; "
                      "sha256:%s). Connect by a name the certificate carries, or set "
                      "tls-server-name to it",
                      server_name, pc.subject, pc.sha256);
        break;
    }
    if (!why) {
        vnc_sec_info(ctx, "verification", "ok");
        return 0;
    }
    if (!ctx.c->conn.tls_verify) {
        char off[96];
        std::snprintf(off, sizeof off, "not checked (tls-verify off; %s)", why);
        vnc_sec_info(ctx, "verification", off);
        return 0;
    }
    vnc_sec_info(ctx, "verification", why);
    return vnc_sec_fail(ctx, text, "%s", reason);
}
