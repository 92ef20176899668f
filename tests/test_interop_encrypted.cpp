// Encrypted connections to real servers, with certificates made by the test
// (interop_certs.h): QEMU's VNC server with tls-creds-x509 and
// tls-creds-anon, x11vnc -ssl (anonymous TLS and VeNCrypt) and wayvnc with
// a user and password (X509Plain). Each picture equals the server's own,
// keys reach QEMU's machine, and each refused certificate fails the connect
// naming why and with its fingerprint, before the password goes out.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "interop_certs.h"
#include "interop_client.h"
#include "interop_peers.h"
#include "interop_servers.h"

namespace {

using namespace interop;

using Options = std::vector<std::pair<std::string, std::string>>;

// The certificates, made once for every test of this program.
const Certificates &certs() {
    struct Made {
        TempDir dir;
        Certificates certs;
        std::string error;
        Made() {
            if (!certs.make(dir.path(), &error)) certs.ca.clear();
        }
    };
    static Made made;
    EXPECT_EQ(made.error, "");
    return made.certs;
}

// A handle with the options set (each must be taken).
ClientPtr client_with(const Options &options) {
    ClientPtr c(vnc_create());
    for (const auto &[name, value] : options)
        EXPECT_EQ(vnc_set_option(c.get(), name.c_str(), value.c_str()), 0)
            << name << "=" << value << ": " << vnc_last_error();
    return c;
}

std::map<std::string, std::string> security_info(vnc_client_t *c) {
    char text[4096] = {0};
    vnc_get_security_info(c, text, sizeof text);
    std::map<std::string, std::string> info;
    std::string all(text);
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        const std::string line = all.substr(at, end - at);
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) info[line.substr(0, colon)] = line.substr(colon + 2);
        at = end + 1;
    }
    return info;
}

std::string end_reason(vnc_client_t *c) {
    char reason[1024] = {0};
    vnc_get_end_reason(c, reason, sizeof reason);
    return reason;
}

// The fingerprint as hex alone, however the library writes it.
std::string hex_of(std::string text) {
    std::string hex;
    if (text.compare(0, 7, "sha256:") == 0) text.erase(0, 7);
    for (char ch : text)
        if (ch != ':') hex.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
    return hex;
}

size_t count(const std::string &text, const std::string &word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

// The handle shows what QEMU's screendump shows, once two dumps in a row
// agree; "" when it does.
std::string matches_screendump(vnc_client_t *c, Qemu &qemu) {
    Image last;
    Diff diff;
    std::string err;
    const bool ok = wait_until(
        [&] {
            Image now;
            if (!qemu.screendump(&now, &err)) return false;
            const bool still = !last.empty() && compare(now, last).count == 0;
            last = now;
            if (!still) return false;
            diff = compare(snapshot(c), now);
            return diff.count == 0;
        },
        Millis(30000), Millis(30));
    return ok ? "" : err.empty() ? diff.str() : err;
}

bool start_qemu(Qemu *qemu, const TempDir &dir, const std::string &cert, bool anon,
                const std::string &password, std::string *err) {
    QemuOptions o;
    o.tls_anon = anon;
    if (!cert.empty()) {
        o.tls_x509_dir = dir.file("x509");
        if (!certs().qemu_dir(cert, o.tls_x509_dir, err)) return false;
    }
    o.password_secret = password;
    return qemu->start(dir.path(), "quenvira-tls", err, o);
}

class Encrypted : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have_certtool()) GTEST_SKIP() << "certtool is not installed (gnutls-bin)";
        ASSERT_FALSE(certs().ca.empty());
    }
};

