// TLS through GnuTLS. The socket stays non-blocking from GnuTLS's side (its
// pull and push never wait), so every wait is ours: bounded, cancellable,
// and never on the socket while GnuTLS holds decrypted bytes.
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "vnc_client_internal.h"
#include "vnc_tls.h"

namespace {

using clock_type = std::chrono::steady_clock;

// How long a close waits for room to send its close_notify.
constexpr int kCloseNotifyMs = 1000;

class gnutls_transport final : public vnc_transport {
public:
    explicit gnutls_transport(vnc_socket_t sock) : vnc_transport(sock) {}
    ~gnutls_transport() override {
        if (session_) gnutls_deinit(session_);
        if (x509_) gnutls_certificate_free_credentials(x509_);
        if (anon_) gnutls_anon_free_client_credentials(anon_);
    }

    gnutls_session_t session_ = nullptr;
    gnutls_certificate_credentials_t x509_ = nullptr;
    gnutls_anon_client_credentials_t anon_ = nullptr;

    // Set up the session over the socket; a GnuTLS code.
    int init(bool anonymous, const char *server_name, const char *ca_file, const char **what) {
        int r = gnutls_init(&session_, GNUTLS_CLIENT | GNUTLS_NONBLOCK);
        if (r < 0) return r;
        if (anonymous) {
            r = gnutls_anon_allocate_client_credentials(&anon_);
            if (r < 0) return r;
            r = gnutls_credentials_set(session_, GNUTLS_CRD_ANON, anon_);
            if (r < 0) return r;
            // VNC servers' anonymous TLS: (EC)DH without certificates.
            r = gnutls_priority_set_direct(
                session_, "NORMAL:-VERS-TLS-ALL:+VERS-TLS1.2:-KX-ALL:+ANON-ECDH:+ANON-DH", nullptr);
            if (r < 0) return r;
        } else {
            r = gnutls_certificate_allocate_credentials(&x509_);
            if (r < 0) return r;
            if (ca_file && ca_file[0]) {
                r = gnutls_certificate_set_x509_trust_file(x509_, ca_file, GNUTLS_X509_FMT_PEM);
                if (r <= 0) {
                    *what = "ca";
                    return r < 0 ? r : GNUTLS_E_FILE_ERROR;
                }
            } else {
                // No system store is no error: only a pin or tls-verify=off
                // can then accept the server.
                gnutls_certificate_set_x509_system_trust(x509_);
            }
            r = gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, x509_);
            if (r < 0) return r;
            r = gnutls_priority_set_direct(
                session_, "NORMAL:-VERS-TLS-ALL:+VERS-TLS1.3:+VERS-TLS1.2", nullptr);
            if (r < 0) return r;
            if (server_name[0] && !vnc_tls_is_ip_address(server_name))
                gnutls_server_name_set(session_, GNUTLS_NAME_DNS, server_name,
                                       std::strlen(server_name));
        }
        gnutls_transport_set_ptr(session_, this);
        gnutls_transport_set_pull_function(session_, pull);
        gnutls_transport_set_push_function(session_, push);
        return 0;
    }

