// vnc-snapshot: connects to a VNC server, waits for its screen and writes it
// as a PNG. Uses the library through its public header only, like any host.
#include <png.h>

#include <chrono>
#include <condition_variable>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "quenvira_vnc.h"

namespace {

enum exit_status {
    kExitOk = 0,
    kExitInternal = 1,  // out of memory, no handle, demo server would not start
    kExitUsage = 2,     // bad command line, unreadable password source
    kExitConnect = 3,   // unresolvable, unreachable, refused, broken handshake
    kExitAuth = 4,      // the server refused the password
    kExitTimeout = 5,   // no complete picture within --timeout
    kExitOutput = 6,    // the PNG could not be written
};

typedef std::chrono::steady_clock steady;

constexpr int kDefaultTimeoutSeconds = 10;
// The picture counts as complete when the changed area stops growing for
// this long: enough for a real server's first update (normally one message
// decoded without pauses) and short for the test server, whose picture
// never covers the whole screen.
constexpr int kSettleMs = 500;
constexpr int kPollMs = 10;
constexpr int kFirstVncPort = 5900;
constexpr int kDemoFirstPort = 25900;
constexpr int kDemoPortCount = 100;
constexpr size_t kMaxPasswordFileBytes = 4096;

const char *s_program = "vnc-snapshot";

void complain(const char *format, ...) {
    std::fprintf(stderr, "%s: ", s_program);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// host:port for messages, IPv6 addresses in brackets.
std::string endpoint(const std::string &host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

int usage_error(const char *format, ...) {
    std::fprintf(stderr, "%s: ", s_program);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\nTry '%s --help' for more information.\n", s_program);
    return kExitUsage;
}

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
        "  -q, --quiet           print nothing on success\n"
        "  -h, --help            show this help and exit\n"
        "  --version             show the library version and exit\n"
        "\n"
        "When the picture is taken: screen updates are collected until they have\n"
        "covered the whole screen (a real server's first update does), or until\n"
        "the changed area has stopped growing for %d ms after the first update\n"
        "(the built-in test server only ever sends a small picture), or until the\n"
        "server closes the connection after sending something. If the timeout\n"
        "passes first, a partial picture is still written when one arrived, and\n"
        "the exit status says timeout.\n"
        "\n"
        "Exit status:\n"
        "  0  picture written\n"
        "  1  internal failure (out of memory, test server would not start)\n"
        "  2  usage error, or the password source cannot be read\n"
        "  3  host not found, unreachable, connection refused or handshake failed\n"
        "  4  authentication failed (wrong or missing password)\n"
        "  5  timed out\n"
        "  6  output file cannot be written\n",
        s_program, s_program, kDefaultTimeoutSeconds, kDemoFirstPort, kSettleMs);
}

struct options {
    bool demo = false;
    bool quiet = false;
    double timeout_s = kDefaultTimeoutSeconds;
    std::string target;
    std::string output;
    // At most one explicit source; none falls back to VNC_PASSWORD.
    int password_sources = 0;
    std::string password_env;
    std::string password_file;
    std::string password_arg;
    bool password_arg_given = false;
};

bool parse_decimal(const std::string &text, long min, long max, long *out) {
    if (text.empty() || text.size() > 9) return false;
    long v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + (ch - '0');
    }
    if (v < min || v > max) return false;
    *out = v;
    return true;
}

// HOST, HOST:DISPLAY, HOST::PORT, with IPv6 literals in brackets.
bool parse_target(const std::string &target, std::string *host, int *port, std::string *why) {
    std::string rest;
    if (!target.empty() && target[0] == '[') {
        const size_t close = target.find(']');
        if (close == std::string::npos) {
            *why = "missing ']' after the IPv6 address";
            return false;
        }
        *host = target.substr(1, close - 1);
        rest = target.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') {
            *why = "unexpected text after ']'";
            return false;
        }
    } else {
        const size_t colon = target.find(':');
        if (colon == std::string::npos) {
            *host = target;
        } else {
            *host = target.substr(0, colon);
            rest = target.substr(colon);
        }
    }
    const size_t marker = rest.compare(0, 2, "::") == 0 ? 2 : 1;
    if (rest.find(':', marker) != std::string::npos) {
        *why = "too many ':' (put IPv6 addresses in brackets, e.g. [::1]::5901)";
        return false;
    }
    if (host->empty()) {
        *why = "no host name (put IPv6 addresses in brackets, e.g. [::1])";
        return false;
    }
    long number = 0;
    if (rest.empty()) {
        *port = kFirstVncPort;
    } else if (rest.compare(0, 2, "::") == 0) {
        if (!parse_decimal(rest.substr(2), 1, 65535, &number)) {
            *why = "the port after '::' must be a number from 1 to 65535";
            return false;
        }
        *port = static_cast<int>(number);
    } else {
        if (!parse_decimal(rest.substr(1), 0, 65535 - kFirstVncPort, &number)) {
            *why = "the display after ':' must be a number from 0 to 59635";
            return false;
        }
        *port = kFirstVncPort + static_cast<int>(number);
    }
    return true;
}

