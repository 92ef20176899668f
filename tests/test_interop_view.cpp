// vnc-view, the SDL viewer, run on an Xvfb of its own (SDL's X11 driver):
// its window dumped with xwd shows the server's picture exactly, follows
// changes and the server's clipboard, its clicks and keys arrive at an Xvnc
// server, and it exits with its documented statuses when told to, on a
// wrong password and on a server that dies; with --reconnect it comes back
// to a restarted one; a certificate it cannot verify it shows on its
// terminal, and trusts and remembers when told to.
#include <gtest/gtest.h>

#ifdef VNC_VIEW_PATH

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "interop_certs.h"
#include "interop_image.h"
#include "interop_peers.h"
#include "interop_process.h"
#include "interop_session.h"

namespace {

using namespace interop;

constexpr int kExitOk = 0, kExitAuth = 4, kExitLost = 7;
constexpr int kWidth = 400, kHeight = 300;
const char *kPassword = "quenvira";
const Millis kShow(20000);

class View : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(xvfb_.start(dir_.path(), 1024, 768, &err)) << err;
    }
    void TearDown() override {
        if (HasFailure())
            std::cerr << "---- vnc-view log ----\n" << tail_lines(view_.log(), 30) << "\n";
    }

    // Runs vnc-view with args; VNC_PASSWORD is empty unless env sets it.
    void start_view(const std::vector<std::string> &args, const std::string &env = "VNC_PASSWORD=") {
        std::vector<std::string> argv = {VNC_VIEW_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        SpawnOptions o;
        o.env = {"DISPLAY=" + xvfb_.display_name(), "SDL_VIDEODRIVER=x11", "SDL_AUDIODRIVER=dummy",
                 "HOME=" + dir_.path(), env};
        o.cwd = dir_.path();
        o.log_path = dir_.file("view.log");
        view_ = Process(argv, o);
    }

    // The viewer's window once it is connected (the title says so).
    std::string window() {
        std::string id;
        wait_until(
            [&] {
                const CommandResult r = x_tool(xvfb_.display(), {"xdotool", "search", "--onlyvisible",
                                                                 "--name", "connected"});
                id = r.out.substr(0, r.out.find('\n'));
                return (r.exit_code == 0 && !id.empty()) || !view_.running();
            },
            kShow, Millis(50));
        return id;
    }

    // Waits until the window shows want exactly; "" or what differs.
    std::string shows(const std::string &win, const Image &want) {
        Image shown;
        Diff d;
        std::string err;
        if (wait_until(
                [&] {
                    if (!grab_window(xvfb_.display(), win, &shown, &err)) return false;
                    d = compare(shown, want);
                    return d.count == 0;
                },
                kShow, Millis(100)))
            return "";
        write_file(dir_.file("shown.ppm"), to_ppm(shown));
        return "window " + std::to_string(shown.width) + "x" + std::to_string(shown.height) +
               ": " + d.str() + " " + err;
    }

    TempDir dir_;
    Xvfb xvfb_;
    PeerSession peers_;
    Process view_;  // declared last: stopped first
};

TEST_F(View, DemoShowsTheTestServersPicture) {
    start_view({"--demo"});
    const std::string win = window();
    ASSERT_FALSE(win.empty()) << "no connected viewer window";
    EXPECT_EQ(shows(win, canned_picture()), "");
    // SDL makes SIGTERM a quit: the thread waiting for the library must
    // be woken and joined for the viewer to leave.
    ASSERT_EQ(kill(view_.pid(), SIGTERM), 0);
    EXPECT_EQ(view_.wait_exit(Millis(10000)), kExitOk);
}

TEST_F(View, WrongPasswordIsAnAuthenticationFailure) {
    std::string err;
    ASSERT_TRUE(peers_.start_server(ServerKind::kXvnc, kWidth, kHeight, &err, kPassword)) << err;
    start_view({"127.0.0.1::" + std::to_string(peers_.port())}, "VNC_PASSWORD=wrong");
    EXPECT_EQ(view_.wait_exit(kShow), kExitAuth);
    EXPECT_NE(view_.log().find("wrong or missing password"), std::string::npos);
}