// Each subtype QEMU offers, alone: the picture, a key reaching the machine,
// and what was negotiated.
TEST_F(Encrypted, QemuSubtypes) {
    struct Row {
        const char *type;
        bool x509;
        const char *password;
    };
    const Row rows[] = {{"x509none", true, nullptr},
                        {"x509vnc", true, "qvpass12"},
                        {"tlsnone", false, nullptr},
                        {"tlsvnc", false, "qvpass12"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.type);
        TempDir dir;
        Qemu qemu;
        std::string err;
        ASSERT_TRUE(start_qemu(&qemu, dir, row.x509 ? certs().cert : "", !row.x509,
                               row.password ? row.password : "", &err))
            << err;
        ClientPtr c = client_with({{"security", row.type}, {"tls-ca-file", certs().ca}});
        ASSERT_EQ(vnc_connect(c.get(), "127.0.0.1", qemu.port(), row.password), 0)
            << vnc_last_error() << ": " << end_reason(c.get()) << "\n" << tail_lines(qemu.trace(), 20);
        const auto info = security_info(c.get());
        EXPECT_EQ(info.count("type") ? info.at("type") : "", row.type);
        EXPECT_NE(info.count("tls-version") ? info.at("tls-version") : "", "");
        if (row.x509) {
            EXPECT_EQ(info.count("verification") ? info.at("verification") : "", "ok");
            EXPECT_EQ(hex_of(info.count("sha256") ? info.at("sha256") : ""),
                      hex_of(Certificates::pin(certs().cert)));
        }
        EXPECT_EQ(matches_screendump(c.get(), qemu), "");
        ASSERT_EQ(vnc_send_key(c.get(), 0xffc6 /* F9 */, 1), 0);
        ASSERT_EQ(vnc_send_key(c.get(), 0xffc6, 0), 0);
        EXPECT_TRUE(wait_until([&] { return count(qemu.trace(), "qcode f9, down 0") == 1; },
                               Millis(10000)))
            << tail_lines(qemu.trace(), 10);
        if (row.password) {
            EXPECT_EQ(count(qemu.trace(), "vnc_auth_pass"), 1u);
        }
        EXPECT_EQ(vnc_disconnect(c.get()), 0);
    }
}

// Certificates the host must refuse, each from a QEMU asking for a VNC
// password (X509Vnc): the connect fails naming why, with the fingerprint,
// the certificate stays readable, and QEMU never sees an answer to its
// challenge. The same self-signed certificate pinned gets in.
TEST_F(Encrypted, QemuRefusalsAndAPinnedSelfSignedCertificate) {
    const Certificates &k = certs();
    const std::string zero_pin = "sha256:" + std::string(64, '0');
    struct Row {
        const char *what;
        std::string cert;
        Options options;
        std::string reason;        // what the end reason says
        const char *verification;  // what the security info says
    };
    const Row rows[] = {
        {"unknown CA", k.cert, {}, "issued by an unknown authority", "unknown issuer"},
        {"wrong name", k.wrong_name, {{"tls-ca-file", k.ca}}, "it is not for \"127.0.0.1\"",
         "name mismatch"},
        {"expired", k.expired, {{"tls-ca-file", k.ca}}, "it expired at 2020-01-02", "expired"},
        {"pin mismatch", k.cert, {{"tls-ca-file", k.ca}, {"tls-pin", zero_pin}},
         "is not the pinned " + zero_pin, "pin mismatch"},
        {"self-signed", k.self_signed, {{"tls-ca-file", k.ca}}, "issued by an unknown authority",
         "unknown issuer"},
        {"self-signed, pinned", k.self_signed, {{"tls-pin", Certificates::pin(k.self_signed)}}, "",
         "ok (pinned)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        Qemu qemu;
        std::string err;
        ASSERT_TRUE(start_qemu(&qemu, dir, row.cert, false, "qvpass12", &err)) << err;
        Options options = row.options;
        options.insert(options.begin(), {"security", "x509vnc"});
        ClientPtr c = client_with(options);
        const int rc = vnc_connect(c.get(), "127.0.0.1", qemu.port(), "qvpass12");
        const auto info = security_info(c.get());
        const std::string served = hex_of(Certificates::pin(row.cert));
        EXPECT_EQ(hex_of(info.count("sha256") ? info.at("sha256") : ""), served);
        EXPECT_EQ(info.count("verification") ? info.at("verification") : "", row.verification);
        if (row.reason.empty()) {
            ASSERT_EQ(rc, 0) << vnc_last_error() << ": " << end_reason(c.get());
            EXPECT_EQ(matches_screendump(c.get(), qemu), "");
            EXPECT_EQ(count(qemu.trace(), "vnc_auth_pass"), 1u);
            continue;
        }
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_ERROR);
        const std::string reason = end_reason(c.get());
        EXPECT_NE(reason.find(row.reason), std::string::npos) << reason;
        EXPECT_NE(hex_of(reason).find(served), std::string::npos) << "no fingerprint in: " << reason;
        // QEMU saw the subtype chosen, then the client go, and no answer to
        // its challenge.
        EXPECT_TRUE(wait_until([&] { return count(qemu.trace(), "vnc_client_disconnect_finish") >= 1; },
                               Millis(10000)))
            << tail_lines(qemu.trace(), 20);
        const std::string trace = qemu.trace();
        EXPECT_EQ(count(trace, "vnc_auth_vencrypt_subauth"), 1u) << tail_lines(trace, 20);
        EXPECT_EQ(count(trace, "vnc_auth_pass") + count(trace, "vnc_auth_fail"), 0u)
            << tail_lines(trace, 20);
    }
}