// Value of an option given as "--name VALUE" or "--name=VALUE".
bool option_value(int argc, char **argv, int *i, const char *name, std::string *value,
                  bool *matched) {
    const std::string arg = argv[*i];
    const size_t n = std::strlen(name);
    *matched = false;
    if (arg == name) {
        *matched = true;
        if (*i + 1 >= argc) return false;
        *value = argv[++*i];
        return true;
    }
    if (arg.size() > n && arg.compare(0, n, name) == 0 && arg[n] == '=') {
        *matched = true;
        *value = arg.substr(n + 1);
        return true;
    }
    return false;
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
        std::string value;
        bool matched = false;
        bool ok = option_value(argc, argv, &i, "--timeout", &value, &matched);
        if (matched) {
            char *end = nullptr;
            const double t = ok ? std::strtod(value.c_str(), &end) : 0;
            if (!ok || end == value.c_str() || *end != '\0' || !(t > 0) || t > 86400)
                return usage_error("--timeout needs a number of seconds above 0 (at most 86400)");
            o->timeout_s = t;
            continue;
        }
        ok = option_value(argc, argv, &i, "--password-env", &value, &matched);
        if (matched) {
            if (!ok || value.empty()) return usage_error("--password-env needs a variable name");
            o->password_env = value;
            ++o->password_sources;
            continue;
        }
        ok = option_value(argc, argv, &i, "--password-file", &value, &matched);
        if (matched) {
            if (!ok || value.empty()) return usage_error("--password-file needs a file name");
            o->password_file = value;
            ++o->password_sources;
            continue;
        }
        ok = option_value(argc, argv, &i, "--password", &value, &matched);
        if (!matched) ok = option_value(argc, argv, &i, "-p", &value, &matched);
        if (matched) {
            if (!ok) return usage_error("%s needs a password", arg.c_str());
            o->password_arg = value;
            o->password_arg_given = true;
            ++o->password_sources;
            continue;
        }
        return usage_error("unknown option '%s'", arg.c_str());
    }
    if (o->password_sources > 1)
        return usage_error("give the password one way only (--password-env, --password-file or -p)");
    if (o->demo) {
        if (positional.size() > 1) return usage_error("--demo takes at most one file name");
        o->output = positional.empty() ? "quenvira-demo.png" : positional[0];
        return -1;
    }
    if (positional.size() != 2)
        return usage_error(positional.size() < 2 ? "need a server address and an output file"
                                                 : "too many arguments");
    o->target = positional[0];
    o->output = positional[1];
    return -1;
}

// Returns -1 when a password (possibly none) was found, else the exit status.
int load_password(const options &o, std::string *password, bool *have) {
    *have = false;
    if (o.password_arg_given) {
        *password = o.password_arg;
        *have = true;
        return -1;
    }
    if (!o.password_file.empty()) {
        std::FILE *f = std::fopen(o.password_file.c_str(), "rb");
        if (!f) {
            complain("cannot read password file '%s': %s", o.password_file.c_str(),
                     std::strerror(errno));
            return kExitUsage;
        }
        std::string text;
        int ch;
        while (text.size() < kMaxPasswordFileBytes && (ch = std::fgetc(f)) != EOF && ch != '\n')
            text.push_back(static_cast<char>(ch));
        const bool failed = std::ferror(f) != 0;
        std::fclose(f);
        if (failed) {
            complain("cannot read password file '%s'", o.password_file.c_str());
            return kExitUsage;
        }
        if (!text.empty() && text.back() == '\r') text.pop_back();
        *password = text;
        *have = true;
        return -1;
    }
    const std::string name = o.password_env.empty() ? "VNC_PASSWORD" : o.password_env;
    const char *value = std::getenv(name.c_str());
    if (!value) {
        if (o.password_env.empty()) return -1;  // no password at all
        complain("environment variable %s (from --password-env) is not set", name.c_str());
        return kExitUsage;
    }
    *password = value;
    *have = true;
    return -1;
}

