#include "interop_servers.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <sstream>
#include <vector>

namespace interop {

namespace {

std::string lower(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

bool Xtightvnc::start(const std::string &dir, const XtightvncOptions &o, std::string *error) {
    std::vector<std::string> argv = {"Xtightvnc",
                                     "{D}",
                                     "-geometry",
                                     std::to_string(o.width) + "x" + std::to_string(o.height),
                                     "-depth",
                                     "24",
                                     "-rfbport",
                                     "{P}",
                                     "-localhost",
                                     "-interface",
                                     "127.0.0.1",
                                     "-nolisten",
                                     "tcp",
                                     "-alwaysshared",
                                     // It would paint its pointer into the pictures it sends, and
                                     // xwd does not show a pointer.
                                     "-nocursor",
                                     "-desktop",
                                     o.desktop};
    if (!o.password.empty()) {
        const std::string pwfile = dir + "/xtightvnc.passwd";
        if (!make_password_file(pwfile, o.password)) {
            if (error) *error = "vncpasswd -f failed";
            return false;
        }
        argv.insert(argv.end(), {"-rfbauth", pwfile});
    }
    if (!start_x(argv, dir + "/xtightvnc.log", error)) return false;
    port_ = 5900 + display_;
    if (!wait_until([&] { return tcp_listening(port_) || !proc_.running(); }, Millis(10000)) ||
        !proc_.running()) {
        if (error) *error = "Xtightvnc does not listen on its port:\n" + tail_lines(log(), 15);
        return false;
    }
    return true;
}

std::set<std::string> Xtightvnc::parse_encodings(const std::string &part) const {
    // After a client leaves, "Statistics:" heads lines such as
    // "DD/MM/YY HH:MM:SS     hextile rectangles 12, bytes 3456" and the
    // report ends with "raw bytes equivalent ...". A client that never got
    // an update has a report without that last line.
    std::set<std::string> names;
    bool in_report = false;
    std::istringstream in(part);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string date, time, first, second;
        words >> date >> time >> first >> second;
        if (first == "Statistics:") {
            in_report = true;
            names.clear();
            continue;
        }
        if (!in_report) continue;
        if (first == "raw" && second == "bytes") {
            if (!names.empty()) return names;
            in_report = false;
            continue;
        }
        long count = 0;
        if (second == "rectangles" && words >> count && count > 0) names.insert(lower(first));
    }
    return {};
}

bool X0vncserver::start(const std::string &dir, int width, int height,
                        const X0vncserverOptions &o, std::string *error) {
    if (!xvfb_.start(dir, width, height, error)) return false;
    // The port of the Xvfb's display number was free when the number was
    // picked, and nobody else gets that number.
    port_ = 5900 + xvfb_.display();
    std::vector<std::string> argv = {"X0tigervnc", "-display",      xvfb_.display_name(),
                                     "-rfbport",   std::to_string(port_),
                                     "-interface", "127.0.0.1",     "-AlwaysShared",
                                     // Wrong passwords on purpose must not lock out the tests.
                                     "-UseBlacklist=0"};
    if (o.password.empty()) {
        argv.insert(argv.end(), {"-SecurityTypes", "None"});
    } else {
        const std::string pwfile = dir + "/x0vncserver.passwd";
        if (!make_password_file(pwfile, o.password)) {
            if (error) *error = "vncpasswd -f failed";
            return false;
        }
        argv.insert(argv.end(), {"-SecurityTypes", "VncAuth", "-PasswordFile", pwfile});
    }
    if (o.protocol33) argv.push_back("-Protocol3.3");
    SpawnOptions opts;
    opts.log_path = dir + "/x0vncserver.log";
    opts.cwd = dir;
    opts.env = {"HOME=" + dir};
    proc_ = Process(argv, opts);
    if (!wait_until([&] { return tcp_listening(port_) || !proc_.running(); }, Millis(15000)) ||
        !proc_.running()) {
        if (error)
            *error = "x0vncserver does not listen on its port:\n" + tail_lines(proc_.log(), 20);
        return false;
    }
    return true;
}

void X0vncserver::stop() {
    proc_.stop(Millis(1000));
    xvfb_.stop();
}

std::set<std::string> X0vncserver::parse_encodings(const std::string &part) const {
    return tigervnc_encodings_report(part);
}

namespace {

std::string mode_name(int width, int height) {
    return "qv" + std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace

bool add_screen_size(int display, int width, int height, std::string *output,
                     std::string *error) {
    const CommandResult q = x_tool(display, {"xrandr"});
    if (q.exit_code != 0) {
        if (error) *error = "xrandr failed: " + q.err;
        return false;
    }
    // Xvfb has one output; its name is the first word of the line that
    // says "connected".
    const std::string mode = mode_name(width, height);
    std::string line;
    std::istringstream in(q.out);
    bool have_mode = false;
    output->clear();
    while (std::getline(in, line)) {
        if (output->empty() && line.find(" connected") != std::string::npos)
            *output = line.substr(0, line.find(' '));
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == mode) have_mode = true;
    }
    if (output->empty()) {
        if (error) *error = "xrandr shows no output:\n" + q.out;
        return false;
    }
    if (have_mode) return true;
    const std::string w = std::to_string(width), h = std::to_string(height);
    // A mode needs only its sizes here: Xvfb drives no monitor.
    const CommandResult n =
        x_tool(display, {"xrandr", "--newmode", mode, "0", w, w, w, w, h, h, h, h});
    const CommandResult a = x_tool(display, {"xrandr", "--addmode", *output, mode});
    if (n.exit_code != 0 || a.exit_code != 0) {
        if (error) *error = "xrandr cannot add mode " + mode + ": " + n.err + a.err;
        return false;
    }
    return true;
}

bool set_screen_size(int display, const std::string &output, int width, int height,
                     std::string *error) {
    const CommandResult s =
        x_tool(display, {"xrandr", "--output", output, "--mode", mode_name(width, height)});
    if (s.exit_code != 0) {
        if (error) *error = "xrandr --mode " + mode_name(width, height) + " failed: " + s.err;
        return false;
    }
    Image img;
    std::string grab_error;
    const bool ok = wait_until(
        [&] {
            return grab_root(display, &img, &grab_error) && img.width == width &&
                   img.height == height;
        },
        Millis(5000));
    if (!ok && error)
        *error = "the screen stayed " + std::to_string(img.width) + "x" +
                 std::to_string(img.height) + " " + grab_error;
    return ok;
}

}  // namespace interop

namespace interop {

namespace {

bool is_socket(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The first socket in dir whose name starts with prefix; empty when none.
std::string find_socket(const std::string &dir, const std::string &prefix) {
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && is_socket(e.path().string())) return name;
    }
    return "";
}

}  // namespace

std::string Wayvnc::missing_programs() {
    std::string missing;
    std::vector<std::string> needed = {"sway", "swaybg", "wayvnc", "grim", "swaymsg"};
    if (geteuid() == 0) needed.push_back("setpriv");
    for (const auto &p : needed)
        if (!on_path(p)) missing += (missing.empty() ? "" : " ") + p;
    return missing;
}

std::vector<std::string> Wayvnc::as_user(const std::vector<std::string> &argv) const {
    if (geteuid() != 0) return argv;
    const struct passwd *pw = getpwnam("nobody");
    const std::string uid = std::to_string(pw ? pw->pw_uid : 65534);
    const std::string gid = std::to_string(pw ? pw->pw_gid : 65534);
    std::vector<std::string> out = {"setpriv", "--reuid=" + uid, "--regid=" + gid,
                                    "--clear-groups"};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

SpawnOptions Wayvnc::client_options(const std::string &log_name) const {
    SpawnOptions o;
    o.cwd = dir_.path();
    if (!log_name.empty()) o.log_path = dir_.file(log_name);
    o.env = {"HOME=" + dir_.path(), "XDG_RUNTIME_DIR=" + runtime_dir_,
             "WAYLAND_DISPLAY=" + wayland_display_, "SWAYSOCK=" + sway_socket_,
             // An X server some other test left in the environment is not ours.
             "DISPLAY="};
    return o;
}

bool Wayvnc::start(int width, int height, const std::string &background, std::string *error,
                   bool auth, const std::string &key_file, const std::string &cert_file) {
    auto fail = [&](const std::string &what) {
        if (error) *error = what;
        return false;
    };
    if (dir_.path().empty()) return fail("no temporary directory");
    runtime_dir_ = dir_.file("run");
    if (mkdir(runtime_dir_.c_str(), 0700) != 0) return fail("cannot make " + runtime_dir_);
    if (geteuid() == 0) {
        const struct passwd *pw = getpwnam("nobody");
        if (!pw) return fail("no user nobody to run sway as (it refuses root)");
        if (chown(dir_.path().c_str(), pw->pw_uid, pw->pw_gid) != 0 ||
            chown(runtime_dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0)
            return fail("cannot hand " + dir_.path() + " to nobody");
    }
    const std::string config = dir_.file("sway.config");
    if (!write_file(config, "output * resolution " + std::to_string(width) + "x" +
                                std::to_string(height) + " bg " + background +
                                " solid_color\n"))
        return fail("cannot write " + config);

    // sway makes its IPC socket where SWAYSOCK says; the Wayland socket's
    // name it picks itself.
    sway_socket_ = runtime_dir_ + "/sway-ipc.sock";
    SpawnOptions o = client_options("sway.log");
    o.env.insert(o.env.end(),
                 {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"});
    sway_ = Process(as_user({"sway", "-c", config}), o);
    const bool up = wait_until(
        [&] {
            wayland_display_ = find_socket(runtime_dir_, "wayland-");
            return (!wayland_display_.empty() && is_socket(sway_socket_)) || !sway_.running();
        },
        Millis(10000));
    if (!up || !sway_.running())
        return fail("sway did not start:\n" + tail_lines(sway_.log(), 20));

    // The display number is only a way to a port nobody else is handed.
    const int n = pick_display();
    if (n < 0) return fail("no free port");
    port_ = 5900 + n;
    std::vector<std::string> argv = {"wayvnc", "-v"};
    if (auth) {
        const std::string key = dir_.file("key.pem"), cert = dir_.file("cert.pem"),
                          conf = dir_.file("wayvnc.config");
        if (!key_file.empty()) {
            // Copied to where wayvnc (perhaps as nobody) may read them.
            if (!write_file(key, read_file(key_file)) || !write_file(cert, read_file(cert_file)))
                return fail("cannot copy the key and certificate to " + dir_.path());
        } else {
            const CommandResult r =
                run_command({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                             "1", "-subj", "/CN=localhost", "-keyout", key, "-out", cert});
            if (r.exit_code != 0) return fail("openssl made no certificate: " + r.err);
        }
        if (!write_file(conf, "enable_auth=true\nusername=quenvira\npassword=qvsecret\n"
                              "private_key_file=" + key + "\ncertificate_file=" + cert + "\n"))
            return fail("cannot write " + conf);
        if (geteuid() == 0) {
            const struct passwd *pw = getpwnam("nobody");
            for (const std::string &f : {key, cert, conf})
                if (!pw || chown(f.c_str(), pw->pw_uid, pw->pw_gid) != 0)
                    return fail("cannot hand " + f + " to nobody");
        }
        argv.insert(argv.end(), {"-C", conf});
    }
    argv.insert(argv.end(), {"127.0.0.1", std::to_string(port_)});
    wayvnc_ = Process(as_user(argv), client_options("wayvnc.log"));
    if (!wait_until([&] { return tcp_listening(port_) || !wayvnc_.running(); }, Millis(10000)) ||
        !wayvnc_.running())
        return fail("wayvnc does not listen on its port:\n" + tail_lines(wayvnc_.log(), 20));
    return true;
}

Process &Wayvnc::start_client(const std::vector<std::string> &argv) {
    clients_.emplace_back(as_user(argv), client_options("clients.log"));
    return clients_.back();
}

bool Wayvnc::swaymsg(const std::string &command, std::string *error) {
    const CommandResult r = run_command(as_user({"swaymsg", command}), client_options(""));
    if (r.exit_code == 0) return true;
    if (error) *error = "swaymsg " + command + " failed: " + r.out + r.err;
    return false;
}

bool Wayvnc::screenshot(Image *out, std::string *error) {
    const CommandResult r = run_command(as_user({"grim", "-t", "ppm", "-"}), client_options(""));
    if (r.exit_code != 0) {
        if (error) *error = "grim failed: " + r.err;
        return false;
    }
    return parse_ppm(r.out, out, error);
}

void Wayvnc::stop() {
    clients_.clear();
    wayvnc_.stop(Millis(1000));
    sway_.stop(Millis(1000));
}

std::set<std::string> Wayvnc::parse_encodings(const std::string &part) const {
    std::set<std::string> names;
    std::istringstream in(part);
    std::string line;
    while (std::getline(in, line)) {
        const size_t at = line.find("Choosing ");
        if (at == std::string::npos) continue;
        std::istringstream words(line.substr(at));
        std::string choosing, name, encoding;
        if (words >> choosing >> name >> encoding && encoding == "encoding")
            names.insert(lower(name));
    }
    return names;
}

}  // namespace interop
