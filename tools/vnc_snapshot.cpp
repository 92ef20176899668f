// vnc-snapshot: connects to a VNC server, waits for its screen and writes it
// as a PNG. Uses the library through its public header only, like any host.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "quenvira_vnc.h"
#include "png_write.h"
#include "tool_common.h"

namespace {

using namespace qv_tool;

// The picture is taken once the library counts an update: before that,
// some pixels of the screen have not been drawn yet.
constexpr int kPollMs = 10;

void print_help() {
    std::printf(
        "Usage: %s [OPTIONS] HOST[:DISPLAY|::PORT] OUTPUT.png\n"
        "       %s --demo [OUTPUT.png]\n"
        "\n"
        "Connects to a VNC (RFB) server, waits for its screen and writes it as an\n"
        "8-bit RGB PNG.\n"
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
        "  --timeout SECONDS     give up after this long, connecting included\n"
        "                        (default %d)\n"
        "  --demo [OUTPUT.png]   start the library's built-in test server on a free\n"
        "                        loopback port (from %d upward), snapshot it into\n"
        "                        OUTPUT.png (default quenvira-demo.png) and stop it\n"
        "  --cursor MODE         local: the server leaves its pointer out of the\n"
        "                        picture (default server: it is there when the\n"
        "                        server draws it)\n"
        "  --compress HOW        fast (default): quick to write, a little larger;\n"
        "                        best: smaller, several times slower\n"
        "%s"
        "%s"
        "  -q, --quiet           print nothing on success\n"
        "  -h, --help            show this help and exit\n"
        "  --version             show the library version and exit\n"
        "\n"
        "%s"
        "\n"
        "When the picture is taken: once the server has drawn every pixel of\n"
        "its screen. Nothing is written when the timeout passes first or the\n"
        "connection ends before that: the exit status and a message say why.\n"
        "\n"
        "Exit status:\n"
        "  0  picture written\n"
        "  1  internal failure (out of memory, test server would not start)\n"
        "  2  usage error, or the password source cannot be read\n"
        "  3  host not found, unreachable, connection refused, handshake failed\n"
        "     (the server's certificate refused included), or the connection\n"
        "     ended before the whole screen arrived\n"
        "  4  authentication failed (wrong or missing password)\n"
        "  5  timed out (connecting, or waiting for the whole screen)\n"
        "  6  output file cannot be written\n",
        program(), program(), kDefaultTimeoutSeconds, kDemoFirstPort, kSecurityOptionsHelp,
        kEncodingOptionsHelp, kKnownHostsReadHelp);
}

struct options : common_options {
    bool demo = false;
    bool quiet = false;
    bool local_cursor = false;
    bool best = false;  // libpng's zlib at its default level: smaller, slower
    std::string target;
    std::string output;
};

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
            std::printf("vnc-snapshot (quenvira-vnc %s)\n", vnc_version());
            return kExitOk;
        }
        if (arg == "-q" || arg == "--quiet") {
            o->quiet = true;
            continue;
        }
        if (arg == "--demo") {
            o->demo = true;
            continue;
        }
        if (arg == "--cursor" || arg.rfind("--cursor=", 0) == 0) {
            if (arg == "--cursor" && i + 1 >= argc) return usage_error("--cursor needs a value");
            const std::string mode = arg == "--cursor" ? argv[++i] : arg.substr(9);
            if (mode != "local" && mode != "server")
                return usage_error("--cursor needs local or server, not '%s'", mode.c_str());
            o->local_cursor = mode == "local";
            continue;
        }
        if (arg == "--compress" || arg.rfind("--compress=", 0) == 0) {
            if (arg == "--compress" && i + 1 >= argc) return usage_error("--compress needs a value");
            const std::string how = arg == "--compress" ? argv[++i] : arg.substr(11);
            if (how != "fast" && how != "best")
                return usage_error("--compress needs fast or best, not '%s'", how.c_str());
            o->best = how == "best";
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
        if (positional.size() > 1) return usage_error("--demo takes at most one file name");
        o->output = positional.empty() ? "quenvira-demo.png" : positional[0];
    } else {
        if (positional.size() != 2)
            return usage_error(positional.size() < 2 ? "need a server address and an output file"
                                                     : "too many arguments");
        o->target = positional[0];
        o->output = positional[1];
    }
    // A name that promises another format is refused rather than filled with PNG.
