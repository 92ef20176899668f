// vnc-view: a small VNC viewer on SDL2, and the reference host of the
// library. It uses the public header only. This file has its command line
// and main; viewer.h says where the rest is. The patterns worth copying
// are viewer::run (view_loop.cpp), which sleeps until SDL or the library
// has something, and viewer::pull_pixels (view_window.cpp), which holds the
// framebuffer lock only while copying the changed rectangle.
#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quenvira_vnc.h"
#include "tool_common.h"
#include "viewer.h"

namespace {

using namespace qv_tool;
using namespace qv_view;

void print_help() {
    std::printf(
        "Usage: %s [OPTIONS] HOST[:DISPLAY|::PORT]\n"
        "       %s [OPTIONS] --demo\n"
        "\n"
        "Shows a VNC (RFB) server's screen in a window and sends it the pointer,\n"
        "the keyboard and the local clipboard.\n"
        "\n"
        "Server address:\n"
        "  HOST            port 5900\n"
        "  HOST:DISPLAY    port 5900 + DISPLAY\n"
        "  HOST::PORT      that TCP port\n"
        "  IPv6 addresses go in brackets: [::1], [::1]:1, [::1]::5901\n"
        "\n"
        "Options:\n"
        "  --password-env NAME   take the password from environment variable NAME\n"
        "                        (default: VNC_PASSWORD, when it is set)\n"
        "  --password-file FILE  take the password from the first line of FILE\n"
        "  -p, --password PW     the password itself (visible to other users in\n"
        "                        the process list: prefer the two above)\n"
        "  --timeout SECONDS     give up connecting after this long (default %d);\n"
        "                        once connected, the viewer stays until closed\n"
        "  --no-scale            show the screen 1:1 (default: scaled to fit the\n"
        "                        window, aspect ratio kept)\n"
        "  --view-only           send nothing to the server: no pointer, keys or\n"
        "                        clipboard\n"
        "  --cursor MODE         local (default): the server sends its pointer's\n"
        "                        shape, drawn here at the local pointer; server: it\n"
        "                        draws its pointer into the screen (the default with\n"
        "                        --view-only, where the remote pointer stays put)\n"
        "  --no-qemu-keys        keys as keysyms only (default: also as the scancodes\n"
        "                        of a US keyboard, QEMU's key event, to servers that\n"
        "                        take it, so that QEMU types '!' and not '1'; others\n"
        "                        ignore it)\n"
        "  --resize-remote       ask the server to resize its desktop to the\n"
        "                        window's size whenever the two differ for a moment\n"
        "                        (a window resized, or opened smaller than the\n"
        "                        desktop); the server must support it, else the\n"
        "                        picture scales\n"
        "  --reconnect           once connected, when the connection is lost: keep\n"
        "                        the window with the last picture and connect again\n"
        "                        with the same password and options, after 1 s,\n"
        "                        then 2, 4 ... up to 30 s between attempts (varied\n"
        "                        by a fifth); each loss, failed attempt and\n"
        "                        reconnect is told on stderr; a refused password\n"
        "                        ends it (exit status 4)\n"
        "%s"
        "%s"
        "  --demo                start the library's built-in test server on a free\n"
        "                        loopback port (from %d upward) and view it\n"
        "  -h, --help            show this help and exit\n"
        "  --version             show the library version and exit\n"
        "\n"
        "%s"
        "\n"
        "Keys: text goes as the characters typed; other keys, and letters typed\n"
        "with Ctrl or Alt held, go as the keys themselves. Keys and buttons still\n"
        "held when the window loses focus are released at the server.\n"
        "  F8 then Delete   send Ctrl-Alt-Del\n"
        "  F8 then S        switch between scaled to fit and 1:1\n"
        "  F8 then F8       send F8 itself\n"
        "\n"
        "Clipboard: text copied here goes to the server while the window has the\n"
        "focus, or when it gains it; text copied on the server comes to the local\n"
        "clipboard. Both in UTF-8 with a server that takes it (Extended\n"
        "Clipboard), else as Latin-1 (other characters become '?').\n"
        "\n"
        "The server's bell marks the window as wanting attention until it has the\n"
        "focus (how that shows is up to the window manager).\n"
        "\n"
        "The title shows the desktop's name, the server, its desktop size, the\n"
        "connection state (connected, reconnecting, disconnected) and the scale.\n"
        "\n"
        "Exit status:\n"
        "  0  the window was closed\n"
        "  1  internal failure (no window could be opened, out of memory, test\n"
        "     server would not start)\n"
        "  2  usage error, or the password source cannot be read\n"
        "  3  host not found, unreachable, connection refused or handshake failed\n"
        "     (the server's certificate refused and not trusted included)\n"
        "  4  authentication failed (wrong or missing password)\n"
        "  5  timed out connecting\n"
        "  7  the connection was lost (the server closed it or went away), without\n"
        "     --reconnect\n",
        program(), program(), kDefaultTimeoutSeconds, kSecurityOptionsHelp, kEncodingOptionsHelp,
        kDemoFirstPort, kKnownHostsAskHelp);
}

// Returns -1 when the command line was fine, else the exit status.
int parse_options(int argc, char **argv, options *o) {
    std::vector<std::string> positional;
    bool only_positional = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (only_positional || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            only_positional = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            print_help();
            return kExitOk;
        }
        if (arg == "--version") {
            std::printf("vnc-view (quenvira-vnc %s)\n", vnc_version());
            return kExitOk;
        }
        if (arg == "--demo") {
            o->demo = true;
            continue;
        }
        if (arg == "--no-scale") {
            o->scale = false;
            continue;
        }
        if (arg == "--view-only") {
            o->view_only = true;
            continue;
        }
        if (arg == "--no-qemu-keys") {
            o->qemu_keys = false;
            continue;
        }
        if (arg == "--resize-remote") {
            o->resize_remote = true;
            continue;
        }
        if (arg == "--reconnect") {
            o->reconnect = true;
            continue;
        }
        if (arg == "--cursor" || arg.rfind("--cursor=", 0) == 0) {
            if (arg == "--cursor" && i + 1 >= argc) return usage_error("--cursor needs a value");
            o->cursor = arg == "--cursor" ? argv[++i] : arg.substr(9);
            if (o->cursor != "local" && o->cursor != "server")
                return usage_error("--cursor needs local or server, not '%s'", o->cursor.c_str());
            continue;
        }
        const option_result common = parse_common_option(argc, argv, &i, o);
        if (common == option_result::kError) return kExitUsage;
        if (common == option_result::kTaken) continue;
        return usage_error("unknown option '%s'", arg.c_str());
    }
    const int checked = check_common_options(*o);
    if (checked >= 0) return checked;
    if (o->demo) {
        if (!positional.empty()) return usage_error("--demo takes no server address");
        return -1;
    }
    if (positional.size() != 1)
        return usage_error(positional.empty() ? "need a server address" : "too many arguments");
    o->target = positional[0];
    return -1;
}

