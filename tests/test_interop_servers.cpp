// Two more real servers: TightVNC's Xvnc (Xtightvnc) and TigerVNC's
// x0vncserver scraping an Xvfb.
//
// Handshakes: the version each offers (Xtightvnc 3.8; x0vncserver 3.8, or
// 3.3 with -Protocol3.3) seen in the server's log, None and VNC
// authentication, wrong passwords refused, and a clean disconnect after
// which the server takes the next client.
//
// Pixels: with the encoding list forced through the "encodings" option, the
// framebuffer equals the X server's own screen (xwd) after the first update
// and after each change, the dirty rectangles cover every change, and the
// server's log says it sent that encoding and nothing outside the list.
//
// Resizes: x0vncserver follows an Xvfb resized through RandR: during the
// handshake, right after it and after the first picture. Xtightvnc cannot
// resize its screen and takes no DesktopSize.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "interop_client.h"
#include "interop_peers.h"
#include "interop_servers.h"
#include "interop_session.h"

namespace {

using namespace interop;

// Not multiples of 16 or 64, so that edge tiles are partial.
constexpr int kWidth = 500, kHeight = 380;
const char *kPassword = "quenvira";
const Millis kUpdateTimeout(15000);

enum class Server { kXtightvnc, kX0vncserver };
const char *name_of(Server s) { return s == Server::kXtightvnc ? "Xtightvnc" : "x0vncserver"; }

// One server of either kind, its screen and the X clients on it.
class ServerTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure() && server_)
            std::cerr << "---- server log (tail) ----\n"
                      << tail_lines(server_->server_log(), 40) << std::endl;
    }

    void start(Server kind, const std::string &password, bool protocol33 = false) {
        std::string err;
        if (kind == Server::kXtightvnc) {
            XtightvncOptions o;
            o.width = kWidth;
            o.height = kHeight;
            o.password = password;
            ASSERT_TRUE(tight_.start(dir_.path(), o, &err)) << err;
            server_ = &tight_;
        } else {
            X0vncserverOptions o;
            o.password = password;
            o.protocol33 = protocol33;
            ASSERT_TRUE(x0_.start(dir_.path(), kWidth, kHeight, o, &err)) << err;
            server_ = &x0_;
        }
        kind_ = kind;
        // Xtightvnc paints no pointer (-nocursor), and xdotool crashes on it.
        const bool park_pointer = kind == Server::kX0vncserver;
        ASSERT_TRUE(peers_.use_server(*server_, kWidth, kHeight, &err, park_pointer)) << err;
    }

    void show(Picture kind) {
        const std::string pic = picture_file(kind, kWidth, kHeight);
        ASSERT_FALSE(pic.empty());
        std::string err;
        ASSERT_TRUE(show_on_root(display(), pic, &err)) << err;
    }

    bool server_running() {
        return kind_ == Server::kXtightvnc ? tight_.running() : x0_.running();
    }

    int display() const { return server_->screen_display(); }
    int port() const { return server_->port(); }

    TempDir dir_;
    Xtightvnc tight_;
    X0vncserver x0_;
    VncServer *server_ = nullptr;
    Server kind_ = Server::kXtightvnc;
    PeerSession peers_;  // declared last: its X clients stop before the servers
};

// ---- handshakes ----------------------------------------------------------

struct HandshakeCell {
    Server server;
    bool auth;
    bool protocol33;           // x0vncserver only
    const char *version_seen;  // what the server logs for the version we answered
    const char *refusal = "";  // the end reason of a wrong password: the server's words kept
};

void PrintTo(const HandshakeCell &c, std::ostream *os) {
    *os << name_of(c.server) << (c.auth ? " VncAuth" : " None")
        << (c.protocol33 ? " RFB 3.3" : "");
}

std::string handshake_name(const ::testing::TestParamInfo<HandshakeCell> &info) {
    const HandshakeCell &c = info.param;
    return std::string(name_of(c.server)) + (c.protocol33 ? "_Rfb33" : "_Rfb38") +
           (c.auth ? "_VncAuth" : "_None");
}