[[noreturn]] void exit_timed_out(double timeout_s, const char *while_doing) {
    complain("timed out after %g s %s", timeout_s, while_doing);
    std::fflush(stdout);
    std::fflush(stderr);
    // The library call still running on another thread cannot be
    // interrupted; ending the process closes its socket.
    std::_Exit(kExitTimeout);
}

// vnc_connect on a helper thread, so that --timeout also bounds a host that
// never answers (the library's own waits are longer and not adjustable).
int connect_before(vnc_client_t *client, const std::string &host, int port,
                   const char *password, steady::time_point deadline, double timeout_s) {
    struct attempt {
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
        int result = -1;
    };
    auto shared = std::make_shared<attempt>();
    std::thread worker([shared, client, host, port, password] {
        const int r = vnc_connect(client, host.c_str(), port, password);
        std::lock_guard<std::mutex> guard(shared->mu);
        shared->result = r;
        shared->done = true;
        shared->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(shared->mu);
    if (!shared->cv.wait_until(lock, deadline, [&] { return shared->done; }))
        exit_timed_out(timeout_s, "while connecting");
    lock.unlock();
    worker.join();
    return shared->result;
}

struct area {
    bool any = false;
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;

    // Adds a rectangle; true when the area grew.
    bool add(int x, int y, int w, int h) {
        if (w <= 0 || h <= 0) return false;
        if (!any) {
            any = true;
            x0 = x, y0 = y, x1 = x + w, y1 = y + h;
            return true;
        }
        const int nx0 = x < x0 ? x : x0, ny0 = y < y0 ? y : y0;
        const int nx1 = x + w > x1 ? x + w : x1, ny1 = y + h > y1 ? y + h : y1;
        const bool grew = nx0 != x0 || ny0 != y0 || nx1 != x1 || ny1 != y1;
        x0 = nx0, y0 = ny0, x1 = nx1, y1 = ny1;
        return grew;
    }
    bool covers(int w, int h) const { return any && x0 <= 0 && y0 <= 0 && x1 >= w && y1 >= h; }
};

struct picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // width * height * 3
    area changed;
    bool timed_out = false;
};

// Error handling of libpng: its errors jump back to write_png.
struct png_failure {
    std::jmp_buf jump;
    char text[256];
};

void on_png_error(png_structp png, png_const_charp message) {
    png_failure *failure = static_cast<png_failure *>(png_get_error_ptr(png));
    std::snprintf(failure->text, sizeof failure->text, "%s", message);
    std::longjmp(failure->jump, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// Writes rgb (width * height * 3 bytes) as an 8-bit RGB PNG. On failure the
// reason goes to *why and no partial file is left behind.
bool write_png(const char *path, const unsigned char *rgb, int width, int height, long *bytes,
               std::string *why) {
    std::FILE *f = std::fopen(path, "wb");
    if (!f) {
        *why = std::strerror(errno);
        return false;
    }
    png_failure failure;
    failure.text[0] = '\0';
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, on_png_error, on_png_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(png ? &png : nullptr, nullptr);
        std::fclose(f);
        std::remove(path);
        *why = "out of memory";
        return false;
    }
    if (setjmp(failure.jump)) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        std::remove(path);
        *why = failure.text[0] ? failure.text : "PNG encoder failed";
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t row_bytes = static_cast<size_t>(width) * 3;
    for (int y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(rgb + row_bytes * static_cast<size_t>(y)));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);

    // Buffered data only meets a full disk or a lost device here.
    bool ok = std::fflush(f) == 0 && !std::ferror(f);
    int error = errno;
    *bytes = std::ftell(f);
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        *why = std::strerror(error);
        std::remove(path);
    }
    return ok;
}

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

