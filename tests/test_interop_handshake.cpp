// Handshakes with real VNC servers: Xvnc (3.8) and x11vnc at 3.3, 3.7 and
// 3.8, each with security type None and with VNC authentication. A handshake
// counts as done only when the server saw the version we answered and the
// connection then carries the screen.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "interop_client.h"
#include "interop_peers.h"
#include "vnc_client_internal.h"

namespace {

using namespace interop;

constexpr int kWidth = 320, kHeight = 200;
const char *kPassword = "quenvira";  // eight characters: all of them count
const Millis kScreenTimeout(15000);

// Raw only, so that the handshake tests do not depend on the other decoders.
const std::vector<int32_t> kRawOnly = {enc::kRaw, enc::kDesktopSize};

class Handshake : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure() && server_)
            std::cerr << "---- server log (tail) ----\n"
                      << tail_lines(server_->server_log(), 40) << std::endl;
    }

    void put_picture() {
        std::string err;
        const std::string pic = picture_file(Picture::kFlat, kWidth, kHeight);
        ASSERT_FALSE(pic.empty());
        ASSERT_TRUE(show_on_root(server_->screen_display(), pic, &err)) << err;
    }

    // Connects with password (null: none); expects success, the screen in
    // the framebuffer, and the version in the server's log.
    void expect_session(const char *password, const std::string &version_seen) {
        const size_t log_start = server_->server_log().size();
        ClientPtr c = make_client(kRawOnly);
        ASSERT_TRUE(c);
        ASSERT_EQ(vnc_connect(c.get(), "127.0.0.1", server_->port(), password), 0)
            << vnc_last_error();
        EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_CONNECTED);
        int w = 0, h = 0;
        ASSERT_EQ(vnc_get_dimensions(c.get(), &w, &h), 0);
        EXPECT_EQ(w, kWidth);
        EXPECT_EQ(h, kHeight);
        const Match m = wait_screen_match(c.get(), server_->screen_display(), kScreenTimeout);
        EXPECT_TRUE(m.ok) << m.str();
        EXPECT_TRUE(wait_until(
            [&] {
                return server_->server_log().find(version_seen, log_start) != std::string::npos;
            },
            Millis(5000)))
            << "the server never logged \"" << version_seen << "\"";
        EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_CONNECTED) << "the session did not last";
        EXPECT_EQ(vnc_disconnect(c.get()), 0);
        EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_DISCONNECTED);
    }

    void expect_auth_failure(const char *password) {
        ClientPtr c = make_client(kRawOnly);
        ASSERT_TRUE(c);
        EXPECT_EQ(vnc_connect(c.get(), "127.0.0.1", server_->port(), password), -1);
        EXPECT_STREQ(vnc_last_error(), "VNC Authentication failed");
        EXPECT_STREQ(c->last_error, "VNC Authentication failed");
        EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_ERROR);
        // Nothing may be sent on a failed connection.
        EXPECT_EQ(vnc_send_pointer(c.get(), 1, 1, 0), -1);
    }

    TempDir dir_;
    VncServer *server_ = nullptr;
};

class XvncHandshake : public Handshake {
protected:
    void start(const std::string &password) {
        XvncOptions o;
        o.width = kWidth;
        o.height = kHeight;
        o.password = password;
        std::string err;
        ASSERT_TRUE(xvnc_.start(dir_.path(), o, &err)) << err;
        server_ = &xvnc_;
        put_picture();
    }
    Xvnc xvnc_;
};

TEST_F(XvncHandshake, NoneSecurityConnectsAndNamesTheDesktop) {
    ASSERT_NO_FATAL_FAILURE(start(""));
    ASSERT_NO_FATAL_FAILURE(expect_session(nullptr, "Client needs protocol version 3.8"));
    // A password is no reason to refuse None when that is all the server offers.
    ASSERT_NO_FATAL_FAILURE(expect_session(kPassword, "Client needs protocol version 3.8"));

    ClientPtr c = make_client(kRawOnly);
    ASSERT_EQ(vnc_connect(c.get(), "127.0.0.1", xvnc_.port(), ""), 0) << vnc_last_error();
    EXPECT_STREQ(c->desktop_name, "quenvira-interop");
}

TEST_F(XvncHandshake, VncAuthenticationAcceptsOnlyTheRightPassword) {
    ASSERT_NO_FATAL_FAILURE(start(kPassword));
    ASSERT_NO_FATAL_FAILURE(expect_session(kPassword, "Client needs protocol version 3.8"));
    ASSERT_NO_FATAL_FAILURE(expect_auth_failure("quenvirb"));
    ASSERT_NO_FATAL_FAILURE(expect_auth_failure("wrong"));
    // Without a password the only offered type is still tried, with the
    // all-zero key, and fails.
    ASSERT_NO_FATAL_FAILURE(expect_auth_failure(nullptr));
    // VNC authentication uses the first eight characters only.
    ASSERT_NO_FATAL_FAILURE(
        expect_session("quenvira-and-more", "Client needs protocol version 3.8"));
    // Failures earlier on do not spoil later sessions.
    ASSERT_NO_FATAL_FAILURE(expect_session(kPassword, "Client needs protocol version 3.8"));
}

struct X11vncCase {
    const char *version;
    bool auth;
};

void PrintTo(const X11vncCase &c, std::ostream *os) {
    *os << "RFB " << c.version << (c.auth ? " with VNC authentication" : " without authentication");
}

std::string case_name(const ::testing::TestParamInfo<X11vncCase> &info) {
    std::string v = info.param.version;
    v.erase(v.find('.'), 1);
    return "Rfb" + v + (info.param.auth ? "VncAuth" : "None");
}

class X11vncHandshake : public Handshake, public ::testing::WithParamInterface<X11vncCase> {
protected:
    void SetUp() override {
        X11vncOptions o;
        o.version = GetParam().version;
        o.password = GetParam().auth ? kPassword : "";
        std::string err;
        ASSERT_TRUE(x11vnc_.start(dir_.path(), kWidth, kHeight, o, &err)) << err;
        server_ = &x11vnc_;
        put_picture();
    }
    // What x11vnc logs when a client answered with its version.
    std::string version_seen() const {
        return std::string("Client Protocol Version ") + GetParam().version;
    }
    X11vnc x11vnc_;
};

TEST_P(X11vncHandshake, ConnectsWithTheRightCredentialsOnly) {
    if (!GetParam().auth) {
        ASSERT_NO_FATAL_FAILURE(expect_session(nullptr, version_seen()));
        ASSERT_NO_FATAL_FAILURE(expect_session(kPassword, version_seen()));
        return;
    }
    ASSERT_NO_FATAL_FAILURE(expect_session(kPassword, version_seen()));
    ASSERT_NO_FATAL_FAILURE(expect_auth_failure("quenvirb"));
    ASSERT_NO_FATAL_FAILURE(expect_auth_failure(nullptr));
    ASSERT_NO_FATAL_FAILURE(expect_session("quenvira-and-more", version_seen()));
}

INSTANTIATE_TEST_SUITE_P(Versions, X11vncHandshake,
                         ::testing::Values(X11vncCase{"3.3", false}, X11vncCase{"3.3", true},
                                           X11vncCase{"3.7", false}, X11vncCase{"3.7", true},
                                           X11vncCase{"3.8", false}, X11vncCase{"3.8", true}),
                         case_name);

}  // namespace