class Handshake : public ServerTest, public ::testing::WithParamInterface<HandshakeCell> {
protected:
    // Connects, sees the screen, finds the version in the server's log,
    // disconnects; the server must notice the client left and keep running.
    void expect_session(const char *password) {
        const size_t log_start = server_->server_log().size();
        ClientPtr c(vnc_create());
        ASSERT_TRUE(c);
        ASSERT_EQ(vnc_set_option(c.get(), "encodings", "raw"), 0) << vnc_last_error();
        ASSERT_EQ(vnc_connect(c.get(), "127.0.0.1", port(), password), 0) << vnc_last_error();
        EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_CONNECTED);
        int w = 0, h = 0;
        ASSERT_EQ(vnc_get_dimensions(c.get(), &w, &h), 0);
        EXPECT_EQ(w, kWidth);
        EXPECT_EQ(h, kHeight);
        char name[64] = {0};
        vnc_get_desktop_name(c.get(), name, sizeof name);
        // Xtightvnc wraps the name: "root's quenvira-interop desktop (host:N)".
        if (GetParam().server == Server::kXtightvnc) {
            EXPECT_NE(std::string(name).find("quenvira-interop desktop"), std::string::npos)
                << name;
        }
        const Match m = wait_screen_match(c.get(), display(), kUpdateTimeout);
        EXPECT_TRUE(m.ok) << m.str();
        EXPECT_TRUE(wait_until(
            [&] {
                return server_->server_log().find(GetParam().version_seen, log_start) !=
                       std::string::npos;
            },
            Millis(5000)))
            << "the server never logged \"" << GetParam().version_seen << "\"";
        EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_CONNECTED) << "the session did not last";

        ASSERT_EQ(vnc_disconnect(c.get()), 0);
        EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_DISCONNECTED);
        // A clean end on the server's side too: its words for a client that
        // closed, not for a broken connection.
        const char *left = GetParam().server == Server::kXtightvnc ? "Client 127.0.0.1 gone"
                                                                   : "Clean disconnection";
        EXPECT_TRUE(wait_until(
            [&] { return server_->server_log().find(left, log_start) != std::string::npos; },
            Millis(5000)))
            << "the server never logged \"" << left << "\"";
        EXPECT_EQ(server_->server_log().find("reset by peer", log_start), std::string::npos)
            << "the server saw the connection reset";
        EXPECT_TRUE(server_running());
    }

    void expect_auth_failure(const char *password) {
        ClientPtr c(vnc_create());
        ASSERT_TRUE(c);
        EXPECT_EQ(vnc_connect(c.get(), "127.0.0.1", port(), password), -1);
        EXPECT_STREQ(vnc_last_error(), "VNC Authentication failed");
        char reason[256] = {0};
        vnc_get_end_reason(c.get(), reason, sizeof reason);
        EXPECT_STREQ(reason, GetParam().refusal);
        EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_ERROR);
        EXPECT_EQ(vnc_send_pointer(c.get(), 1, 1, 0), -1);
    }
};