#ifdef _WIN32
    const size_t slash = o->output.find_last_of("/\\:"), dot = o->output.find_last_of('.');
#else
    const size_t slash = o->output.find_last_of('/'), dot = o->output.find_last_of('.');
#endif
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        std::string ext = o->output.substr(dot + 1);
        for (char &ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (ext != "png")
            return usage_error("cannot write '%s': vnc-snapshot writes PNG only (name it .png)",
                               o->output.c_str());
    }
    return -1;
}

// Whether the output file can be written, checked before connecting so that
// a typo costs no connection; a file that did not exist is not left behind.
bool output_writable(const std::string &path, std::string *why) {
    FILE *existing = std::fopen(path.c_str(), "rb");
    if (existing) std::fclose(existing);
    FILE *f = std::fopen(path.c_str(), "ab");
    if (!f) {
        *why = std::strerror(errno);
        return false;
    }
    std::fclose(f);
    if (!existing) std::remove(path.c_str());
    return true;
}

struct picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // width * height * 3
};

// Copies the framebuffer (blue, green, red, pad in memory) as RGB.
bool copy_framebuffer(vnc_client_t *client, picture *out) {
    void *pixels = nullptr;
    int stride = 0, width = 0, height = 0;
    bool ok = false;
    if (vnc_lock_framebuffer(client, &pixels, &stride, &width, &height) == 0 && pixels &&
        width > 0 && height > 0) {
        try {
            out->rgb.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
            for (int y = 0; y < height; ++y) {
                const unsigned char *src =
                    static_cast<const unsigned char *>(pixels) + static_cast<size_t>(stride) * y;
                unsigned char *dst = out->rgb.data() + static_cast<size_t>(width) * 3 * y;
                for (int x = 0; x < width; ++x, src += 4, dst += 3) {
                    dst[0] = src[2];
                    dst[1] = src[1];
                    dst[2] = src[0];
                }
            }
            out->width = width;
            out->height = height;
            ok = true;
        } catch (const std::bad_alloc &) {
            ok = false;
        }
    }
    vnc_unlock_framebuffer(client);
    return ok;
}

