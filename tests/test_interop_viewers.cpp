// The library's loopback test server seen by real viewers: both show its
// canned 640 x 480 picture exactly, with and without a password.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "interop_image.h"
#include "interop_peers.h"
#include "interop_process.h"
#include "quenvira_vnc.h"

namespace {

using namespace interop;

const char *kPassword = "quenvira";
const Millis kShowTimeout(20000);

struct ServerGuard {
    ~ServerGuard() { vnc_test_server_stop(); }
};

class Viewers : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(xvfb_.start(dir_.path(), 1024, 768, &err)) << err;
        // gvncviewer takes a display number, so the port is 5900 + a number
        // below 100.
        number_ = pick_display(10, 99);
        ASSERT_GE(number_, 0) << "no free port in 5910..5999";
        password_ = GetParam() ? kPassword : "";
        ASSERT_EQ(vnc_test_server_start(5900 + number_, GetParam() ? kPassword : nullptr), 0);
        ASSERT_TRUE(wait_until([&] { return tcp_listening(5900 + number_); }, Millis(5000)));
    }
    void TearDown() override {
        if (HasFailure())
            std::cerr << "---- viewer log (tail) ----\n" << tail_lines(viewer_.log(), 30) << "\n";
        viewer_.stop();
    }

    Process start_viewer(const std::vector<std::string> &argv) {
        SpawnOptions o;
        o.env = {"DISPLAY=" + xvfb_.display_name(), "HOME=" + dir_.path()};
        o.cwd = dir_.path();
        o.log_path = dir_.file("viewer.log");
        return Process(argv, o);
    }

    // The first visible window whose title contains name.
    std::string find_window(const std::string &name) {
        std::string id;
        wait_until(
            [&] {
                if (!viewer_.running()) return true;
                const CommandResult r =
                    x_tool(xvfb_.display(), {"xdotool", "search", "--onlyvisible", "--name", name});
                id = r.out.substr(0, r.out.find('\n'));
                return r.exit_code == 0 && !id.empty();
            },
            kShowTimeout, Millis(50));
        return id;
    }

    ServerGuard server_guard_;  // stops the test server after everything else
    TempDir dir_;
    Xvfb xvfb_;
    Process viewer_;
    int number_ = -1;
    std::string password_;
};

TEST_P(Viewers, TigerVncViewerShowsTheCannedPicture) {
    std::vector<std::string> argv = {
        "xtigervncviewer", "-AutoSelect=0",  "-PreferredEncoding", "ZRLE",
        "-FullColor",      "-NoJPEG",        "-MenuKey=",          "-Shared",
        "-ViewOnly",       "-SecurityTypes", "None,VncAuth"};
    if (!password_.empty()) {
        const std::string file = dir_.file("viewer.passwd");
        ASSERT_TRUE(make_password_file(file, password_));
        argv.insert(argv.end(), {"-PasswordFile", file});
    }
    argv.push_back("127.0.0.1::" + std::to_string(5900 + number_));
    viewer_ = start_viewer(argv);

    const std::string win = find_window("QuenviraMockVNC");
    ASSERT_FALSE(win.empty()) << "no viewer window for the test server's desktop";
    const Image want = canned_picture();
    Image shown;
    Diff d;
    std::string err;
    const bool same = wait_until(
        [&] {
            if (!grab_window(xvfb_.display(), win, &shown, &err)) return false;
            d = compare(shown, want);
            return d.count == 0;
        },
        kShowTimeout, Millis(100));
    if (!same) write_file(dir_.file("shown.ppm"), to_ppm(shown));
    EXPECT_TRUE(same) << "window " << shown.width << "x" << shown.height << ": " << d.str() << " "
                      << err;
    EXPECT_TRUE(viewer_.running()) << "the viewer gave up";
}

TEST_P(Viewers, GvncViewerShowsTheCannedPicture) {
    viewer_ = start_viewer({"gvncviewer", "127.0.0.1:" + std::to_string(number_)});
    if (!password_.empty()) {
        // It asks in a dialog; with the pointer over the dialog, typing goes
        // to its password field.
        const std::string dialog = find_window("Authentication required");
        ASSERT_FALSE(dialog.empty()) << "gvncviewer asked for no password";
        const int d = xvfb_.display();
        ASSERT_EQ(x_tool(d, {"xdotool", "mousemove", "--window", dialog, "5", "60"}).exit_code, 0);
        ASSERT_EQ(x_tool(d, {"xdotool", "type", "--delay", "20", password_}).exit_code, 0);
        ASSERT_EQ(x_tool(d, {"xdotool", "key", "Return"}).exit_code, 0);
    }
    const std::string win = find_window("QuenviraMockVNC");
    ASSERT_FALSE(win.empty()) << "no viewer window for the test server's desktop";

    // F11 saves what the viewer shows as gvncviewer.png in its folder. It
    // has to be a real key press (the X test extension, not a sent event),
    // and it goes to the window under the pointer.
    ASSERT_EQ(
        x_tool(xvfb_.display(), {"xdotool", "mousemove", "--window", win, "300", "200"}).exit_code,
        0);
    const std::string png = dir_.file("gvncviewer.png");
    const Image want = canned_picture();
    Image shown;
    Diff d;
    std::string err;
    const bool same = wait_until(
        [&] {
            std::remove(png.c_str());
            x_tool(xvfb_.display(), {"xdotool", "key", "F11"});
            if (!wait_until([&] { return !read_file(png).empty(); }, Millis(3000))) return false;
            // The file may still be being written: a short or broken read
            // fails the conversion and the loop tries again.
            const CommandResult r =
                run_command({"/usr/bin/convert-im6.q16", png, "-depth", "8", "ppm:-"});
            if (r.exit_code != 0 || !parse_ppm(r.out, &shown, &err)) return false;
            d = compare(shown, want);
            return d.count == 0;
        },
        kShowTimeout, Millis(100));
    EXPECT_TRUE(same) << "saved picture " << shown.width << "x" << shown.height << ": " << d.str()
                      << " " << err;
    EXPECT_TRUE(viewer_.running()) << "the viewer gave up";
}

INSTANTIATE_TEST_SUITE_P(Security, Viewers, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return std::string(i.param ? "VncAuth" : "None");
                         });

}  // namespace
