// TLS over loopback against a GnuTLS server in the test: VeNCrypt X509None
// with certificates the test makes with certtool (a CA, a server
// certificate for 127.0.0.1, one for another name, an expired one and a
// self-signed one), each verdict of the host's options, anonymous TLS with
// the inner negotiation, input through TLS and the clean close.
#include <gtest/gtest.h>
#include <gnutls/gnutls.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "vnc_client_internal.h"

namespace {

struct Certs {
    std::string dir;
    bool ok = false;
    std::string path(const std::string &f) const { return dir + "/" + f; }
};

bool write_file(const std::string &path, const std::string &text) {
    std::ofstream f(path);
    f << text;
    return static_cast<bool>(f);
}

bool run(const std::string &cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// ca.pem; good (127.0.0.1 by the CA), other (another name), old (expired),
// self (self-signed): each NAME.pem with NAME.key.
const Certs &certs() {
    static Certs c = [] {
        Certs made;
        char tmpl[] = "/tmp/qv-tls-XXXXXX";
        if (!mkdtemp(tmpl)) return made;
        made.dir = tmpl;
        const std::string d = made.dir + "/";
        if (!run("command -v certtool")) return made;
        write_file(d + "ca.tmpl", "cn = \"Test CA\"\nca\ncert_signing_key\nexpiration_days = 30\n");
        const std::string server = "tls_www_server\nencryption_key\nsigning_key\n";
        write_file(d + "good.tmpl", "cn = \"vnc\"\nip_address = \"127.0.0.1\"\nexpiration_days = 30\n" + server);
        write_file(d + "other.tmpl", "cn = \"other.example\"\ndns_name = \"other.example\"\nexpiration_days = 30\n" + server);
        write_file(d + "old.tmpl", "cn = \"vnc\"\nip_address = \"127.0.0.1\"\n"
                                   "activation_date = \"2020-01-01 00:00:00\"\n"
                                   "expiration_date = \"2021-01-01 00:00:00\"\n" + server);
        write_file(d + "self.tmpl", "cn = \"vnc\"\nip_address = \"127.0.0.1\"\nexpiration_days = 30\n" + server);
        bool ok = run("certtool --generate-privkey --key-type=ecdsa --outfile " + d + "ca.key") &&
                  run("certtool --generate-self-signed --load-privkey " + d + "ca.key --template " +
                      d + "ca.tmpl --outfile " + d + "ca.pem");
        for (const char *n : {"good", "other", "old", "self"}) {
            const std::string k = d + n + ".key", p = d + n + ".pem", t = d + n + ".tmpl";
            ok = ok && run("certtool --generate-privkey --key-type=ecdsa --outfile " + k);
            if (std::string(n) == "self")
                ok = ok && run("certtool --generate-self-signed --load-privkey " + k + " --template " +
                               t + " --outfile " + p);
            else
                ok = ok && run("certtool --generate-certificate --load-privkey " + k +
                               " --load-ca-certificate " + d + "ca.pem --load-ca-privkey " + d +
                               "ca.key --template " + t + " --outfile " + p);
        }
        made.ok = ok;
        return made;
    }();
    return c;
}

std::string fingerprint(const std::string &pem_path) {
    gnutls_datum_t pem{}, der{};
    if (gnutls_load_file(pem_path.c_str(), &pem) < 0) return "";
    gnutls_pem_base64_decode2("CERTIFICATE", &pem, &der);
    unsigned char digest[32];
    size_t len = sizeof digest;
    gnutls_datum_t d = der;
    std::string hex;
    if (gnutls_fingerprint(GNUTLS_DIG_SHA256, &d, digest, &len) == 0)
        for (size_t i = 0; i < len; ++i) {
            char b[3];
            std::snprintf(b, sizeof b, "%02x", digest[i]);
            hex += b;
        }
    gnutls_free(pem.data);
    gnutls_free(der.data);
    return hex;
}

bool send_all(int fd, const std::vector<uint8_t> &b) {
    return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
}
bool recv_all(int fd, size_t n, std::vector<uint8_t> *out = nullptr) {
    std::vector<uint8_t> b(n);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::recv(fd, b.data() + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    if (out) *out = b;
    return true;
}
bool tls_read(gnutls_session_t s, size_t n, std::vector<uint8_t> *out = nullptr) {
    std::vector<uint8_t> b(n);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = gnutls_record_recv(s, b.data() + got, n - got);
        if (r == GNUTLS_E_INTERRUPTED) continue;  // AGAIN: the 5 s receive limit
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    if (out) *out = b;
    return true;
}
bool tls_write(gnutls_session_t s, const std::vector<uint8_t> &b) {
    return gnutls_record_send(s, b.data(), b.size()) == static_cast<ssize_t>(b.size());
}

// One client: the RFB greeting, VeNCrypt X509None (or type 18 with None
// inside), the TLS handshake with cert/key (null: anonymous), then over
// TLS the SecurityResult, ServerInit, the set-up messages, and what the
// test asks for.
struct TlsServer {
    vnc_socket_t listener = VNC_INVALID_SOCKET;
    int port = 0;
    std::thread thread;
    // What happened, for the test.
    bool handshake_done = false;
    bool session_done = false;
    bool key_arrived = false;
    bool clean_close = false;     // close_notify after the session
    long after_refusal = -1;      // bytes (decrypted) that came after a refused handshake

    TlsServer(const std::string &cert, const std::string &key, bool anon_type18) {
        vnc_sock_listen_loopback(0, &listener);
        port = vnc_sock_local_port(listener);
        thread = std::thread([=] { serve(cert, key, anon_type18); });
    }
    ~TlsServer() {
        if (thread.joinable()) thread.join();
        vnc_sock_close(listener);
    }
    void join() {
        if (thread.joinable()) thread.join();
    }

    void serve(const std::string &cert, const std::string &key, bool anon) {
        if (vnc_sock_wait_readable(listener, 10000, nullptr) <= 0) return;
        const int fd = static_cast<int>(vnc_sock_accept(listener));
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const std::string greeting = "RFB 003.008\n";
        bool ok = send_all(fd, {greeting.begin(), greeting.end()}) && recv_all(fd, 12);
        if (anon) {
            ok = ok && send_all(fd, {1, 18}) && recv_all(fd, 1);
        } else {
            ok = ok && send_all(fd, {1, 19}) && recv_all(fd, 1) && send_all(fd, {0, 2}) &&
                 recv_all(fd, 2) && send_all(fd, {0, 1, 0, 0, 1, 4}) && recv_all(fd, 4) &&
                 send_all(fd, {1});
        }
        gnutls_session_t s;
        gnutls_certificate_credentials_t x509 = nullptr;
        gnutls_anon_server_credentials_t acred = nullptr;
        gnutls_init(&s, GNUTLS_SERVER);
        if (anon) {
            gnutls_anon_allocate_server_credentials(&acred);
            gnutls_credentials_set(s, GNUTLS_CRD_ANON, acred);
            gnutls_priority_set_direct(s, "NORMAL:+ANON-ECDH", nullptr);
        } else {
            gnutls_certificate_allocate_credentials(&x509);
            gnutls_certificate_set_x509_key_file(x509, cert.c_str(), key.c_str(),
                                                 GNUTLS_X509_FMT_PEM);
            gnutls_credentials_set(s, GNUTLS_CRD_CERTIFICATE, x509);
            gnutls_priority_set_direct(s, "NORMAL", nullptr);
        }
        gnutls_transport_set_int(s, fd);
        int r = GNUTLS_E_INTERRUPTED;
        while (ok && r == GNUTLS_E_INTERRUPTED) r = gnutls_handshake(s);
        handshake_done = ok && r == 0;
        if (handshake_done) {
            if (anon) ok = tls_write(s, {1, 1}) && tls_read(s, 1);  // the inner choice: None
            std::vector<uint8_t> init = {0, 0, 0, 0,                // SecurityResult
                                         0, 64, 0, 48,              // 64 x 48
                                         32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0,
                                         0, 0, 0, 4};               // the name's length
            for (char ch : std::string("desk")) init.push_back(static_cast<uint8_t>(ch));
            // SecurityResult and ServerInit in one record, then the client's
            // ClientInit and set-up messages.
            ok = ok && tls_write(s, init);
            std::vector<uint8_t> first;
            if (ok && tls_read(s, 1, &first)) {
                session_done = tls_read(s, 20 + 28 + 10);
                std::vector<uint8_t> keys;
                key_arrived = session_done && tls_read(s, 16, &keys) && keys[0] == 4 &&
                              keys[7] == 0x61;
                if (key_arrived) {
                    char scratch[64];
                    ssize_t n;
                    do n = gnutls_record_recv(s, scratch, sizeof scratch);
                    while (n > 0 || n == GNUTLS_E_INTERRUPTED);
                    clean_close = n == 0;
                }
            } else {
                // A refused certificate: the client sends nothing more.
                char scratch[64];
                const ssize_t n = gnutls_record_recv(s, scratch, sizeof scratch);
                after_refusal = n > 0 ? n : 0;
            }
        }
        gnutls_deinit(s);
        if (x509) gnutls_certificate_free_credentials(x509);
        if (acred) gnutls_anon_free_server_credentials(acred);
        ::close(fd);
    }
};

}  // namespace

TEST(Tls, CertificateVerdictsOfTheHostsOptions) {
    const Certs &c = certs();
    if (!c.ok) GTEST_SKIP() << "certtool (gnutls-bin) is needed";
    const std::string good_fp = fingerprint(c.path("good.pem"));
    const std::string self_fp = fingerprint(c.path("self.pem"));
    ASSERT_EQ(64u, good_fp.size());
    struct Case {
        const char *name;
        const char *cert;  // NAME.pem / NAME.key
        std::vector<std::pair<std::string, std::string>> options;
        const char *verification;
        const char *error;  // null: accepted
    } cases[] = {
        {"ok by the CA, IP entry", "good", {{"tls-ca-file", c.path("ca.pem")}}, "ok", nullptr},
        {"unknown CA", "good", {}, "unknown issuer",
         "Server certificate refused: it is issued by an authority this client does not trust. "
         "Give the issuing CA's certificate with tls-ca-file, or check the fingerprint and pin it "
         "with tls-pin"},
        {"wrong name", "other", {{"tls-ca-file", c.path("ca.pem")}}, "name mismatch",
         "Server certificate refused: it is not for the host connected to. Connect by a name the "
         "certificate carries, or set tls-server-name to it"},
        {"the name asked for", "other",
         {{"tls-ca-file", c.path("ca.pem")}, {"tls-server-name", "other.example"}}, "ok", nullptr},
        {"expired", "old", {{"tls-ca-file", c.path("ca.pem")}}, "expired",
         "Server certificate refused: it has expired. Renew the server's certificate (or correct "
         "this machine's clock)"},
        {"self-signed, pinned", "self", {{"tls-pin", "sha256:" + self_fp}}, "ok (pinned)", nullptr},
        {"pin mismatch despite the CA", "good",
         {{"tls-ca-file", c.path("ca.pem")}, {"tls-pin", "sha256:" + self_fp}}, "pin mismatch",
         "Server certificate refused: its fingerprint is not the pinned one. If the server's "
         "certificate was replaced on purpose, pin the new fingerprint (tls-pin); otherwise do not "
         "connect"},
        {"verify off", "self", {{"tls-verify", "off"}}, "not checked (tls-verify off; unknown issuer)",
         nullptr},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        TlsServer server(c.path(std::string(k.cert) + ".pem"), c.path(std::string(k.cert) + ".key"),
                         false);
        vnc_client_t *cl = vnc_create();
        ASSERT_EQ(0, vnc_set_option(cl, "security", "x509none"));
        for (const auto &o : k.options)
            ASSERT_EQ(0, vnc_set_option(cl, o.first.c_str(), o.second.c_str())) << o.first;
        const int r = vnc_connect(cl, "127.0.0.1", server.port, nullptr);
        char info[2048] = "", reason[512] = "";
        vnc_get_security_info(cl, info, sizeof info);
        const std::string fp = fingerprint(c.path(std::string(k.cert) + ".pem"));
        EXPECT_NE(std::string::npos, std::string(info).find("sha256: " + fp + "\n")) << info;
        EXPECT_NE(std::string::npos,
                  std::string(info).find(std::string("verification: ") + k.verification + "\n"))
            << info;
        EXPECT_EQ(0u, std::string(info).find("type: x509none\ntls-version: TLS1.")) << info;
        if (k.error) {
            EXPECT_EQ(-1, r);
            EXPECT_STREQ(k.error, vnc_last_error());
            vnc_get_end_reason(cl, reason, sizeof reason);
            EXPECT_NE(nullptr, std::strstr(reason, fp.c_str())) << reason;
            vnc_destroy(cl);
            server.join();
            EXPECT_TRUE(server.handshake_done);
            EXPECT_EQ(0, server.after_refusal) << "the client sent more after refusing";
        } else {
            ASSERT_EQ(0, r) << vnc_last_error();
            EXPECT_EQ(0, vnc_send_key(cl, 0x61, 1));
            EXPECT_EQ(0, vnc_send_key(cl, 0x61, 0));
            vnc_disconnect(cl);
            vnc_destroy(cl);
            server.join();
            EXPECT_TRUE(server.session_done);
            EXPECT_TRUE(server.key_arrived);
            EXPECT_TRUE(server.clean_close) << "no close_notify before the end";
        }
    }
}

// Type 18: anonymous TLS, then the security types again inside it.
TEST(Tls, AnonymousTlsRunsTheInnerNegotiation) {
    TlsServer server("", "", true);
    vnc_client_t *cl = vnc_create();
    ASSERT_EQ(0, vnc_set_option(cl, "security", "anontls"));
    ASSERT_EQ(0, vnc_connect(cl, "127.0.0.1", server.port, nullptr)) << vnc_last_error();
    char info[512] = "";
    vnc_get_security_info(cl, info, sizeof info);
    EXPECT_EQ(0u, std::string(info).find("type: anontls\ntls-version: TLS1.2\ntls-cipher: (ANON-"))
        << info;
    EXPECT_EQ(0, vnc_send_key(cl, 0x61, 1));
    EXPECT_EQ(0, vnc_send_key(cl, 0x61, 0));
    vnc_disconnect(cl);
    vnc_destroy(cl);
    server.join();
    EXPECT_TRUE(server.key_arrived);
    EXPECT_TRUE(server.clean_close);
}
