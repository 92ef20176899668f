// gvncviewer (gtk-vnc) logs in to the Apple DH and MSLogonII sides of
// python/tests/rfb_scheme_server.py, the server the library's Python tests
// check it against: a second client that agrees with that server on the
// key exchange, the key derivation and the credentials' layout.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "interop_peers.h"
#include "interop_process.h"

namespace {

using namespace interop;

class GvncSchemes : public ::testing::TestWithParam<const char *> {};

TEST_P(GvncSchemes, LogsInToTheScriptedServer) {
    if (!on_path("gvncviewer") || !on_path("xdotool") || !on_path("python3"))
        GTEST_SKIP() << "needs gvncviewer, xdotool and python3";
    TempDir dir;
    Xvfb xvfb;
    std::string err;
    ASSERT_TRUE(xvfb.start(dir.path(), 800, 600, &err)) << err;
    // gvncviewer takes a display number: the port is 5900 + a number.
    const int number = pick_display(10, 99);
    ASSERT_GE(number, 0);
    SpawnOptions so;
    so.log_path = dir.file("server.log");
    Process server({"python3", std::string(QV_SOURCE_DIR) + "/python/tests/rfb_scheme_server.py", "--scheme",
                    GetParam(), "--port", std::to_string(5900 + number), "--username", "erin",
                    "--password", "Open sesame"},
                   so);
    ASSERT_TRUE(wait_until([&] { return tcp_listening(5900 + number); }, Millis(10000))) << server.log();
    SpawnOptions vo;
    vo.env = {"DISPLAY=" + xvfb.display_name(), "HOME=" + dir.path()};
    vo.log_path = dir.file("viewer.log");
    Process viewer({"gvncviewer", "127.0.0.1:" + std::to_string(number)}, vo);
    const int d = xvfb.display();
    std::string dialog;
    wait_until(
        [&] {
            const CommandResult r = x_tool(d, {"xdotool", "search", "--onlyvisible", "--name", "Authentication required"});
            dialog = r.out.substr(0, r.out.find('\n'));
            return !dialog.empty();
        },
        Millis(20000));
    ASSERT_FALSE(dialog.empty()) << "gvncviewer asked for no credentials\n" << viewer.log();
    // A click in the user name field, then user name, Tab, password.
    ASSERT_EQ(x_tool(d, {"xdotool", "mousemove", "--window", dialog, "150", "20", "click", "1"}).exit_code, 0);
    x_tool(d, {"xdotool", "type", "--delay", "20", "erin"});
    x_tool(d, {"xdotool", "key", "Tab"});
    x_tool(d, {"xdotool", "type", "--delay", "20", "Open sesame"});
    x_tool(d, {"xdotool", "key", "Return"});
    EXPECT_TRUE(wait_until([&] { return server.log().find("password ok") != std::string::npos; }, Millis(20000)))
        << server.log() << viewer.log();
    EXPECT_NE(std::string::npos, server.log().find("'username': 'erin'")) << server.log();
    EXPECT_TRUE(wait_until(
        [&] {
            return x_tool(d, {"xdotool", "search", "--onlyvisible", "--name", "schemes - GVncViewer"}).exit_code == 0;
        },
        Millis(20000)))
        << "no viewer window for the desktop";
    viewer.stop();
    server.stop();
}

INSTANTIATE_TEST_SUITE_P(Schemes, GvncSchemes, ::testing::Values("dh", "mslogon2"),
                         [](const ::testing::TestParamInfo<const char *> &i) { return std::string(i.param); });

}  // namespace
