#include "interop_peers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

namespace interop {

namespace {

const char *kConvert = "/usr/bin/convert-im6.q16";
const char *kDisplay = "/usr/bin/display-im6.q16";

bool file_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// True once the X server accepts connections on its local socket.
bool x_socket_accepts(int display) {
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(display);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(s);
    return ok;
}

std::string lower(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string &s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

std::mutex g_display_mutex;
std::set<int> g_displays_given;

}  // namespace

int pick_display(int first, int last) {
    std::lock_guard<std::mutex> guard(g_display_mutex);
    const int span = last - first + 1;
    // Start at a point that depends on the process so that test programs
    // run side by side rarely try the same numbers.
    const int offset = static_cast<int>(getpid() * 7919) % span;
    for (int i = 0; i < span; ++i) {
        const int n = first + (offset + i) % span;
        if (g_displays_given.count(n)) continue;
        if (file_exists("/tmp/.X11-unix/X" + std::to_string(n))) continue;
        if (file_exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
        if (!tcp_port_free(5900 + n) || tcp_listening(5900 + n)) continue;
        g_displays_given.insert(n);
        return n;
    }
    return -1;
}

CommandResult x_tool(int display, const std::vector<std::string> &argv, Millis timeout,
                     const std::string *input) {
    SpawnOptions opts;
    opts.env = {"DISPLAY=:" + std::to_string(display)};
    return run_command(argv, opts, timeout, input);
}

bool grab_root(int display, Image *out, std::string *error) {
    const CommandResult r = x_tool(display, {"xwd", "-root", "-silent"});
    if (r.exit_code != 0) {
        if (error) *error = "xwd -root failed: " + r.err;
        return false;
    }
    return parse_xwd(r.out, out, error);
}

bool grab_window(int display, const std::string &window_id, Image *out, std::string *error) {
    const CommandResult r = x_tool(display, {"xwd", "-id", window_id, "-silent"});
    if (r.exit_code != 0) {
        if (error) *error = "xwd -id failed: " + r.err;
        return false;
    }
    return parse_xwd(r.out, out, error);
}

std::vector<XEvent> parse_xev(const std::string &text) {
    std::vector<XEvent> events;
    std::istringstream in(text);
    std::string line;
    bool in_event = false;
    while (std::getline(in, line)) {
        const size_t ev = line.find(" event, serial");
        if (ev != std::string::npos && line[0] != ' ') {
            // Only key and button events count; xdotool's keymap changes
            // (MappingNotify) and the like are noise here.
            const std::string type = line.substr(0, ev);
            in_event = type.rfind("Key", 0) == 0 || type.rfind("Button", 0) == 0;
            if (in_event) events.push_back(XEvent{type});
            continue;
        }
        if (events.empty() || !in_event) continue;
        XEvent &e = events.back();
        size_t at;
        if ((at = line.find("root:(")) != std::string::npos)
            std::sscanf(line.c_str() + at, "root:(%d,%d)", &e.root_x, &e.root_y);
        if ((at = line.find("button ")) != std::string::npos)
            std::sscanf(line.c_str() + at, "button %d", &e.button);
        if ((at = line.find("(keysym 0x")) != std::string::npos)
            std::sscanf(line.c_str() + at, "(keysym 0x%x", &e.keysym);
    }
    return events;
}

bool hide_root_cursor(int display, std::string *error) {
    // A 1 x 1 bitmap with an empty mask: nothing of the cursor shows.
    static TempDir dir;
    const std::string xbm = dir.file("blank.xbm");
    if (!write_file(xbm,
                    "#define blank_width 1\n#define blank_height 1\n"
                    "#define blank_x_hot 0\n#define blank_y_hot 0\n"
                    "static unsigned char blank_bits[] = {\n   0x00};\n")) {
        if (error) *error = "cannot write " + xbm;
        return false;
    }
    const CommandResult r = x_tool(display, {"xsetroot", "-cursor", xbm, xbm});
    if (r.exit_code != 0 && error) *error = "xsetroot -cursor failed: " + r.err;
    return r.exit_code == 0;
}

bool show_on_root(int display, const std::string &picture, std::string *error) {
    // display exits with 1 even when the picture is up, so the pixels decide.
    const CommandResult r = x_tool(display, {kDisplay, "-window", "root", picture});
    if (r.timed_out || r.exit_code < 0) {
        if (error) *error = "display did not finish: " + r.err;
        return false;
    }
    // It may leave a cursor of its own on the root window.
    if (!hide_root_cursor(display, error)) return false;
    Image shown;
    bool ok = wait_until(
        [&] { return grab_root(display, &shown, error) && shown.distinct_colours() >= 4; },
        Millis(5000), Millis(20));
    if (!ok && error && error->empty()) *error = "the picture did not appear on the root window";
    return ok;
}

std::string picture_file(Picture kind, int width, int height) {
    static std::mutex mutex;
    static TempDir dir;
    static std::map<std::string, std::string> made;
    std::lock_guard<std::mutex> guard(mutex);
    const std::string key = std::string(kind == Picture::kPhoto ? "photo" : "flat") + "-" +
                            std::to_string(width) + "x" + std::to_string(height);
    auto it = made.find(key);
    if (it != made.end()) return it->second;

    const std::string path = dir.file(key + ".png");
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    auto part = [](int w, int h) { return std::to_string(w) + "x" + std::to_string(h); };
    auto at = [](int x, int y) { return "+" + std::to_string(x) + "+" + std::to_string(y); };
    const int w2 = width / 2, h2 = height / 2;
    std::vector<std::string> argv;
    if (kind == Picture::kPhoto) {
        argv = {kConvert, "-size", size, "xc:#204060",
                // fractal noise: every tile a different palette or raw
                "(", "-seed", "11", "-size", part(w2, h2), "plasma:fractal", ")", "-geometry",
                at(0, 0), "-composite", "(", "-size", part(width - w2 - 20, h2 - 20),
                "gradient:#ff2000-#0020ff", ")", "-geometry", at(w2 + 10, 10), "-composite", "(",
                "-size", part(w2 - 40, height - h2 - 30), "pattern:checkerboard", ")", "-geometry",
                at(20, h2 + 10), "-composite", "-fill", "white", "-draw",
                "rectangle " + std::to_string(w2 + 10) + "," + std::to_string(h2 + 20) + " " +
                    std::to_string(w2 + 60) + "," + std::to_string(height - 10),
                "-fill", "#ff8800", "-draw",
                "circle " + std::to_string(width - 80) + "," + std::to_string(height - 60) + " " +
                    std::to_string(width - 40) + "," + std::to_string(height - 40),
                "-font", "DejaVu-Sans", "-pointsize", "20", "-fill", "yellow", "-annotate",
                at(w2 + 20, h2 + 10), "quenvira interop", path};
    } else {
        argv = {kConvert,
                "-size",
                size,
                "xc:#3366cc",
                "+antialias",
                "-fill",
                "#ffffff",
                "-draw",
                "rectangle 10,10 " + std::to_string(w2) + "," + std::to_string(h2),
                "-fill",
                "#cc2200",
                "-draw",
                "rectangle " + std::to_string(w2 + 15) + ",30 " + std::to_string(width - 20) + "," +
                    std::to_string(h2 + 40),
                "-fill",
                "#00aa44",
                "-draw",
                "rectangle 40," + std::to_string(h2 + 20) + " " + std::to_string(w2 + 70) + "," +
                    std::to_string(height - 25),
                "(",
                "-size",
                part(120, 64),
                "pattern:checkerboard",
                ")",
                "-geometry",
                at(width - 150, height - 90),
                "-composite",
                "(",
                "-size",
                part(96, 48),
                "pattern:vertical",
                ")",
                "-geometry",
                at(25, 25),
                "-composite",
                path};
    }
    const CommandResult r = run_command(argv);
    if (r.exit_code != 0) return "";
    made[key] = path;
    return path;
}

bool make_password_file(const std::string &path, const std::string &password) {
    const std::string input = password + "\n";
    const CommandResult r = run_command({"vncpasswd", "-f"}, {}, Millis(10000), &input);
    if (r.exit_code != 0 || r.out.size() != 8) return false;
    return write_file(path, r.out);
}

bool XServerBase::start_x(const std::vector<std::string> &argv, const std::string &log_path,
                          std::string *error) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int n = pick_display();
        if (n < 0) break;
        std::vector<std::string> args = argv;
        for (auto &a : args) {
            if (a == "{D}") a = ":" + std::to_string(n);
            if (a == "{P}") a = std::to_string(5900 + n);
        }
        SpawnOptions opts;
        opts.log_path = log_path;
        opts.cwd = log_path.substr(0, log_path.rfind('/'));
        opts.env = {"HOME=" + opts.cwd};
        Process p(args, opts);
        if (!p.started()) break;
        const bool ready =
            wait_until([&] { return !p.running() || x_socket_accepts(n); }, Millis(15000));
        if (ready && p.running()) {
            display_ = n;
            proc_ = std::move(p);
            return true;
        }
        const std::string log = p.log();
        p.stop();
        if (error)
            *error =
                args[0] + " on :" + std::to_string(n) + " did not come up:\n" + tail_lines(log, 15);
    }
    return false;
}

bool Xvfb::start(const std::string &dir, int width, int height, std::string *error) {
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    return start_x({"Xvfb", "{D}", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
                   dir + "/xvfb.log", error);
}

bool Xvnc::start(const std::string &dir, const XvncOptions &o, std::string *error) {
    std::vector<std::string> argv = {"Xvnc",
                                     "{D}",
                                     "-geometry",
                                     std::to_string(o.width) + "x" + std::to_string(o.height),
                                     "-depth",
                                     "24",
                                     "-rfbport",
                                     o.port ? std::to_string(o.port) : "{P}",
                                     "-interface",
                                     "127.0.0.1",
                                     "-nolisten",
                                     "tcp",
                                     "-noreset",
                                     "-AlwaysShared",
                                     "-UseBlacklist=0",
                                     "-desktop",
                                     o.desktop};
    if (o.password.empty()) {
        argv.insert(argv.end(), {"-SecurityTypes", "None"});
    } else {
        const std::string pwfile = dir + "/xvnc.passwd";
        if (!make_password_file(pwfile, o.password)) {
            if (error) *error = "vncpasswd -f failed";
            return false;
        }
        argv.insert(argv.end(), {"-SecurityTypes", "VncAuth", "-PasswordFile", pwfile});
    }
    if (!o.security_types.empty()) {
        for (size_t i = 0; i + 1 < argv.size(); ++i)
            if (argv[i] == "-SecurityTypes") argv[i + 1] = o.security_types;
        if (!o.x509_cert.empty())
            argv.insert(argv.end(), {"-X509Cert", o.x509_cert, "-X509Key", o.x509_key});
    }
    if (!start_x(argv, dir + "/xvnc.log", error)) return false;
    port_ = o.port ? o.port : 5900 + display_;
    if (!wait_until([&] { return tcp_listening(port_) || !proc_.running(); }, Millis(10000)) ||
        !proc_.running()) {
        if (error) *error = "Xvnc does not listen on its port:\n" + tail_lines(log(), 15);
        return false;
    }
    return true;
}

std::set<std::string> Xvnc::parse_encodings(const std::string &part) const {
    return tigervnc_encodings_report(part);
}

std::set<std::string> tigervnc_encodings_report(const std::string &part) {
    // After a client leaves: "EncodeManager:   ZRLE:" (three spaces) heads
    // the rectangles sent with each encoder; "CopyRect:" counts copies.
    std::set<std::string> names;
    std::istringstream in(part);
    std::string line;
    while (std::getline(in, line)) {
        const std::string tag = "EncodeManager:   ";
        const size_t at = line.find(tag);
        if (at == std::string::npos) continue;
        const std::string rest = line.substr(at + tag.size());
        if (rest.rfind("Total:", 0) == 0) return names;  // the report is complete
        if (rest.empty() || rest[0] == ' ' || rest.back() != ':') continue;
        names.insert(lower(trim(rest.substr(0, rest.size() - 1))));
    }
    return {};  // no report yet, or one still being written
}

std::set<std::string> VncServer::encodings_reported(size_t from, Millis timeout) const {
    std::set<std::string> names;
    wait_until(
        [&] {
            const std::string log = server_log();
            names = parse_encodings(from < log.size() ? log.substr(from) : std::string());
            return !names.empty();
        },
        timeout, Millis(50));
    return names;
}

bool X11vnc::start(const std::string &dir, int width, int height, const X11vncOptions &o,
                   std::string *error) {
    if (!xvfb_.start(dir, width, height, error)) return false;
    std::vector<std::string> argv = {
        "x11vnc", "-display",   xvfb_.display_name(), "-rfbport",  "",       "-localhost",
        "-no6",   "-shared",    "-forever",           "-nocursor", "-nonap", "-norc",
        "-noshm", "-noxdamage", "-rfbversion",        o.version};
    if (o.password.empty()) {
        argv.push_back("-nopw");
    } else {
        const std::string pwfile = dir + "/x11vnc.passwd";
        if (!make_password_file(pwfile, o.password)) {
            if (error) *error = "vncpasswd -f failed";
            return false;
        }
        argv.insert(argv.end(), {"-rfbauth", pwfile});
    }
    // The port that belongs to the Xvfb's display number is free (checked
    // when the number was picked) and nobody else gets that number.
    port_ = 5900 + xvfb_.display();
    argv[4] = std::to_string(port_);
    SpawnOptions opts;
    opts.log_path = dir + "/x11vnc.log";
    opts.cwd = dir;
    opts.env = {"HOME=" + dir};
    proc_ = Process(argv, opts);
    if (!wait_until([&] { return tcp_listening(port_) || !proc_.running(); }, Millis(20000)) ||
        !proc_.running()) {
        if (error) *error = "x11vnc does not listen on its port:\n" + tail_lines(proc_.log(), 20);
        return false;
    }
    return true;
}

void X11vnc::stop() {
    // x11vnc can hang in its own SIGTERM handler; without shared memory
    // segments (-noshm) nothing is lost when it is killed instead.
    proc_.stop(Millis(500));
    xvfb_.stop();
}

namespace {

std::set<std::string> libvncserver_stats(const std::string &part) {
    // After a client leaves, a "Statistics ... Transmit" table lists one
    // line per message kind or encoding: "  ZRLE   :  12 | ...".
    std::set<std::string> names;
    std::istringstream in(part);
    std::string line;
    bool in_transmit = false;
    while (std::getline(in, line)) {
        if (line.find("Statistics") != std::string::npos) {
            in_transmit = line.find("Transmit") != std::string::npos;
            continue;
        }
        if (!in_transmit) continue;
        const size_t colon = line.find(" : ");
        const size_t bar = line.find('|');
        if (colon == std::string::npos || bar == std::string::npos || bar < colon) continue;
        // The name is the last word before the colon (after the time stamp).
        std::string head = trim(line.substr(0, colon));
        const size_t space = head.find_last_of(' ');
        const std::string name = lower(space == std::string::npos ? head : head.substr(space + 1));
        const long events = std::atol(line.substr(colon + 3, bar - colon - 3).c_str());
        if (name == "totals") return names;  // the table is complete
        if (events > 0 && name != "framebufferupdate") names.insert(name);
    }
    return {};  // no table yet, or one still being written
}

}  // namespace

std::set<std::string> X11vnc::parse_encodings(const std::string &part) const {
    return libvncserver_stats(part);
}

bool LvsServer::start(const std::string &exe, const std::string &dir, const LvsOptions &o,
                      std::string *error) {
    const int n = pick_display(500, 599);
    if (n < 0) {
        if (error) *error = "no free port for lvs_server";
        return false;
    }
    port_ = 5900 + n;
    dir_ = dir;
    const std::string fifo = dir + "/lvs-commands";
    if (mkfifo(fifo.c_str(), 0600) != 0 && errno != EEXIST) {
        if (error) *error = "mkfifo " + fifo + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> argv = {exe, std::to_string(port_), std::to_string(o.width),
                                     std::to_string(o.height), fifo, "--version", o.version};
    if (!o.password.empty()) argv.insert(argv.end(), {"--password", o.password});
    SpawnOptions opts;
    opts.log_path = dir + "/lvs-server.log";
    proc_ = Process(argv, opts);
    if (!wait_until([&] { return tcp_listening(port_) || !proc_.running(); }, Millis(10000)) ||
        !proc_.running()) {
        if (error) *error = "lvs_server does not listen:\n" + tail_lines(proc_.log(), 20);
        return false;
    }
    // The server holds the fifo open for reading by now, so this does not block.
    fifo_ = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fifo_ < 0 && error) *error = "open " + fifo + ": " + std::strerror(errno);
    return fifo_ >= 0;
}

bool LvsServer::command(const std::string &line) {
    const std::string text = line + "\n";
    return fifo_ >= 0 && write(fifo_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool LvsServer::dump(Image *out, std::string *error) {
    const std::string path = dir_ + "/lvs-dump-" + std::to_string(++dumps_) + ".ppm";
    if (!command("dump " + path)) {
        if (error) *error = "cannot send to lvs_server";
        return false;
    }
    if (!wait_until([&] { return file_exists(path); }, Millis(5000))) {
        if (error) *error = "no dump from lvs_server:\n" + tail_lines(proc_.log(), 10);
        return false;
    }
    return parse_ppm(read_file(path), out, error);
}

void LvsServer::stop() {
    if (fifo_ >= 0) close(fifo_);
    fifo_ = -1;
    proc_.stop();
}

std::set<std::string> LvsServer::parse_encodings(const std::string &part) const {
    return libvncserver_stats(part);
}

bool Qemu::start(const std::string &dir, const std::string &name, std::string *error,
                 const QemuOptions &o) {
    const char *exe = "qemu-system-x86_64";
    if (run_command({exe, "--version"}).exit_code != 0) {
        if (error) *error = std::string(exe) + " does not run (scripts/setup installs qemu-system-x86)";
        return false;
    }
    const int n = pick_display();
    if (n < 0) {
        if (error) *error = "no free display number for QEMU's VNC server";
        return false;
    }
    port_ = 5900 + n;
    dir_ = dir;
    trace_path_ = dir + "/qemu-trace.log";
    qmp_path_ = dir + "/qmp.sock";
    SpawnOptions opts;
    opts.log_path = dir + "/qemu.log";
    opts.cwd = dir;
    std::vector<std::string> argv = {
        exe, "-display", "none", "-vnc",
        "127.0.0.1:" + std::to_string(n) + (o.password ? ",password=on" : ""), "-machine",
        "accel=tcg", "-nodefaults", "-vga", "std", "-name", name, "-monitor", "none", "-qmp",
        "unix:" + qmp_path_ + ",server=on,wait=off"};
    for (const char *t : {"vnc_key_event_ext", "input_event_key_qcode",
                          "vnc_msg_server_desktop_resize", "vnc_auth_*", "vnc_client_*"})
        argv.insert(argv.end(), {"-trace", std::string("enable=") + t});
    argv.insert(argv.end(), {"-D", trace_path_});
    if (o.paused) argv.push_back("-S");
    if (o.nic) argv.insert(argv.end(), {"-nic", "user,model=e1000,restrict=on"});
    proc_ = Process(argv, opts);
    if (!wait_until([&] { return tcp_listening(port_) || !proc_.running(); }, Millis(20000)) ||
        !proc_.running()) {
        if (error) *error = "QEMU does not listen on its port:\n" + tail_lines(proc_.log(), 20);
        return false;
    }
    return true;
}

Qemu::~Qemu() {
    if (qmp_ >= 0) close(qmp_);
}

bool Qemu::qmp_line(std::string *line, std::string *error) {
    const auto deadline = std::chrono::steady_clock::now() + Millis(20000);
    for (;;) {
        const size_t nl = qmp_buf_.find('\n');
        if (nl != std::string::npos) {
            *line = qmp_buf_.substr(0, nl);
            qmp_buf_.erase(0, nl + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        pollfd p{qmp_, POLLIN, 0};
        char buf[4096];
        ssize_t got = -1;
        if (left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) == 1)
            got = read(qmp_, buf, sizeof buf);
        if (got <= 0) {
            if (error) *error = "QMP: no answer from QEMU";
            return false;
        }
        qmp_buf_.append(buf, static_cast<size_t>(got));
    }
}

bool Qemu::qmp(const std::string &execute, const std::string &arguments, std::string *error,
               std::string *reply) {
    std::string line;
    auto call = [&](const std::string &cmd, const std::string &args) {
        const std::string text = "{\"execute\": \"" + cmd + "\"" +
                                 (args.empty() ? "" : ", \"arguments\": " + args) + "}\n";
        if (write(qmp_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            if (error) *error = "QMP: cannot send " + cmd;
            return false;
        }
        // Events come as lines of their own; the answer has "return" or "error".
        while (qmp_line(&line, error)) {
            if (line.find("\"return\"") != std::string::npos) return true;
            if (line.find("\"error\"") != std::string::npos) {
                if (error) *error = "QMP " + cmd + ": " + line;
                return false;
            }
        }
        return false;
    };
    if (qmp_ < 0) {
        const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", qmp_path_.c_str());
        if (s < 0 || !wait_until(
                         [&] { return connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0; },
                         Millis(10000), Millis(50))) {
            if (s >= 0) close(s);
            if (error) *error = "QMP: cannot connect to " + qmp_path_;
            return false;
        }
        qmp_ = s;
        // The greeting, then the handshake that enables commands.
        if (!qmp_line(&line, error) || !call("qmp_capabilities", "")) return false;
    }
    if (!call(execute, arguments)) return false;
    if (reply) *reply = line;
    return true;
}

bool Qemu::screendump(Image *out, std::string *error) {
    const std::string path = dir_ + "/screendump-" + std::to_string(++dumps_) + ".ppm";
    if (!qmp("screendump", "{\"filename\": \"" + path + "\"}", error)) return false;
    const bool ok = parse_ppm(read_file(path), out, error);
    unlink(path.c_str());
    return ok;
}

}  // namespace interop