// Connects, waits until the whole screen has been drawn and copies it.
// Returns -1 on success, else the exit status.
int capture(const std::string &host, int port, const char *password, const options &options,
            steady::time_point deadline, picture *out) {
    const bool local_cursor = options.local_cursor;
    const double timeout_s = options.timeout_s;
    const std::string where = endpoint(host, port);
    vnc_client_t *client = vnc_create();
    if (!client) {
        complain("cannot create a client: %s", vnc_last_error());
        return kExitInternal;
    }
    if (local_cursor && vnc_set_option(client, "cursor", "local") != 0) {
        complain("cannot set option cursor=local: %s", vnc_last_error());
        vnc_destroy(client);
        return kExitInternal;
    }
    if (!apply_encoding_options(client, options) ||
        !apply_security_options(client, options, where)) {
        vnc_destroy(client);
        return kExitUsage;
    }
    if (connect_before(client, host, port, password, deadline, timeout_s) != 0) {
        const std::string why = vnc_last_error(), reason = end_reason(client);
        const security_info info = get_security_info(client);
        vnc_destroy(client);
        return report_connect_failure(where, why, reason, info);
    }

    // Only for the message: whether anything at all was drawn.
    bool any = false;
    while (vnc_get_update_count(client) == 0) {
        int x, y, w, h;
        if (vnc_get_dirty_rect(client, &x, &y, &w, &h) == 1) any = true;
        if (vnc_get_status(client) != VNC_STATUS_CONNECTED) {
            // Its last update is handed over before the status falls.
            if (vnc_get_update_count(client) >= 1) break;
            const std::string reason = end_reason(client);
            complain("%s: the connection ended before the whole screen arrived: %s", where.c_str(),
                     reason.empty() ? "no reason given" : reason.c_str());
            vnc_destroy(client);
            return kExitConnect;
        }
        if (steady::now() >= deadline) {
            complain("timed out after %g s waiting for the whole screen of %s: %s", timeout_s,
                     where.c_str(),
                     any ? "only part of it was drawn" : "the server sent no picture");
            vnc_destroy(client);
            return kExitTimeout;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    const bool copied = copy_framebuffer(client, out);
    vnc_destroy(client);
    if (!copied) {
        complain("%s: no framebuffer to save (empty desktop or out of memory)", where.c_str());
        return kExitInternal;
    }
    return -1;
}

// Writes the picture; returns the exit status.
int save(const options &o, const picture &pic, long *bytes) {
    std::string why;
    const bool written =
        o.best ? write_png(o.output.c_str(), pic.rgb.data(), pic.width, pic.height, bytes, &why)
               : write_png_fast(o.output.c_str(), pic.rgb.data(), pic.width, pic.height, bytes, &why);
    if (!written) {
        complain("cannot write '%s': %s", o.output.c_str(), why.c_str());
        return kExitOutput;
    }
    return kExitOk;
}

int run_demo(const options &o, const std::string &password, bool have_password,
             steady::time_point deadline) {
    const char *pw = have_password ? password.c_str() : nullptr;
    const int port = start_demo_server(pw);
    if (port < 0) return kExitInternal;
    if (!o.quiet)
        std::printf("Started the built-in test server on 127.0.0.1:%d (%s).\n", port,
                    pw && *pw ? "password required" : "no password");

    picture pic;
    int status = capture("127.0.0.1", port, pw, o, deadline, &pic);
    long bytes = 0;
    if (status < 0) status = save(o, pic, &bytes);
    vnc_test_server_stop();
    if (status == kExitOk && !o.quiet) {
        std::printf("Connected with quenvira-vnc %s: desktop %dx%d.\n", vnc_version(), pic.width,
                    pic.height);
        std::printf("Wrote %s: %dx%d RGB PNG, %ld bytes.\n", o.output.c_str(), pic.width,
                    pic.height, bytes);
        std::printf("Stopped the test server.\n");
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    set_program("vnc-snapshot");
    options o;
    const int parsed = parse_options(argc, argv, &o);
    if (parsed >= 0) return parsed;
    const steady::time_point deadline =
        steady::now() + std::chrono::microseconds(static_cast<long long>(o.timeout_s * 1e6));

    std::string password;
    bool have_password = false;
    const int loaded = load_password(o, &password, &have_password);
    if (loaded >= 0) return loaded;

    std::string unwritable;
    if (!output_writable(o.output, &unwritable)) {
        complain("cannot write '%s': %s", o.output.c_str(), unwritable.c_str());
        return kExitOutput;
    }
    if (o.demo) return run_demo(o, password, have_password, deadline);

    std::string host, why;
    int port = 0;
    if (!parse_target(o.target, &host, &port, &why))
        return usage_error("bad server address '%s': %s", o.target.c_str(), why.c_str());

    picture pic;
    int status = capture(host, port, have_password ? password.c_str() : nullptr, o, deadline, &pic);
    if (status >= 0) return status;
    long bytes = 0;
    status = save(o, pic, &bytes);
    if (status == kExitOk && !o.quiet)
        std::printf("Wrote %s: %dx%d from %s (%ld bytes).\n", o.output.c_str(), pic.width,
                    pic.height, endpoint(host, port).c_str(), bytes);
    return status;
}