TEST_P(Handshake, ConnectsRefusesWrongPasswordsAndDisconnectsCleanly) {
    const HandshakeCell &cell = GetParam();
    ASSERT_NO_FATAL_FAILURE(start(cell.server, cell.auth ? kPassword : "", cell.protocol33));
    ASSERT_NO_FATAL_FAILURE(show(Picture::kFlat));
    if (cell.auth) {
        ASSERT_NO_FATAL_FAILURE(expect_auth_failure("quenvirb"));
        // No password: the all-zero key is tried and fails.
        ASSERT_NO_FATAL_FAILURE(expect_auth_failure(nullptr));
    }
    ASSERT_NO_FATAL_FAILURE(expect_session(cell.auth ? kPassword : nullptr));
    // The server takes the next client after a clean disconnect.
    ASSERT_NO_FATAL_FAILURE(expect_session(cell.auth ? kPassword : nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Servers, Handshake,
    // Xtightvnc greets with 3.8 (and would take 3.3 or 3.7); x0vncserver
    // with 3.8, or 3.3 when told to. We answer with the version offered.
    ::testing::Values(HandshakeCell{Server::kXtightvnc, false, false, "Using protocol version 3.8"},
                      HandshakeCell{Server::kXtightvnc, true, false, "Using protocol version 3.8",
                                    "VNC Authentication failed: Authentication failed "
                                    "(SecurityResult 1)"},
                      HandshakeCell{Server::kX0vncserver, false, false,
                                    "Client needs protocol version 3.8"},
                      HandshakeCell{Server::kX0vncserver, true, false,
                                    "Client needs protocol version 3.8",
                                    "VNC Authentication failed: Authentication failure "
                                    "(SecurityResult 1)"},
                      HandshakeCell{Server::kX0vncserver, false, true,
                                    "Client needs protocol version 3.3"},
                      HandshakeCell{Server::kX0vncserver, true, true,
                                    "Client needs protocol version 3.3",
                                    "VNC Authentication failed (SecurityResult 1)"}),
    handshake_name);

// ---- pixels --------------------------------------------------------------

struct PixelCell {
    Server server;
    const char *encodings;  // the option's value; null: the library's own list
    const char *expected;   // the encoding the server must report having sent
    std::set<std::string> allowed;  // all it may report; empty: anything
};

void PrintTo(const PixelCell &c, std::ostream *os) {
    *os << name_of(c.server) << " " << (c.encodings ? c.encodings : "default");
}

std::string pixel_name(const ::testing::TestParamInfo<PixelCell> &info) {
    std::string e = info.param.encodings ? info.param.encodings : "default";
    for (auto &ch : e)
        if (ch == ',') ch = '_';
    return std::string(name_of(info.param.server)) + "_" + e;
}

class Pixels : public ServerTest, public ::testing::WithParamInterface<PixelCell> {
protected:
    static bool file_present(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

    // Until the screen differs from before and two looks at it 50 ms apart
    // agree: a terminal may still be drawing what its shell printed.
    void wait_screen_settled(const Image &before) {
        Image last, now;
        std::string err;
        ASSERT_TRUE(wait_until(
            [&] { return grab_root(display(), &last, &err) && compare(last, before).count != 0; },
            Millis(10000)))
            << "the screen did not change " << err;
        const bool still = wait_until(
            [&] {
                if (!grab_root(display(), &now, &err)) return false;
                const bool same = compare(now, last).count == 0;
                last = now;
                return same;
            },
            Millis(10000), Millis(50));
        ASSERT_TRUE(still) << "the screen never stopped changing " << err;
    }

    void expect_change_seen(vnc_client_t *c, Image *before, const std::string &what) {
        const std::string problem =
            await_change(c, display(), before, kUpdateTimeout, dir_.file("mismatch"));
        ASSERT_EQ(problem, "") << what;
    }
};

TEST_P(Pixels, FramebufferEqualsTheScreenThroughChanges) {
    const PixelCell &cell = GetParam();
    ASSERT_NO_FATAL_FAILURE(start(cell.server, ""));
    ASSERT_NO_FATAL_FAILURE(show(Picture::kPhoto));

    const size_t log_start = server_->server_log().size();
    ClientPtr c(vnc_create());
    ASSERT_TRUE(c);
    if (cell.encodings) {
        ASSERT_EQ(vnc_set_option(c.get(), "encodings", cell.encodings), 0) << vnc_last_error();
    }
    ASSERT_EQ(vnc_connect(c.get(), "127.0.0.1", port(), nullptr), 0) << vnc_last_error();

    DirtyLog first;
    Match m = wait_screen_match(c.get(), display(), kUpdateTimeout, &first);
    if (!m.ok) m.save(dir_.file("mismatch"));
    ASSERT_TRUE(m.ok) << "first update: " << m.str();
    EXPECT_GT(m.screen.distinct_colours(), 1000u) << "the picture is not on the screen";
    EXPECT_EQ(first.uncovered(Rect{0, 0, kWidth, kHeight}), 0) << first.str();
    Image before = m.screen;

    ASSERT_NO_FATAL_FAILURE(show(Picture::kFlat));
    ASSERT_NO_FATAL_FAILURE(expect_change_seen(c.get(), &before, "flat picture"));

    // A terminal appears, scrolls line by line (+j) and moves itself
    // (allowWindowOps, there being no window manager): copies within a
    // window and of a window, which Xtightvnc sends as CopyRect. The shell
    // in it goes one step further each time the test writes a file, and
    // writes one when it has done it.
    auto step = [&](int n) { return dir_.file("step" + std::to_string(n)); };
    auto wait_for = [&](int n) { return "while [ ! -e " + step(n) + " ]; do sleep 0.02; done; "; };
    auto done = [&](int n) { return "touch " + step(n) + "-done; "; };
    peers_.start_x_client({"xterm", "+j", "-xrm", "XTerm*allowWindowOps: true", "-geometry",
                           "48x12+30+40", "-e", "sh", "-c",
                           done(0) + wait_for(1) + "seq 1 40; " + done(1) + wait_for(2) +
                               "printf '\\033[3;190;170t'; " + done(2) + "exec sleep 600"});
    const char *what[] = {"terminal appeared", "terminal scrolled", "terminal moved"};
    for (int n = 0; n < 3; ++n) {
        if (n > 0) {
            ASSERT_TRUE(write_file(step(n), ""));
        }
        ASSERT_TRUE(wait_until([&] { return file_present(step(n) + "-done"); }, Millis(10000)))
            << "the terminal's shell never did step " << n;
        ASSERT_NO_FATAL_FAILURE(wait_screen_settled(before));
        ASSERT_NO_FATAL_FAILURE(expect_change_seen(c.get(), &before, what[n]));
    }

    EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_CONNECTED);
    ASSERT_EQ(vnc_disconnect(c.get()), 0);
    const std::set<std::string> sent = server_->encodings_reported(log_start, Millis(5000));
    std::string listed;
    for (const auto &s : sent) listed += s + " ";
    EXPECT_TRUE(sent.count(cell.expected)) << "the server reports sending only: " << listed;
    for (const auto &s : sent)
        EXPECT_TRUE(cell.allowed.empty() || cell.allowed.count(s))
            << "the server reports " << s << " outside the list: " << listed;
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, Pixels,
    // x0vncserver sees no copies on the screen it scrapes, so it has no
    // CopyRect cell.
    ::testing::Values(
        // Xtightvnc has no ZRLE: the library's own list falls back to Hextile.
        PixelCell{Server::kXtightvnc, nullptr, "hextile", {"hextile", "copyrect"}},
        PixelCell{Server::kXtightvnc, "hextile", "hextile", {"hextile"}},
        PixelCell{Server::kXtightvnc, "rre", "rre", {"rre"}},
        PixelCell{Server::kXtightvnc, "copyrect,raw", "copyrect", {"copyrect", "raw"}},
        PixelCell{Server::kXtightvnc, "raw", "raw", {"raw"}},
        PixelCell{Server::kXtightvnc, "tight", "tight", {"tight"}},
        PixelCell{Server::kX0vncserver, nullptr, "zrle", {}},
        PixelCell{Server::kX0vncserver, "hextile", "hextile", {"hextile"}},
        PixelCell{Server::kX0vncserver, "tight", "tight", {"tight"}}),
    pixel_name);

// ---- resizes -------------------------------------------------------------

enum class When { kDuringTheHandshake, kRightAfterConnecting, kAfterTheFirstPicture };

struct ResizeCell {
    const char *name;
    When when;  // of the first resize
};

void PrintTo(const ResizeCell &c, std::ostream *os) { *os << c.name; }

class Resize : public ServerTest, public ::testing::WithParamInterface<ResizeCell> {
protected:
    // Two faults of x0vncserver when the screen shrinks while a client
    // connects: it closes the connection when the change comes before it
    // has read the client's encodings ("does not support desktop size
    // changes", though they include DesktopSize), or it dies of an X error
    // (BadMatch in XShmGetImage, Xlib's default handler ending the process).
    std::string server_fault() {
        const std::string log = x0_.server_log();
        if (log.find("Client does not support desktop size") != std::string::npos)
            return "x0vncserver dropped the client: the resize came before it read the encodings";
        if (!x0_.running() && log.find("X Error of failed request") != std::string::npos)
            return "x0vncserver died of an X error as the screen shrank";
        return "";
    }

    // wait_screen_match, given up at once when the server or the connection
    // has gone.
    Match match_while_server_runs(vnc_client_t *c) {
        Match m;
        const auto end = std::chrono::steady_clock::now() + kUpdateTimeout;
        do {
            m = wait_screen_match(c, display(), Millis(500));
        } while (!m.ok && x0_.running() && vnc_get_status(c) == VNC_STATUS_CONNECTED &&
                 std::chrono::steady_clock::now() < end);
        return m;
    }
};

TEST_P(Resize, X0vncserverFollowsTheXvfb) {
    const When when = GetParam().when;
    ASSERT_NO_FATAL_FAILURE(start(Server::kX0vncserver, ""));
    ASSERT_NO_FATAL_FAILURE(show(Picture::kPhoto));
    // Smaller, then back: Xvfb cannot grow beyond the size it started with.
    // The modes are made beforehand so that a resize is one xrandr call.
    const std::pair<int, int> sizes[] = {{400, 300}, {kWidth, kHeight}};
    std::string output, err;
    for (const auto &size : sizes)
        ASSERT_TRUE(add_screen_size(display(), size.first, size.second, &output, &err)) << err;
    auto resize = [&](const std::pair<int, int> &size, std::string *error) {
        return set_screen_size(display(), output, size.first, size.second, error);
    };

    ClientPtr c(vnc_create());
    ASSERT_TRUE(c);
    // The first resize races the handshake: the greeting may carry either size.
    bool first_resized = false;
    std::string first_error;
    std::thread early;
    if (when == When::kDuringTheHandshake)
        early = std::thread([&] { first_resized = resize(sizes[0], &first_error); });
    const int connected = vnc_connect(c.get(), "127.0.0.1", port(), nullptr);
    if (early.joinable()) early.join();
    if (connected != 0 && !server_fault().empty()) GTEST_SKIP() << server_fault();
    ASSERT_EQ(connected, 0) << vnc_last_error();
    if (when == When::kAfterTheFirstPicture) {
        const Match m = match_while_server_runs(c.get());
        ASSERT_TRUE(m.ok) << "first update: " << m.str();
    }
    for (const auto &size : sizes) {
        if (&size != &sizes[0] || when != When::kDuringTheHandshake)
            first_resized = resize(size, &first_error);
        ASSERT_TRUE(first_resized) << first_error;
        const Match m = match_while_server_runs(c.get());
        if (!m.ok && !server_fault().empty()) GTEST_SKIP() << server_fault();
        if (!m.ok) m.save(dir_.file("mismatch"));
        ASSERT_TRUE(m.ok) << "after the resize to " << size.first << "x" << size.second << ": "
                          << m.str() << "; status " << vnc_get_status(c.get());
        int w = 0, h = 0;
        ASSERT_EQ(vnc_get_dimensions(c.get(), &w, &h), 0);
        EXPECT_EQ(w, size.first);
        EXPECT_EQ(h, size.second);
        EXPECT_EQ(vnc_get_status(c.get()), VNC_STATUS_CONNECTED);
    }
    EXPECT_EQ(vnc_disconnect(c.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    When, Resize,
    ::testing::Values(ResizeCell{"DuringTheHandshake", When::kDuringTheHandshake},
                      ResizeCell{"RightAfterConnecting", When::kRightAfterConnecting},
                      ResizeCell{"AfterTheFirstPicture", When::kAfterTheFirstPicture}),
    [](const ::testing::TestParamInfo<ResizeCell> &info) { return std::string(info.param.name); });

}  // namespace
