// The opt-in extensions against real servers, each judged on the server's
// side: Xvnc resizes its screen on request (xrandr), sends the pointer shape
// set on its root window and leaves the pointer out of the picture; QEMU
// takes keys as scancodes (its own key trace).
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "interop_client.h"
#include "interop_peers.h"
#include "interop_session.h"
#include "vnc_client_internal.h"

namespace {

using namespace interop;

const Millis kArrival(10000);

// A handle with options set, connected to port once its first picture is in.
ClientPtr connect_with(int port, const std::vector<std::pair<const char *, const char *>> &opts) {
    ClientPtr c = make_client();
    for (const auto &o : opts) EXPECT_EQ(vnc_set_option(c.get(), o.first, o.second), 0) << o.first;
    EXPECT_EQ(vnc_connect(c.get(), "127.0.0.1", port, nullptr), 0) << vnc_last_error();
    EXPECT_TRUE(wait_until([&] { return vnc_get_update_count(c.get()) >= 1; }, kArrival))
        << "no first picture";
    return c;
}

std::pair<int, int> dimensions(vnc_client_t *c) {
    int w = 0, h = 0;
    vnc_get_dimensions(c, &w, &h);
    return {w, h};
}

// The X screen's current size as xrandr reports it.
std::pair<int, int> xrandr_size(int display) {
    const std::string out = x_tool(display, {"xrandr", "--current"}).out;
    int w = -1, h = -1;
    const size_t at = out.find("current ");
    if (at != std::string::npos) std::sscanf(out.c_str() + at, "current %d x %d", &w, &h);
    return {w, h};
}

TEST(Extensions, XvncResizesItsScreenOnRequest) {
    PeerSession peers;
    std::string err;
    ASSERT_TRUE(peers.start_server(ServerKind::kXvnc, 400, 300, &err)) << err;
    ClientPtr client = connect_with(peers.port(), {{"desktop-size", "extended"}});
    vnc_client_t *c = client.get();
    ASSERT_FALSE(::testing::Test::HasFailure());
    // Past Xvnc's largest screen (32768) the layout is refused and nothing
    // changes; the status is the server's, so only "not done" is asked for.
    struct Case {
        int w, h;
        bool done;
    };
    const Case cases[] = {{640, 480, true}, {40000, 200, false}, {400, 300, true}};
    std::pair<int, int> size{400, 300};
    for (const Case &k : cases) {
        SCOPED_TRACE(std::to_string(k.w) + "x" + std::to_string(k.h));
        unsigned before = 0, serial = 0;
        vnc_get_desktop_size_status(c, &before);
        ASSERT_EQ(vnc_request_desktop_size(c, k.w, k.h), 0) << vnc_last_error();
        int status = -1;
        ASSERT_TRUE(wait_until(
            [&] {
                status = vnc_get_desktop_size_status(c, &serial);
                return serial != before;
            },
            kArrival))
            << "no answer";
        if (k.done) size = {k.w, k.h};
        if (k.done)
            EXPECT_EQ(status, 0);
        else
            EXPECT_GT(status, 0);
        EXPECT_EQ(xrandr_size(peers.display()), size);
        EXPECT_TRUE(wait_until([&] { return dimensions(c) == size; }, kArrival))
            << dimensions(c).first << "x" << dimensions(c).second;
        const Match m = wait_screen_match(c, peers.display(), kArrival);
        EXPECT_TRUE(m.ok) << m.str();
    }
}

// An X cursor drawn in xsetroot's colours: source bit set foreground, else
// background, and transparent outside the mask. Every edge row and column
// has an opaque pixel, so the server has nothing to crop.
struct Shape {
    int w, h, hot_x, hot_y;
    std::function<bool(int, int)> source, mask;
};
constexpr uint32_t kFg = 0xFF0000, kBg = 0x0000FF;

std::string xbm(const TempDir &dir, const std::string &name, const Shape &s,
                const std::function<bool(int, int)> &bit) {
    std::string text = "#define c_width " + std::to_string(s.w) + "\n#define c_height " +
                       std::to_string(s.h) + "\n#define c_x_hot " + std::to_string(s.hot_x) +
                       "\n#define c_y_hot " + std::to_string(s.hot_y) +
                       "\nstatic unsigned char c_bits[] = {\n";
    for (int y = 0; y < s.h; ++y)
        for (int x0 = 0; x0 < s.w; x0 += 8) {
            unsigned byte = 0;
            for (int b = 0; b < 8 && x0 + b < s.w; ++b)
                if (bit(x0 + b, y)) byte |= 1u << b;  // first pixel in the low bit
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x,", byte);
            text += hex;
        }
    text.back() = '}';
    const std::string path = dir.file(name + ".xbm");
    return write_file(path, text + ";\n") ? path : "";
}

TEST(Extensions, XvncSendsTheRootWindowsCursor) {
    PeerSession peers;
    std::string err;
    ASSERT_TRUE(peers.start_server(ServerKind::kXvnc, 400, 300, &err)) << err;
    ClientPtr local = connect_with(peers.port(), {{"cursor", "local"}});
    ClientPtr painted = connect_with(peers.port(), {});
    ASSERT_FALSE(::testing::Test::HasFailure());
    const Shape shapes[] = {
        {16, 16, 3, 5, [](int x, int y) { return (x + y) % 3 == 0; },
         [](int x, int y) { return x < 12 || y < 12; }},
        {8, 24, 7, 0, [](int x, int) { return x < 4; }, [](int, int y) { return y % 4 != 1; }},
    };
    // A grey root, so that the painted pointer shows.
    ASSERT_EQ(x_tool(peers.display(), {"xsetroot", "-solid", "gray50"}).exit_code, 0);
    const int px = 200, py = 150;
    unsigned serial = 0;
    vnc_get_cursor(local.get(), nullptr, 0, nullptr, nullptr, nullptr, nullptr, &serial);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE("shape " + std::to_string(i));
        const Shape &s = shapes[i];
        const std::string src = xbm(peers.dir(), "src" + std::to_string(i), s, s.source);
        const std::string mask = xbm(peers.dir(), "mask" + std::to_string(i), s, s.mask);
        const CommandResult r = x_tool(peers.display(), {"xsetroot", "-cursor", src, mask, "-fg", "red",
                                                         "-bg", "blue"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        // Xvnc paints the pointer itself, and sends an empty shape, while
        // the pointer is not where this client last put it.
        ASSERT_EQ(vnc_send_pointer(local.get(), px, py, 0), 0);

        int w = 0, h = 0, hx = -1, hy = -1;
        unsigned now = serial;
        std::vector<uint32_t> got(static_cast<size_t>(s.w) * s.h);
        const int bytes = static_cast<int>(got.size() * 4);
        EXPECT_TRUE(wait_until(
            [&] {
                return vnc_get_cursor(local.get(), got.data(), bytes, &w, &h, &hx, &hy, &now) ==
                           bytes &&
                       now != serial && w == s.w && h == s.h;
            },
            kArrival))
            << "cursor " << w << "x" << h << ", serial " << now;
        serial = now;
        EXPECT_EQ(hx, s.hot_x);
        EXPECT_EQ(hy, s.hot_y);
        long wrong = 0;
        for (int y = 0; y < s.h && w == s.w && h == s.h; ++y)
            for (int x = 0; x < s.w; ++x) {
                const uint32_t want = !s.mask(x, y) ? 0 : (0xFF000000u | (s.source(x, y) ? kFg : kBg));
                const uint32_t p = got[static_cast<size_t>(y) * s.w + x];
                if ((p >> 24 ? p : 0) != want) ++wrong;
            }
        EXPECT_EQ(wrong, 0) << "pixels unlike the X cursor";

        // Xvnc paints the pointer for the other client (its hot spot pixel
        // is opaque foreground in both shapes)...
        EXPECT_TRUE(wait_until(
            [&] {
                const Image fb = snapshot(painted.get());
                return !fb.empty() && fb.at(px, py) == (s.source(s.hot_x, s.hot_y) ? kFg : kBg);
            },
            kArrival))
            << "the pointer never showed in the plain client's picture";
        // ...and leaves it out of this one's: it equals the screen.
        const Match m = wait_screen_match(local.get(), peers.display(), kArrival);
        EXPECT_TRUE(m.ok) << m.str();
    }
}

TEST(Extensions, QemuTakesKeysAsScancodes) {
    TempDir dir;
    Qemu qemu;
    std::string err;
    ASSERT_TRUE(qemu.start(dir.path(), "quenvira-qemu", &err)) << err;
    ClientPtr client = connect_with(qemu.port(), {{"qemu-keys", "on"}});
    vnc_client_t *c = client.get();
    ASSERT_FALSE(::testing::Test::HasFailure()) << tail_lines(qemu.log(), 20);
    char name[64];
    vnc_get_desktop_name(c, name, sizeof name);
    EXPECT_STREQ(name, "QEMU (quenvira-qemu)");
    ASSERT_TRUE(wait_until([&] { return c->qemu_keys_ok.load() == 1; }, kArrival));

    // Keysym, the scancode QEMU should see and the key it makes of it.
    struct Key {
        uint32_t sym, code;
        const char *qcode;
    };
    const Key keys[] = {{0x61, 0x1e, "a"},          {0xffe1, 0x2a, "shift"}, {0x41, 0x1e, "a"},
                        {0x21, 0x02, "1"},          {0xffe1, 0x2a, "shift"}, {0xff0d, 0x1c, "ret"},
                        {0xff52, 0xc8, "up"},       {0xff8d, 0x9c, "kp_enter"},
                        {0xffe4, 0x9d, "ctrl_r"}};
    // Shift is held across 'A' and '!', released with the second press.
    std::string want_ext, want_qcode;
    auto send = [&](const Key &k, int down) {
        ASSERT_EQ(vnc_send_key(c, k.sym, down), 0);
        char line[128];
        std::snprintf(line, sizeof line, "down %d, sym 0x%x, keycode 0x%x\n", down, k.sym, k.code);
        want_ext += line;
        want_qcode += std::string(k.qcode) + " " + std::to_string(down) + "\n";
    };
    for (size_t i = 0; i < sizeof keys / sizeof keys[0]; ++i) {
        const bool shift = keys[i].sym == 0xffe1;
        send(keys[i], shift ? i == 1 : 1);
        if (!shift) send(keys[i], 0);
    }

    // The trace's lines: "vnc_key_event_ext down 1, sym 0x61, keycode 0x1e
    // [a]" and "input_event_key_qcode con -1, key qcode a, down 1".
    std::string ext, qcode;
    auto parse = [&] {
        ext.clear();
        qcode.clear();
        std::istringstream in(qemu.trace());
        std::string line;
        while (std::getline(in, line)) {
            size_t at;
            if ((at = line.find("vnc_key_event_ext ")) != std::string::npos)
                ext += line.substr(at + 18, line.rfind(" [") - at - 18) + "\n";
            char key[32];
            int down;
            if ((at = line.find("key qcode ")) != std::string::npos &&
                std::sscanf(line.c_str() + at, "key qcode %31[^,], down %d", key, &down) == 2)
                qcode += std::string(key) + " " + std::to_string(down) + "\n";
        }
        return qcode.size() >= want_qcode.size();
    };
    wait_until(parse, kArrival, Millis(50));
    EXPECT_EQ(ext, want_ext);
    EXPECT_EQ(qcode, want_qcode);
}

}  // namespace
