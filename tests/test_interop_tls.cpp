// TigerVNC's Xvnc with its TLS types: each VeNCrypt subtype alone gives the
// screen pixel for pixel and carries input; the default options still
// choose VNC authentication; an anonymous-only server is refused to a host
// that lists only X.509 types.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "interop_client.h"
#include "interop_peers.h"
#include "vnc_client_internal.h"

namespace {

using namespace interop;

constexpr int kWidth = 320, kHeight = 200;
const char *kPassword = "quenvira";
const Millis kScreenTimeout(15000);

bool sh(const std::string &cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// A CA and a server certificate for 127.0.0.1 in dir; false without certtool.
bool make_certs(const std::string &dir) {
    std::ofstream(dir + "/ca.tmpl") << "cn = \"Interop CA\"\nca\ncert_signing_key\nexpiration_days = 2\n";
    std::ofstream(dir + "/srv.tmpl") << "cn = \"vnc\"\nip_address = \"127.0.0.1\"\n"
                                        "tls_www_server\nencryption_key\nsigning_key\nexpiration_days = 2\n";
    const std::string d = dir + "/";
    return sh("certtool --generate-privkey --outfile " + d + "ca.key") &&
           sh("certtool --generate-self-signed --load-privkey " + d + "ca.key --template " + d +
              "ca.tmpl --outfile " + d + "ca.pem") &&
           sh("certtool --generate-privkey --outfile " + d + "srv.key") &&
           sh("certtool --generate-certificate --load-privkey " + d + "srv.key --load-ca-certificate " +
              d + "ca.pem --load-ca-privkey " + d + "ca.key --template " + d + "srv.tmpl --outfile " + d +
              "srv.pem");
}

class XvncTls : public ::testing::Test {
protected:
    void start(const std::string &types) {
        ASSERT_TRUE(make_certs(dir_.path())) << "certtool (gnutls-bin) failed";
        XvncOptions o;
        o.width = kWidth;
        o.height = kHeight;
        o.password = kPassword;
        o.security_types = types;
        o.x509_cert = dir_.path() + "/srv.pem";
        o.x509_key = dir_.path() + "/srv.key";
        std::string err;
        ASSERT_TRUE(xvnc_.start(dir_.path(), o, &err)) << err;
        const std::string pic = picture_file(Picture::kFlat, kWidth, kHeight);
        ASSERT_TRUE(show_on_root(xvnc_.screen_display(), pic, &err)) << err;
    }
    void TearDown() override {
        if (HasFailure())
            std::cerr << "---- server log (tail) ----\n" << tail_lines(xvnc_.server_log(), 30) << std::endl;
    }
    std::string pointer_location() {
        const CommandResult r = x_tool(xvnc_.screen_display(), {"xdotool", "getmouselocation"});
        int x = -1, y = -1;
        std::sscanf(r.out.c_str(), "x:%d y:%d", &x, &y);
        return std::to_string(x) + "," + std::to_string(y);
    }
    TempDir dir_;
    Xvnc xvnc_;
};

TEST_F(XvncTls, EachSubtypeAloneCarriesTheScreenAndInput) {
    ASSERT_NO_FATAL_FAILURE(start("X509Vnc,X509None,TLSVnc,TLSNone,VncAuth"));
    struct Case {
        const char *security, *tls_version_prefix;
    } cases[] = {{"x509vnc", "TLS1."}, {"x509none", "TLS1."}, {"tlsvnc", "TLS1.2"},
                 {"tlsnone", "TLS1.2"}, {"vncauth", nullptr}};
    int step = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.security);
        ClientPtr c = make_client();
        ASSERT_TRUE(c);
        ASSERT_EQ(0, vnc_set_option(c.get(), "security", k.security));
        ASSERT_EQ(0, vnc_set_option(c.get(), "tls-ca-file", (dir_.path() + "/ca.pem").c_str()));
        ASSERT_EQ(0, vnc_connect(c.get(), "127.0.0.1", xvnc_.port(), kPassword)) << vnc_last_error();
        char info[2048] = "";
        vnc_get_security_info(c.get(), info, sizeof info);
        const std::string text = info;
        EXPECT_EQ(0u, text.find(std::string("type: ") + k.security + "\n")) << text;
        if (k.tls_version_prefix) {
            EXPECT_NE(std::string::npos, text.find(std::string("tls-version: ") + k.tls_version_prefix))
                << text;
        }
        if (std::string(k.security).rfind("x509", 0) == 0) {
            EXPECT_NE(std::string::npos, text.find("verification: ok\n")) << text;
        }
        const Match m = wait_screen_match(c.get(), xvnc_.screen_display(), kScreenTimeout);
        EXPECT_TRUE(m.ok) << m.str();
        // Input through the layer: the pointer lands where it was sent.
        const int x = 40 + 10 * step, y = 30 + 7 * step;
        ++step;
        ASSERT_EQ(0, vnc_send_pointer(c.get(), x, y, 0));
        const std::string want = std::to_string(x) + "," + std::to_string(y);
        EXPECT_TRUE(wait_until([&] { return pointer_location() == want; }, Millis(5000)))
            << "pointer at " << pointer_location() << ", sent " << want;
        EXPECT_EQ(0, vnc_disconnect(c.get()));
    }
}

TEST_F(XvncTls, DefaultsStillChooseVncAuthAndAnonymousOnlyIsRefusedToX509) {
    ASSERT_NO_FATAL_FAILURE(start("TLSVnc,TLSNone,VncAuth"));
    {
        ClientPtr c = make_client();
        ASSERT_EQ(0, vnc_connect(c.get(), "127.0.0.1", xvnc_.port(), kPassword)) << vnc_last_error();
        char info[256] = "";
        vnc_get_security_info(c.get(), info, sizeof info);
        EXPECT_STREQ("type: vncauth\n", info);
        const Match m = wait_screen_match(c.get(), xvnc_.screen_display(), kScreenTimeout);
        EXPECT_TRUE(m.ok) << m.str();
    }
    ClientPtr c = make_client();
    ASSERT_EQ(0, vnc_set_option(c.get(), "security", "x509vnc,x509none"));
    EXPECT_EQ(-1, vnc_connect(c.get(), "127.0.0.1", xvnc_.port(), kPassword));
    EXPECT_STREQ("No compatible VeNCrypt subtype: add one the server offers to the security option",
                 vnc_last_error());
    char reason[512] = "";
    vnc_get_end_reason(c.get(), reason, sizeof reason);
    EXPECT_NE(nullptr, std::strstr(reason, "258 (tlsvnc)")) << reason;
}

}  // namespace