// The library's opt-in options this viewer uses: the pointer drawn here,
// UTF-8 clipboards, desktop resizing when asked for, and QEMU's key event
// (a keysym alone goes through QEMU's keymap, where '!' is the 1 key; the
// Shift held here travels with the scancode).
bool set_options(vnc_client_t *client, const options &o) {
    const std::string cursor = !o.cursor.empty() ? o.cursor : o.view_only ? "server" : "local";
    const char *const set[][2] = {{"cursor", cursor.c_str()},
                                  {"clipboard", "utf8"},
                                  {"desktop-size", o.resize_remote ? "extended" : "basic"},
                                  {"qemu-keys", o.qemu_keys ? "on" : "off"}};
    for (const auto &option : set) {
        if (vnc_set_option(client, option[0], option[1]) != 0) {
            complain("cannot set option %s=%s: %s", option[0], option[1], vnc_last_error());
            return false;
        }
    }
    return true;
}

// Connects; a certificate that fails verification is shown on the terminal
// and, when the user trusts it, remembered and pinned for a second attempt
// (unless the command line chose the certificate policy itself).
bool connect_trusting(vnc_client_t *client, const std::string &host, int port, const char *pw,
                      const options &o, steady::time_point deadline, const std::string &where,
                      viewer &v, int *status) {
    const auto tick = [&v] { v.tick_while_connecting(); };
    if (connect_before(client, host, port, pw, deadline, o.timeout_s, tick) == 0) {
        remember_rsa_key(client, where);
        return true;
    }
    std::string why = vnc_last_error(), reason = end_reason(client);
    security_info info = get_security_info(client);
    if (certificate_refused(info) && o.pin.empty() && !o.insecure &&
        ask_trust(where, info, !known_host_pin(where).empty(), tick)) {
        std::string failure;
        const std::string pin = trusted_pin(info);
        if (!remember_known_host(where, pin, &failure))
            complain("%s (trusted for this time only)", failure.c_str());
        if (vnc_set_option(client, "tls-pin", pin.c_str()) != 0) {
            complain("cannot pin %s: %s", pin.c_str(), vnc_last_error());
            *status = kExitInternal;
            return false;
        }
        // The time spent answering is not the server's.
        const steady::time_point again =
            steady::now() + std::chrono::microseconds(static_cast<long long>(o.timeout_s * 1e6));
        if (connect_before(client, host, port, pw, again, o.timeout_s, tick) == 0) return true;
        why = vnc_last_error();
        reason = end_reason(client);
        info = get_security_info(client);
    }
    *status = report_connect_failure(where, why, reason, info);
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    set_program("vnc-view");
    options o;
    const int parsed = parse_options(argc, argv, &o);
    if (parsed >= 0) return parsed;
    const steady::time_point deadline =
        steady::now() + std::chrono::microseconds(static_cast<long long>(o.timeout_s * 1e6));

    std::string password;
    bool have_password = false;
    const int loaded = load_password(o, &password, &have_password);
    if (loaded >= 0) return loaded;
    const char *pw = have_password ? password.c_str() : nullptr;

    std::string host;
    int port = 0;
    if (o.demo) {
        port = start_demo_server(pw);
        if (port < 0) return kExitInternal;
        host = "127.0.0.1";
    } else {
        std::string why;
        if (!parse_target(o.target, &host, &port, &why))
            return usage_error("bad server address '%s': %s", o.target.c_str(), why.c_str());
    }
    const std::string where = endpoint(host, port);

    // A viewer left open should not keep the local screen awake.
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    // Video (with its events) only: no audio, no game controllers.
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        complain("cannot open a window: %s", SDL_GetError());
        if (o.demo) vnc_test_server_stop();
        return kExitInternal;
    }
    // Without a display SDL falls back to drivers that show nothing; a
    // viewer nobody can see would run unnoticed.
    const char *driver = SDL_GetCurrentVideoDriver();
    const char *asked = std::getenv("SDL_VIDEODRIVER");
    if (driver && (!std::strcmp(driver, "offscreen") || !std::strcmp(driver, "dummy")) &&
        !(asked && !std::strcmp(asked, driver))) {
        complain("cannot open a window: no display (is DISPLAY or WAYLAND_DISPLAY set?)");
        SDL_Quit();
        if (o.demo) vnc_test_server_stop();
        return kExitInternal;
    }
    // SDL would back an X11 window surface with an OpenGL texture; where
    // there is no GPU that loads Mesa's LLVM (55 MB) and redraws the whole
    // window for each change. X11's own shared-memory image shows only the
    // changed rectangle. (The environment variable still wins.) Other
    // drivers keep SDL's choice: some have no surface without it.
    if (driver && !std::strcmp(driver, "x11")) SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    int status = kExitOk;
    {
        viewer v(o, where);
        vnc_client_t *client = nullptr;
        if (!v.open_window()) {
            status = kExitInternal;
        } else if (!(client = vnc_create())) {
            complain("cannot create a client: %s", vnc_last_error());
            status = kExitInternal;
        } else if (!set_options(client, o)) {
            status = kExitInternal;
        } else if (!apply_encoding_options(client, o) || !apply_security_options(client, o, where)) {
            status = kExitUsage;
        } else if (!connect_trusting(client, host, port, pw, o, deadline, where, v, &status)) {
            // status says why
        } else {
            status = v.run(client, host, port, pw);
        }
        vnc_destroy(client);
    }
    if (o.demo) vnc_test_server_stop();
    SDL_Quit();
    return status;
}