// A host listing only X.509 types meets a server with anonymous TLS alone:
// it fails after reading the subtypes, choosing none, before any TLS.
TEST_F(Encrypted, AnonymousOnlyServerToAHostWantingCertificates) {
    TempDir dir;
    Qemu qemu;
    std::string err;
    ASSERT_TRUE(start_qemu(&qemu, dir, "", true, "", &err)) << err;
    ClientPtr c = client_with({{"security", "x509vnc,x509none"}});
    EXPECT_EQ(vnc_connect(c.get(), "127.0.0.1", qemu.port(), nullptr), -1);
    const std::string reason = end_reason(c.get());
    EXPECT_NE(reason.find("No compatible VeNCrypt subtype: the server offers 257 (tlsnone)"),
              std::string::npos)
        << reason;
    EXPECT_TRUE(wait_until([&] { return count(qemu.trace(), "vnc_client_disconnect_finish") >= 1; },
                           Millis(10000)));
    const std::string trace = qemu.trace();
    EXPECT_EQ(count(trace, "vnc_auth_vencrypt_version"), 1u) << tail_lines(trace, 20);
    EXPECT_EQ(count(trace, "vnc_auth_vencrypt_subauth"), 0u) << tail_lines(trace, 20);
    EXPECT_EQ(count(trace, "qio_channel_tls_handshake_start"), 0u) << tail_lines(trace, 20);
}

// x11vnc -ssl offers anonymous TLS (18) and VeNCrypt (TLSNone, X509None):
// each, with the Xvfb's own pixels.
TEST_F(Encrypted, X11vncAnonymousTlsAndVeNCrypt) {
    TempDir dir;
    X11vnc server;
    X11vncOptions o;
    o.ssl_key = certs().key;
    o.ssl_cert = certs().cert;
    std::string err;
    ASSERT_TRUE(server.start(dir.path(), 320, 240, o, &err)) << err;
    ASSERT_TRUE(show_on_root(server.screen_display(), picture_file(Picture::kPhoto, 320, 240), &err))
        << err;
    for (const char *type : {"anontls", "tlsnone", "x509none"}) {
        SCOPED_TRACE(type);
        ClientPtr c = client_with({{"security", type}, {"tls-ca-file", certs().ca}});
        ASSERT_EQ(vnc_connect(c.get(), "127.0.0.1", server.port(), nullptr), 0)
            << vnc_last_error() << ": " << end_reason(c.get()) << "\n"
            << tail_lines(server.server_log(), 20);
        const auto info = security_info(c.get());
        EXPECT_EQ(info.count("type") ? info.at("type") : "", type);
        const Match m = wait_screen_match(c.get(), server.screen_display(), Millis(15000));
        if (!m.ok) m.save(dir.file(type));
        EXPECT_TRUE(m.ok) << m.str();
        EXPECT_EQ(vnc_disconnect(c.get()), 0);
    }
}