// Connects, collects the first picture and copies it. Returns -1 on
// success (out->timed_out may be set), else the exit status.
int capture(const std::string &host, int port, const char *password,
            steady::time_point deadline, double timeout_s, picture *out) {
    const std::string where = endpoint(host, port);
    vnc_client_t *client = vnc_create();
    if (!client) {
        complain("cannot create a client: %s", vnc_last_error());
        return kExitInternal;
    }
    if (connect_before(client, host, port, password, deadline, timeout_s) != 0) {
        const std::string why = vnc_last_error();
        vnc_destroy(client);
        if (why == "VNC Authentication failed") {
            complain("%s: %s (wrong or missing password?)", where.c_str(), why.c_str());
            return kExitAuth;
        }
        // A server that refuses with a reason of its own leaves no
        // process-wide text: say at least that it was the handshake.
        complain("%s: %s", where.c_str(),
                 why.empty() ? "the server refused the connection during the handshake"
                             : why.c_str());
        return kExitConnect;
    }

    area &changed = out->changed;
    steady::time_point last_growth = steady::now();
    for (;;) {
        int x, y, w, h, fb_w = 0, fb_h = 0;
        if (vnc_get_dirty_rect(client, &x, &y, &w, &h) == 1 && changed.add(x, y, w, h))
            last_growth = steady::now();
        vnc_get_dimensions(client, &fb_w, &fb_h);
        const steady::time_point now = steady::now();
        if (changed.covers(fb_w, fb_h)) break;
        if (changed.any && now - last_growth >= std::chrono::milliseconds(kSettleMs)) break;
        if (vnc_get_status(client) != VNC_STATUS_CONNECTED) {
            // Nothing more can arrive: what came is the picture.
            if (changed.any) break;
            vnc_destroy(client);
            complain("%s: the server closed the connection before sending its screen",
                     where.c_str());
            return kExitConnect;
        }
        if (now >= deadline) {
            out->timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }

    if (out->timed_out && !changed.any) {
        vnc_destroy(client);
        complain("timed out after %g s waiting for the screen of %s", timeout_s, where.c_str());
        return kExitTimeout;
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
    if (!write_png(o.output.c_str(), pic.rgb.data(), pic.width, pic.height, bytes, &why)) {
        complain("cannot write '%s': %s", o.output.c_str(), why.c_str());
        return kExitOutput;
    }
    if (pic.timed_out) {
        complain("timed out after %g s before the screen was complete; wrote the partial "
                 "picture to '%s'",
                 o.timeout_s, o.output.c_str());
        return kExitTimeout;
    }
    return kExitOk;
}

int run_demo(const options &o, const std::string &password, bool have_password,
             steady::time_point deadline) {
    const char *pw = have_password ? password.c_str() : nullptr;
    int port = -1;
    for (int p = kDemoFirstPort; p < kDemoFirstPort + kDemoPortCount; ++p) {
        if (vnc_test_server_start(p, pw) == 0) {
            port = p;
            break;
        }
    }
    if (port < 0) {
        complain("cannot start the built-in test server: ports %d to %d are all taken",
                 kDemoFirstPort, kDemoFirstPort + kDemoPortCount - 1);
        return kExitInternal;
    }
    if (!o.quiet)
        std::printf("Started the built-in test server on 127.0.0.1:%d (%s).\n", port,
                    pw && *pw ? "password required" : "no password");

    picture pic;
    int status = capture("127.0.0.1", port, pw, deadline, o.timeout_s, &pic);
    long bytes = 0;
    if (status < 0) status = save(o, pic, &bytes);
    vnc_test_server_stop();
    if (status == kExitOk && !o.quiet) {
        std::printf("Connected with quenvira-vnc %s: desktop %dx%d.\n", vnc_version(), pic.width,
                    pic.height);
        std::printf("First update changed (%d,%d)-(%d,%d).\n", pic.changed.x0, pic.changed.y0,
                    pic.changed.x1, pic.changed.y1);
        std::printf("Wrote %s: %dx%d RGB PNG, %ld bytes.\n", o.output.c_str(), pic.width,
                    pic.height, bytes);
        std::printf("Stopped the test server.\n");
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    options o;
    const int parsed = parse_options(argc, argv, &o);
    if (parsed >= 0) return parsed;
    const steady::time_point deadline =
        steady::now() + std::chrono::microseconds(static_cast<long long>(o.timeout_s * 1e6));

    std::string password;
    bool have_password = false;
    const int loaded = load_password(o, &password, &have_password);
    if (loaded >= 0) return loaded;

    if (o.demo) return run_demo(o, password, have_password, deadline);

    std::string host, why;
    int port = 0;
    if (!parse_target(o.target, &host, &port, &why))
        return usage_error("bad server address '%s': %s", o.target.c_str(), why.c_str());

    picture pic;
    int status = capture(host, port, have_password ? password.c_str() : nullptr, deadline,
                         o.timeout_s, &pic);
    if (status >= 0) return status;
    long bytes = 0;
    status = save(o, pic, &bytes);
    if (status == kExitOk && !o.quiet)
        std::printf("Wrote %s: %dx%d from %s (%ld bytes).\n", o.output.c_str(), pic.width,
                    pic.height, endpoint(host, port).c_str(), bytes);
    return status;
}