// The screen at 1:1, a change on it, a text copied on the server, and the
// server killed, with the password from a file.
TEST_F(View, ShowsXvncAndFollowsItUntilItDies) {
    std::string err;
    ASSERT_TRUE(peers_.start_server(ServerKind::kXvnc, kWidth, kHeight, &err, kPassword)) << err;
    const int d = peers_.display();
    ASSERT_TRUE(show_on_root(d, picture_file(Picture::kPhoto, kWidth, kHeight), &err)) << err;
    ASSERT_TRUE(write_file(dir_.file("pw"), std::string(kPassword) + "\n"));
    start_view({"--no-scale", "--password-file", dir_.file("pw"),
                "127.0.0.1:" + std::to_string(d)});
    const std::string win = window();
    ASSERT_FALSE(win.empty()) << "no connected viewer window";

    Image root;
    ASSERT_TRUE(grab_root(d, &root, &err)) << err;
    EXPECT_EQ(shows(win, root), "");

    ASSERT_TRUE(show_on_root(d, picture_file(Picture::kFlat, kWidth, kHeight), &err)) << err;
    ASSERT_TRUE(grab_root(d, &root, &err)) << err;
    EXPECT_EQ(shows(win, root), "") << "after the change";

    // Xvnc watches its selections; xclip stays as the owner. The text lands
    // in the viewer's clipboard, which the viewer itself serves to xclip -o.
    const std::string text = "copied on the server", file = dir_.file("clip.txt");
    ASSERT_TRUE(write_file(file, text));
    peers_.start_x_client({"xclip", "-quiet", "-selection", "clipboard", "-i", file}, "xclip.log");
    std::string local;
    EXPECT_TRUE(wait_until(
        [&] {
            local = x_tool(xvfb_.display(), {"xclip", "-o", "-selection", "clipboard"}).out;
            return local == text;
        },
        kShow, Millis(100)))
        << "local clipboard: \"" << local << "\"";

    dynamic_cast<Xvnc &>(peers_.server()).stop();
    EXPECT_EQ(view_.wait_exit(Millis(10000)), kExitLost);
    EXPECT_NE(view_.log().find("connection was lost"), std::string::npos);
}

// --reconnect: the server killed and started again on its port is shown
// again with its new picture; one that comes back with another password
// ends the viewer as a refused password does.
TEST_F(View, ReconnectsToARestartedXvncUntilThePasswordIsRefused) {
    std::string err;
    ASSERT_TRUE(peers_.start_server(ServerKind::kXvnc, kWidth, kHeight, &err, kPassword)) << err;
    const int port = peers_.port();
    start_view({"--reconnect", "--no-scale", "127.0.0.1::" + std::to_string(port)},
               std::string("VNC_PASSWORD=") + kPassword);
    const std::string win = window();
    ASSERT_FALSE(win.empty()) << "no connected viewer window";
    Image root;
    ASSERT_TRUE(grab_root(peers_.display(), &root, &err)) << err;
    EXPECT_EQ(shows(win, root), "");

    dynamic_cast<Xvnc &>(peers_.server()).stop();
    EXPECT_TRUE(wait_until(
        [&] {
            return x_tool(xvfb_.display(), {"xdotool", "getwindowname", win}).out.find("reconnecting") !=
                   std::string::npos;
        },
        kShow))
        << "the title never said it was reconnecting";
    EXPECT_EQ(shows(win, root), "") << "the last picture is gone";

    TempDir second_dir, third_dir;
    Xvnc second, third;
    XvncOptions o;
    o.width = kWidth, o.height = kHeight, o.password = kPassword, o.port = port;
    ASSERT_TRUE(second.start(second_dir.path(), o, &err)) << err;
    ASSERT_TRUE(show_on_root(second.display(), picture_file(Picture::kFlat, kWidth, kHeight), &err))
        << err;
    ASSERT_TRUE(grab_root(second.display(), &root, &err)) << err;
    EXPECT_EQ(shows(win, root), "") << "after the restart";
    EXPECT_NE(view_.log().find("reconnected"), std::string::npos);

    second.stop();
    o.password = "changed";
    ASSERT_TRUE(third.start(third_dir.path(), o, &err)) << err;
    EXPECT_EQ(view_.wait_exit(Millis(30000)), kExitAuth);
    EXPECT_NE(view_.log().find("wrong or missing password"), std::string::npos);
}