    // The handshake, each wait bounded by the deadline and cancelled by
    // *cancel. 0, or a GnuTLS code (GNUTLS_E_TIMEDOUT, GNUTLS_E_INTERRUPTED
    // for a cancel).
    int handshake(clock_type::time_point deadline, const std::atomic<int> *cancel) {
        for (;;) {
            const int r = gnutls_handshake(session_);
            if (r == 0) return 0;
            if (r != GNUTLS_E_AGAIN && r != GNUTLS_E_INTERRUPTED) {
                if (gnutls_error_is_fatal(r)) return r;
                continue;  // a warning alert
            }
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_type::now()).count();
            const int ms = static_cast<int>(std::clamp<long long>(
                std::min<long long>(left, kHandshakeTimeoutMs), 0, 1 << 30));
            const int w = gnutls_record_get_direction(session_)
                              ? vnc_sock_wait_writable(sock_, ms, cancel)
                              : vnc_sock_wait_readable(sock_, ms, cancel);
            if (w == 0) return GNUTLS_E_TIMEDOUT;
            if (w < 0) return cancel && !cancel->load() ? GNUTLS_E_INTERRUPTED : GNUTLS_E_PULL_ERROR;
        }
    }

    size_t pending() const override {
        std::lock_guard<std::mutex> g(record_lock_);
        return gnutls_record_check_pending(session_);
    }
    bool receive_blocks() const override { return false; }

    long recv_some(void *buffer, size_t max) override {
        ssize_t r;
        {
            std::lock_guard<std::mutex> g(record_lock_);
            r = gnutls_record_recv(session_, buffer, max);
        }
        if (r >= 0) return static_cast<long>(r);
        if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED) return kAgain;
        // A server that ends the TCP stream without close_notify has ended
        // it all the same (every VNC server does).
        if (r == GNUTLS_E_PREMATURE_TERMINATION) return 0;
        if (!gnutls_error_is_fatal(static_cast<int>(r))) return kAgain;
        recv_error_ = r == GNUTLS_E_PULL_ERROR && pull_errno_ ? pull_errno_ : static_cast<int>(r);
        return -1;
    }

    int send_all(const void *data, size_t length, const std::atomic<int> *cancel,
                 int stall_ms) override {
        const char *p = static_cast<const char *>(data);
        auto last_progress = clock_type::now();
        uint64_t pushed = pushed_;
        while (length > 0) {
            ssize_t r;
            {
                std::lock_guard<std::mutex> g(record_lock_);
                r = gnutls_record_send(session_, p, length);
            }
            if (pushed_ != pushed) {
                pushed = pushed_;
                last_progress = clock_type::now();
            }
            if (r > 0) {
                p += r;
                length -= static_cast<size_t>(r);
                record_open_ = false;
                continue;
            }
            if (r != GNUTLS_E_AGAIN && r != GNUTLS_E_INTERRUPTED) {
                record_open_ = true;
                send_error_ =
                    r == GNUTLS_E_PUSH_ERROR && push_errno_ ? push_errno_ : static_cast<int>(r);
                return -1;
            }
            // A record is part-way out: GnuTLS is called again with the
            // same bytes once there is room.
            record_open_ = true;
            const int slice = vnc_stall_left_ms(stall_ms, last_progress);
            if (slice == 0) return -2;
            const int w = vnc_sock_wait_writable(sock_, slice, cancel);
            if (w < 0) {
                send_error_ = ECANCELED;
                return -1;
            }
        }
        return 0;
    }

    void end_stream(bool reader_active) override {
        // GnuTLS closes no session beside a receive in another thread; the
        // close calls again once the worker is gone.
        if (reader_active) return;
        // After a record cut short, an alert would only be garbage to the
        // server: the half-close alone ends the stream.
        if (!closed_ && !record_open_) {
            closed_ = true;
            const auto until = clock_type::now() + std::chrono::milliseconds(kCloseNotifyMs);
            for (;;) {
                const int r = gnutls_bye(session_, GNUTLS_SHUT_WR);
                if (r != GNUTLS_E_AGAIN && r != GNUTLS_E_INTERRUPTED) break;
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                                      until - clock_type::now())
                                      .count();
                if (left <= 0 || vnc_sock_wait_writable(sock_, static_cast<int>(left), nullptr) <= 0)
                    break;
            }
        }
        vnc_sock_shutdown_send(sock_);
    }

    int recv_error() const override { return recv_error_; }
    int send_error() const override { return send_error_; }
    void error_text(int code, char *buf, size_t size) const override {
        if (code >= 0)
            vnc_sock_error_text(code, buf, size);
        else
            std::snprintf(buf, size, "TLS: %s", gnutls_strerror(code));
    }

private:
    static ssize_t pull(gnutls_transport_ptr_t ptr, void *data, size_t size) {
        auto *t = static_cast<gnutls_transport *>(ptr);
        const long r = vnc_sock_try_recv(t->sock_, data, size);
        if (r >= 0) return r;
        if (r == -2) {
            gnutls_transport_set_errno(t->session_, EAGAIN);
        } else {
            t->pull_errno_ = vnc_sock_last_error();
            gnutls_transport_set_errno(t->session_, EIO);
        }
        return -1;
    }
    static ssize_t push(gnutls_transport_ptr_t ptr, const void *data, size_t size) {
        auto *t = static_cast<gnutls_transport *>(ptr);
        const long r = vnc_sock_try_send(t->sock_, data, size);
        if (r >= 0) {
            t->pushed_ += static_cast<uint64_t>(r);
            return r;
        }
        if (r == -2) {
            gnutls_transport_set_errno(t->session_, EAGAIN);
        } else {
            t->push_errno_ = vnc_sock_last_error();
            gnutls_transport_set_errno(t->session_, EIO);
        }
        return -1;
    }

    // Receiving side (the worker), sending side (under the send lock).
    int recv_error_ = 0;
    int pull_errno_ = 0;
    int send_error_ = 0;
    int push_errno_ = 0;
    // Held across each record call, none of which waits: a TLS 1.3 key
    // update the server asks for is answered from inside a receive, and
    // must not interleave with a record the sending side is writing.
    mutable std::mutex record_lock_;
    std::atomic<uint64_t> pushed_{0};
    bool record_open_ = false;
    bool closed_ = false;
};