// wayvnc with a user and password offers X509Plain alone: with its CA the
// picture equals grim's; a wrong password is refused.
TEST_F(Encrypted, WayvncX509PlainEqualsGrim) {
    const std::string missing = Wayvnc::missing_programs();
    if (!missing.empty()) GTEST_SKIP() << "not installed: " << missing;
    Wayvnc server;
    std::string err;
    ASSERT_TRUE(server.start(500, 380, "#336699", &err, true, certs().key, certs().cert)) << err;
    Image screen, last;
    ASSERT_TRUE(wait_until(
        [&] {
            if (!server.screenshot(&screen, &err) || screen.empty() || screen.at(0, 0) != 0x336699)
                return false;
            const bool same = compare(screen, last).count == 0;
            last = screen;
            return same;
        },
        Millis(10000), Millis(100)))
        << err;
    const Options options = {{"security", "x509plain"}, {"username", "quenvira"}, {"tls-ca-file", certs().ca}};
    ClientPtr c = client_with(options);
    ASSERT_EQ(vnc_connect(c.get(), "127.0.0.1", server.port(), "qvsecret"), 0)
        << vnc_last_error() << ": " << end_reason(c.get()) << "\n" << tail_lines(server.server_log(), 20);
    EXPECT_EQ(security_info(c.get())["type"], "x509plain");
    TempDir pictures;
    const Match m = wait_image_match(c.get(), screen, Millis(15000));
    if (!m.ok) m.save(pictures.file("wayvnc"));
    EXPECT_TRUE(m.ok) << m.str();
    EXPECT_EQ(vnc_disconnect(c.get()), 0);

    ClientPtr wrong = client_with(options);
    EXPECT_EQ(vnc_connect(wrong.get(), "127.0.0.1", server.port(), "not-it"), -1);
    EXPECT_EQ(vnc_get_status(wrong.get()), VNC_STATUS_ERROR);
    EXPECT_TRUE(server.running());
}

#ifdef VNC_SNAPSHOT_PATH
// vnc-snapshot's defaults: encryption chosen and the certificate checked;
// the known-hosts file's pin, --ca-file, --pin and --insecure let it in,
// a wrong pin does not, and --security can rule the server out.
TEST_F(Encrypted, SnapshotTrustsWhatItIsTold) {
    TempDir dir;
    Qemu qemu;
    QemuOptions o;
    o.paused = true;  // a still screen: QEMU's own words that the guest has not started
    o.tls_x509_dir = dir.file("x509");
    std::string err;
    ASSERT_TRUE(certs().qemu_dir(certs().cert, o.tls_x509_dir, &err)) << err;
    ASSERT_TRUE(qemu.start(dir.path(), "quenvira-snapshot", &err, o)) << err;
    const std::string target = "127.0.0.1::" + std::to_string(qemu.port());
    const std::string pin = Certificates::pin(certs().cert), png = dir.file("shot.png");
    const std::string known = dir.file("config/quenvira-vnc/known_hosts");
    ASSERT_EQ(mkdir(dir.file("config").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("config/quenvira-vnc").c_str(), 0700), 0);
    struct Row {
        const char *what;
        std::vector<std::string> args;
        std::string remembered;  // the known-hosts file's pin, when there is one
        int status;
        const char *says;
    };
    const Row rows[] = {
        {"defaults", {}, "", 3, ""},
        {"--ca-file", {"--ca-file", certs().ca}, "", 0, ""},
        {"remembered", {}, pin, 0, ""},
        {"remembered wrongly", {}, "sha256:" + std::string(64, 'a'), 3, "is not the pinned sha256:aaaa"},
        {"--pin over the file", {"--pin", pin}, "sha256:" + std::string(64, 'a'), 0, ""},
        {"--insecure", {"--insecure"}, "", 0, ""},
        {"--security without TLS", {"--security", "vncauth,none"}, pin, 3, "19 (VeNCrypt)"},
        {"--pin not sha256", {"--pin", "md5:00"}, "", 2, "--pin md5:00"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(write_file(known, row.remembered.empty() ? "" : "# test\n127.0.0.1:" +
                                   std::to_string(qemu.port()) + " " + row.remembered + "\n"));
        std::vector<std::string> argv = {VNC_SNAPSHOT_PATH, "-q", "--timeout", "20"};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        argv.insert(argv.end(), {target, png});
        SpawnOptions env;
        env.env = {"XDG_CONFIG_HOME=" + dir.file("config"), "VNC_PASSWORD="};
        std::remove(png.c_str());
        const CommandResult r = run_command(argv, env, Millis(30000));
        EXPECT_EQ(r.exit_code, row.status) << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
        if (row.status == 3 && row.args.empty() && row.remembered.empty()) {
            EXPECT_NE(r.err.find("--pin " + pin), std::string::npos) << r.err;
        }
        if (row.status != 0) continue;
        const CommandResult ppm = run_command({"convert", png, "ppm:-"});
        Image got, screen;
        ASSERT_TRUE(parse_ppm(ppm.out, &got, &err)) << err;
        ASSERT_TRUE(qemu.screendump(&screen, &err)) << err;
        EXPECT_EQ(compare(got, screen).count, 0);
        EXPECT_GT(screen.distinct_colours(), 1u);
    }
}
#endif

}  // namespace