// Clicks in a window scaled to 200 %, text, a Ctrl chord and a named key
// arrive at the server; a key held when the focus goes is released there.
TEST_F(View, InputArrivesAtXvnc) {
    std::string err;
    ASSERT_TRUE(peers_.start_server(ServerKind::kXvnc, kWidth, kHeight, &err)) << err;
    const int d = peers_.display();
    peers_.start_x_client({"xev", "-root", "-event", "keyboard", "-event", "button"}, "xev.log");
    const std::string xev_log = peers_.dir().file("xev.log");
    ASSERT_TRUE(wait_until(
        [&] {
            x_tool(d, {"xdotool", "key", "F12"});
            return read_file(xev_log).find("F12") != std::string::npos;
        },
        kShow, Millis(200)))
        << "xev never reported the probe key";
    const size_t seen = parse_xev(read_file(xev_log)).size();

    start_view({"127.0.0.1::" + std::to_string(peers_.port())});
    const std::string win = window();
    ASSERT_FALSE(win.empty()) << "no connected viewer window";
    const int v = xvfb_.display();
    auto viewer_tool = [&](std::vector<std::string> argv) {
        const CommandResult r = x_tool(v, argv);
        ASSERT_EQ(r.exit_code, 0) << argv[1] << ": " << r.err;
    };
    struct Want {
        const char *type;
        int button;
        unsigned keysym;
        int x = -1, y = -1;
    };
    const Want table[] = {
        {"ButtonPress", 1, 0, 100, 50},  {"ButtonRelease", 1, 0, 100, 50},
        {"ButtonPress", 3, 0, 300, 200}, {"ButtonRelease", 3, 0, 300, 200},
        {"KeyPress", -1, 0x61},          {"KeyRelease", -1, 0x61},
        // xdotool lets go of Ctrl first; the c goes up as what it went
        // down as.
        {"KeyPress", -1, 0xffe3},        {"KeyPress", -1, 0x63},
        {"KeyRelease", -1, 0xffe3},      {"KeyRelease", -1, 0x63},
        {"KeyPress", -1, 0xff0d},        {"KeyRelease", -1, 0xff0d},
        {"KeyPress", -1, 0xffe1},        {"KeyRelease", -1, 0xffe1},
    };
    viewer_tool({"xdotool", "windowsize", "--sync", win, "800", "600"});
    ASSERT_TRUE(wait_until(
        [&] {
            return x_tool(v, {"xdotool", "getwindowname", win}).out.find("200%") !=
                   std::string::npos;
        },
        kShow))
        << "the window was not scaled to 200 %";
    viewer_tool({"xdotool", "windowfocus", "--sync", win});
    viewer_tool({"xdotool", "mousemove", "--window", win, "200", "100", "click", "1"});
    viewer_tool({"xdotool", "mousemove", "--window", win, "601", "401", "click", "3"});
    viewer_tool({"xdotool", "key", "a", "ctrl+c", "Return"});
    viewer_tool({"xdotool", "keydown", "shift"});
    // The focus goes to the root window: the held Shift must be released.
    const std::string info = x_tool(v, {"xwininfo", "-root"}).out;
    const size_t at = info.find("Window id: ");
    ASSERT_NE(at, std::string::npos) << info;
    viewer_tool({"xdotool", "windowfocus", info.substr(at + 11, info.find(' ', at + 11) - at - 11)});

    std::vector<XEvent> ev;
    wait_until(
        [&] {
            ev = parse_xev(read_file(xev_log));
            ev.erase(ev.begin(), ev.begin() + static_cast<long>(seen));
            return ev.size() >= sizeof table / sizeof table[0];
        },
        kShow, Millis(50));
    x_tool(v, {"xdotool", "keyup", "shift"});

    ASSERT_EQ(ev.size(), sizeof table / sizeof table[0]);
    for (size_t i = 0; i < ev.size(); ++i) {
        SCOPED_TRACE("event " + std::to_string(i));
        EXPECT_EQ(ev[i].type, table[i].type);
        if (table[i].button > 0) {
            EXPECT_EQ(ev[i].button, table[i].button);
            EXPECT_EQ(ev[i].root_x, table[i].x);
            EXPECT_EQ(ev[i].root_y, table[i].y);
        } else {
            EXPECT_EQ(ev[i].keysym, table[i].keysym);
        }
    }
}