void format_time(time_t t, char *out, size_t size) {
    struct tm tm {};
    if (t == static_cast<time_t>(-1) || !gmtime_r(&t, &tm)) {
        std::snprintf(out, size, "unknown");
        return;
    }
    std::strftime(out, size, "%Y-%m-%d %H:%M:%S UTC", &tm);
}

using peer_cert = vnc_peer_cert;

void describe_cert(gnutls_x509_crt_t crt, peer_cert &out) {
    gnutls_datum_t dn{};
    if (gnutls_x509_crt_get_dn3(crt, &dn, 0) == 0) {
        std::snprintf(out.subject, sizeof out.subject, "%.*s", static_cast<int>(dn.size),
                      reinterpret_cast<const char *>(dn.data));
        gnutls_free(dn.data);
    }
    if (gnutls_x509_crt_get_issuer_dn3(crt, &dn, 0) == 0) {
        std::snprintf(out.issuer, sizeof out.issuer, "%.*s", static_cast<int>(dn.size),
                      reinterpret_cast<const char *>(dn.data));
        gnutls_free(dn.data);
    }
    format_time(gnutls_x509_crt_get_activation_time(crt), out.not_before, sizeof out.not_before);
    format_time(gnutls_x509_crt_get_expiration_time(crt), out.not_after, sizeof out.not_after);
    uint8_t digest[32];
    size_t len = sizeof digest;
    if (gnutls_x509_crt_get_fingerprint(crt, GNUTLS_DIG_SHA256, digest, &len) == 0 && len == 32)
        for (size_t i = 0; i < 32; ++i)
            std::snprintf(out.sha256 + 2 * i, 3, "%02x", digest[i]);
}

int fail_tls(vnc_sec_ctx &ctx, gnutls_transport &t, int code) {
    if (code == GNUTLS_E_INTERRUPTED || !ctx.c->connect_go.load()) {
        vnc_note_end(ctx.c, "Connection attempt abandoned by vnc_disconnect");
        ctx.error = "Connection attempt abandoned";
        return -1;
    }
    if (code == GNUTLS_E_TIMEDOUT)
        return vnc_sec_fail(ctx, "TLS handshake failed", "Timed out in the TLS handshake");
    if (code == GNUTLS_E_FATAL_ALERT_RECEIVED)
        return vnc_sec_fail(ctx, "TLS handshake failed",
                            "TLS handshake failed: the server sent the alert \"%s\"",
                            gnutls_alert_get_name(gnutls_alert_get(t.session_)));
    if (code == GNUTLS_E_PREMATURE_TERMINATION || code == GNUTLS_E_PULL_ERROR)
        return vnc_sec_fail(ctx, "TLS handshake failed",
                            "Server closed the connection in the TLS handshake");
    if (code == GNUTLS_E_NO_PRIORITIES_WERE_SET || code == GNUTLS_E_UNKNOWN_CIPHER_SUITE ||
        code == GNUTLS_E_INSUFFICIENT_CREDENTIALS)
        return vnc_sec_fail(ctx, "TLS handshake failed",
                            "TLS handshake failed: the server and this client share no cipher "
                            "suite (%s)",
                            gnutls_strerror(code));
    return vnc_sec_fail(ctx, "TLS handshake failed", "TLS handshake failed: %s",
                        gnutls_strerror(code));
}

