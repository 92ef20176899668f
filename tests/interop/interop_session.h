// What one interop test works with: a private directory, one VNC server
// (Xvnc, or x11vnc on Xvfb) and the X clients started on its screen. All of
// it is stopped when the session goes, clients before servers.
#ifndef QV_INTEROP_SESSION_H
#define QV_INTEROP_SESSION_H

#include <list>
#include <ostream>
#include <string>
#include <vector>

#include "interop_peers.h"
#include "interop_servers.h"
#include "interop_process.h"

namespace interop {

enum class ServerKind { kXvnc, kX11vnc, kX0vncserver };
const char *server_name(ServerKind kind);
inline void PrintTo(ServerKind kind, std::ostream *os) { *os << server_name(kind); }

class PeerSession {
public:
    // Starts the server with a screen of width x height; password empty:
    // no authentication.
    bool start_server(ServerKind kind, int width, int height, std::string *error,
                      const std::string &password = "");
    // Works with a server started elsewhere instead, which must outlive
    // the session. park_pointer false: leave the pointer where it is, for a
    // server that paints none and whose X server xdotool cannot drive.
    bool use_server(VncServer &server, int width, int height, std::string *error,
                    bool park_pointer = true);
    VncServer &server() { return *server_; }
    int port() const { return server_->port(); }
    int display() const { return server_->screen_display(); }
    const TempDir &dir() const { return dir_; }

    // Starts an X client on the server's screen; it runs until the session
    // ends or it is stopped.
    Process &start_x_client(const std::vector<std::string> &argv,
                            const std::string &log_name = "x-clients.log");
    // The id of the first visible window whose WM_CLASS name is class_name,
    // waiting for it to be mapped; empty when it never is.
    std::string find_window(const std::string &class_name, Millis timeout = Millis(10000));
    // Tail of the server's log, for failure messages.
    std::string server_log_tail(size_t lines = 40) const;

private:
    TempDir dir_;
    Xvnc xvnc_;
    X11vnc x11vnc_;
    X0vncserver x0vncserver_;
    VncServer *server_ = nullptr;
    std::list<Process> clients_;  // declared last: stopped first
};

}  // namespace interop

#endif