// cursor=local: the server's pointer shows at the local pointer and only
// there. The server's own picture has no pointer, so the window differs
// from it in a pointer-sized patch, which moves with the local pointer and
// leaves nothing behind. (At 1:1 a pointer Xvnc drew would sit there too;
// test_xvnc.py checks that with cursor=local it draws none. A view-only
// viewer does not help: Xvnc then draws the pointer itself, as the remote
// pointer is not where that client last put it.)
TEST_F(View, PaintsTheServersPointerAtTheLocalOne) {
    std::string err;
    ASSERT_TRUE(peers_.start_server(ServerKind::kXvnc, kWidth, kHeight, &err)) << err;
    const int d = peers_.display();
    ASSERT_TRUE(show_on_root(d, picture_file(Picture::kFlat, kWidth, kHeight), &err)) << err;
    ASSERT_EQ(x_tool(d, {"xsetroot", "-cursor_name", "left_ptr"}).exit_code, 0);
    Image root;
    ASSERT_TRUE(grab_root(d, &root, &err)) << err;
    start_view({"--no-scale", "127.0.0.1::" + std::to_string(peers_.port())});
    const std::string win = window();
    ASSERT_FALSE(win.empty()) << "no connected viewer window";
    struct At {
        int x, y;
    };
    for (const At at : {At{120, 90}, At{300, 200}}) {
        SCOPED_TRACE("pointer at " + std::to_string(at.x) + "," + std::to_string(at.y));
        ASSERT_EQ(x_tool(xvfb_.display(), {"xdotool", "mousemove", "--window", win,
                                           std::to_string(at.x), std::to_string(at.y)})
                      .exit_code,
                  0);
        long inside = 0, outside = 0;
        const bool painted = wait_until(
            [&] {
                Image shown;
                if (!grab_window(xvfb_.display(), win, &shown, &err) ||
                    shown.width != root.width || shown.height != root.height)
                    return false;
                inside = outside = 0;
                for (int y = 0; y < root.height; ++y)
                    for (int x = 0; x < root.width; ++x) {
                        const size_t i = static_cast<size_t>(y) * root.width + x;
                        if ((shown.px[i] & 0xffffff) == (root.px[i] & 0xffffff)) continue;
                        const bool near = std::abs(x - at.x) < 32 && std::abs(y - at.y) < 32;
                        ++(near ? inside : outside);
                    }
                return inside > 0 && outside == 0;
            },
            kShow, Millis(100));
        EXPECT_TRUE(painted) << inside << " pixels differ near the pointer, " << outside
                             << " elsewhere " << err;
    }
}

