#include "interop_session.h"

namespace interop {

const char *server_name(ServerKind kind) {
    switch (kind) {
    case ServerKind::kXvnc: return "Xvnc";
    case ServerKind::kX11vnc: return "x11vnc";
    case ServerKind::kX0vncserver: return "x0vncserver";
    }
    return "?";
}

bool PeerSession::start_server(ServerKind kind, int width, int height, std::string *error,
                               const std::string &password) {
    if (kind == ServerKind::kXvnc) {
        XvncOptions o;
        o.width = width;
        o.height = height;
        o.password = password;
        if (!xvnc_.start(dir_.path(), o, error)) return false;
        server_ = &xvnc_;
    } else if (kind == ServerKind::kX11vnc) {
        X11vncOptions o;
        o.password = password;
        if (!x11vnc_.start(dir_.path(), width, height, o, error)) return false;
        server_ = &x11vnc_;
    } else {
        X0vncserverOptions o;
        o.password = password;
        if (!x0vncserver_.start(dir_.path(), width, height, o, error)) return false;
        server_ = &x0vncserver_;
    }
    return use_server(*server_, width, height, error);
}

bool PeerSession::use_server(VncServer &server, int width, int height, std::string *error,
                             bool park_pointer) {
    server_ = &server;
    // Xvnc paints the pointer into the pictures it sends to a client that
    // does not take cursor shapes, and xwd does not show it: give the root
    // window an empty cursor and keep the pointer in the corner, away from
    // the windows the tests open (which may have cursors of their own).
    if (!hide_root_cursor(display(), error)) return false;
    if (!park_pointer) return true;
    const CommandResult r = x_tool(
        display(), {"xdotool", "mousemove", std::to_string(width - 1), std::to_string(height - 1)});
    if (r.exit_code != 0) {
        if (error) *error = "xdotool mousemove failed: " + r.err;
        return false;
    }
    return true;
}

Process &PeerSession::start_x_client(const std::vector<std::string> &argv,
                                     const std::string &log_name) {
    SpawnOptions o;
    o.env = {"DISPLAY=:" + std::to_string(display()), "HOME=" + dir_.path()};
    o.log_path = dir_.file(log_name);
    o.cwd = dir_.path();
    clients_.emplace_back(argv, o);
    return clients_.back();
}

std::string PeerSession::find_window(const std::string &class_name, Millis timeout) {
    std::string id;
    wait_until(
        [&] {
            const CommandResult r = x_tool(
                display(), {"xdotool", "search", "--onlyvisible", "--classname", class_name});
            id = r.out.substr(0, r.out.find('\n'));
            return r.exit_code == 0 && !id.empty();
        },
        timeout, Millis(50));
    return id;
}

std::string PeerSession::server_log_tail(size_t lines) const {
    return server_ ? tail_lines(server_->server_log(), lines) : std::string();
}

}  // namespace interop