// Checks the server's certificate against the host's options; records the
// certificate's lines and the verdict. 0 accepted, -1 refused (noted).
int check_certificate(vnc_sec_ctx &ctx, gnutls_transport &t, const char *server_name) {
    unsigned count = 0;
    const gnutls_datum_t *chain = gnutls_certificate_get_peers(t.session_, &count);
    if (!chain || count == 0) {
        vnc_sec_info(ctx, "verification", "no certificate");
        return vnc_sec_fail(ctx, "Server sent no certificate",
                            "Server sent no certificate in the TLS handshake");
    }
    gnutls_x509_crt_t crt;
    if (gnutls_x509_crt_init(&crt) < 0)
        return vnc_sec_fail(ctx, "Could not connect to VNC server",
                            "Out of memory checking the server's certificate");
    peer_cert pc;
    const bool parsed = gnutls_x509_crt_import(crt, &chain[0], GNUTLS_X509_FMT_DER) == 0;
    if (parsed) describe_cert(crt, pc);
    bool name_ok = parsed && gnutls_x509_crt_check_hostname2(crt, server_name, 0) != 0;
    gnutls_x509_crt_deinit(crt);
    vnc_tls_describe(ctx, pc);
    if (!parsed) {
        vnc_sec_info(ctx, "verification", "certificate could not be read");
        return vnc_sec_fail(ctx, "Server certificate could not be read",
                            "Server certificate could not be read (sha256:%s)", pc.sha256);
    }

    // A pin decides alone, whatever the CA says.
    if (const int pinned = vnc_tls_pin_verdict(ctx, pc); pinned <= 0) return pinned;

    unsigned status = 0;
    if (gnutls_certificate_verify_peers2(t.session_, &status) < 0)
        status = GNUTLS_CERT_INVALID | GNUTLS_CERT_SIGNER_NOT_FOUND;
    vnc_cert_fault fault = vnc_cert_fault::none;
    char reason[kErrorTextSize] = "";
    if (status & (GNUTLS_CERT_SIGNER_NOT_FOUND | GNUTLS_CERT_SIGNER_NOT_CA)) {
        fault = vnc_cert_fault::unknown_issuer;
    } else if (status & GNUTLS_CERT_EXPIRED) {
        fault = vnc_cert_fault::expired;
    } else if (status & GNUTLS_CERT_NOT_ACTIVATED) {
        fault = vnc_cert_fault::not_yet_valid;
    } else if (status != 0) {
        fault = vnc_cert_fault::invalid;
        gnutls_datum_t out{};
        char detail[256] = "invalid";
        if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &out, 0) == 0) {
            std::snprintf(detail, sizeof detail, "%s", reinterpret_cast<const char *>(out.data));
            gnutls_free(out.data);
        }
        std::snprintf(reason, sizeof reason, "Server certificate refused: %s (sha256:%s)", detail,
                      pc.sha256);
    } else if (!name_ok) {
        fault = vnc_cert_fault::name_mismatch;
    }
    return vnc_tls_cert_verdict(ctx, pc, fault, reason, server_name);
}

}  // namespace

bool vnc_tls_available() { return true; }

int vnc_tls_start(vnc_sec_ctx &ctx, const vnc_tls_config &config) {
    vnc_client_t *c = ctx.c;
    const vnc_options &o = c->conn;
    // Bytes from memory (the fuzzer): TLS would begin here.
    if (!ctx.reader)
        return vnc_sec_fail(ctx, "TLS handshake failed", "No connection for the TLS handshake");
    const char *server_name = o.tls_server_name.empty() ? ctx.host : o.tls_server_name.c_str();
    vnc_transport_ptr made(vnc_new<gnutls_transport>(c->sock));
    auto *t = static_cast<gnutls_transport *>(made.get());
    if (!t)
        return vnc_sec_fail(ctx, "Could not connect to VNC server",
                            "Out of memory setting up TLS");
    const char *what = "";
    int r = t->init(config.anonymous, server_name, o.tls_ca_file.c_str(), &what);
    if (r < 0) {
        if (std::strcmp(what, "ca") == 0)
            return vnc_sec_fail(ctx, "Could not read the CA certificates of tls-ca-file",
                                "Could not read CA certificates from \"%.200s\" (tls-ca-file): %s",
                                o.tls_ca_file.c_str(),
                                r == GNUTLS_E_FILE_ERROR ? "no certificate in it"
                                                         : gnutls_strerror(r));
        return vnc_sec_fail(ctx, "TLS could not be set up", "TLS could not be set up: %s",
                            gnutls_strerror(r));
    }
    if (ctx.in->buffered())
        return vnc_sec_fail(ctx, "Server broke the security handshake",
                            "Server sent %lu bytes before the TLS handshake",
                            static_cast<unsigned long>(ctx.in->buffered()));
    r = t->handshake(ctx.deadline, &c->connect_go);
    if (r < 0) return fail_tls(ctx, *t, r);

    char version[32];
    std::snprintf(version, sizeof version, "%s",
                  gnutls_protocol_get_name(gnutls_protocol_get_version(t->session_)));
    vnc_sec_info(ctx, "tls-version", version);
    if (char *desc = gnutls_session_get_desc(t->session_)) {
        // "(TLS1.2)-(ANON-ECDH-SECP256R1)-(AES-256-CBC)-(SHA1)" without the version.
        const char *p = desc;
        if (*p == '(')
            if (const char *dash = std::strstr(p, ")-")) p = dash + 2;
        vnc_sec_info(ctx, "tls-cipher", p);
        gnutls_free(desc);
    }
    if (!config.anonymous && check_certificate(ctx, *t, server_name)) return -1;
    return vnc_sec_replace_transport(ctx, std::move(made));
}