// vnc-view on a terminal of its own (a pseudo-terminal, which the test
// reads and types into), for the question it asks there.
class OnTerminal {
public:
    OnTerminal(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
        pid_ = forkpty(&fd_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
            std::vector<char *> args;
            for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~OnTerminal() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    // Reads what it wrote so far (so that it never blocks writing).
    void drain() {
        pollfd p{fd_, POLLIN, 0};
        char buf[4096];
        ssize_t got;
        while (poll(&p, 1, 0) == 1 && (got = read(fd_, buf, sizeof buf)) > 0)
            out_.append(buf, static_cast<size_t>(got));
    }
    // Reads until the output holds text; false after timeout.
    bool expect(const std::string &text, Millis timeout) {
        return wait_until(
            [&] {
                drain();
                return out_.find(text) != std::string::npos;
            },
            timeout, Millis(20));
    }
    void type(const std::string &text) {
        EXPECT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // The exit status, or -1 while it runs past timeout.
    int wait_exit(Millis timeout) {
        wait_until(
            [&] {
                drain();
                return waitpid(pid_, &status_, WNOHANG) == pid_;
            },
            timeout);
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    pid_t pid() const { return pid_; }
    const std::string &output() const { return out_; }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = -1;
    std::string out_;
};

// Trust on first use against QEMU with a certificate from a CA the system
// does not know: no shows the certificate and exits with 3; yes remembers
// it in the known-hosts file and connects pinned to it, and the next start
// asks nothing.
TEST_F(View, AsksOnItsTerminalAndRemembersATrustedCertificate) {
    if (!have_certtool()) GTEST_SKIP() << "certtool is not installed (gnutls-bin)";
    Certificates certs;
    std::string err;
    ASSERT_TRUE(certs.make(dir_.path(), &err)) << err;
    QemuOptions o;
    o.tls_x509_dir = dir_.file("x509");
    ASSERT_TRUE(certs.qemu_dir(certs.cert, o.tls_x509_dir, &err)) << err;
    o.paused = true;
    TempDir qemu_dir;
    Qemu qemu;
    ASSERT_TRUE(qemu.start(qemu_dir.path(), "quenvira-tofu", &err, o)) << err;
    const std::string where = "127.0.0.1:" + std::to_string(qemu.port());
    const std::string pin = Certificates::pin(certs.cert);
    const std::string known = dir_.file("config/quenvira-vnc/known_hosts");
    const std::vector<std::string> env = {"DISPLAY=" + xvfb_.display_name(), "SDL_VIDEODRIVER=x11",
                                          "SDL_AUDIODRIVER=dummy", "HOME=" + dir_.path(),
                                          "XDG_CONFIG_HOME=" + dir_.file("config"), "VNC_PASSWORD="};
    const std::vector<std::string> argv = {VNC_VIEW_PATH, "127.0.0.1::" + std::to_string(qemu.port())};
    auto asked = [&](OnTerminal &view) {
        ASSERT_TRUE(view.expect("[y/N]", kShow)) << view.output();
        const std::string out = view.output();
        EXPECT_NE(out.find("The certificate of " + where + " is not trusted"), std::string::npos) << out;
        EXPECT_NE(out.find("CN=127.0.0.1"), std::string::npos) << out;
        EXPECT_NE(out.find("quenvira test CA"), std::string::npos) << out;
        std::string hex;
        for (char ch : out)
            if (std::isxdigit(static_cast<unsigned char>(ch)))
                hex.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
        EXPECT_NE(hex.find(pin.substr(7)), std::string::npos) << "no fingerprint in: " << out;
    };
    {
        OnTerminal view(argv, env);
        ASSERT_NO_FATAL_FAILURE(asked(view));
        view.type("n\n");
        EXPECT_EQ(view.wait_exit(kShow), 3) << view.output();
        EXPECT_EQ(read_file(known), "");
    }
    {
        OnTerminal view(argv, env);
        ASSERT_NO_FATAL_FAILURE(asked(view));
        view.type("y\n");
        EXPECT_TRUE(wait_until(
            [&] {
                view.drain();
                return !x_tool(xvfb_.display(), {"xdotool", "search", "--onlyvisible", "--name", "connected"})
                            .out.empty();
            },
            kShow, Millis(50)))
            << "no connected viewer window: " << view.output();
        EXPECT_EQ(read_file(known), where + " " + pin + "\n");
        kill(view.pid(), SIGTERM);
        EXPECT_EQ(view.wait_exit(kShow), 0) << view.output();
    }
    // Remembered: connected without a question.
    start_view({"127.0.0.1::" + std::to_string(qemu.port())},
               "XDG_CONFIG_HOME=" + dir_.file("config"));
    EXPECT_FALSE(window().empty()) << view_.log();
    EXPECT_EQ(view_.log().find("[y/N]"), std::string::npos) << view_.log();
}

}  // namespace

#endif  // VNC_VIEW_PATH
