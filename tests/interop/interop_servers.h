// More VNC servers as interop peers: TightVNC's Xvnc (Xtightvnc, an X
// server of its own), TigerVNC's x0vncserver scraping an Xvfb, and wayvnc on
// a headless sway. Like the peers in interop_peers.h they listen on
// 127.0.0.1 only, on the port of a display number found free at start, and
// are stopped by their owner.
#ifndef QV_INTEROP_SERVERS_H
#define QV_INTEROP_SERVERS_H

#include <list>
#include <set>
#include <string>
#include <vector>

#include "interop_peers.h"
#include "interop_process.h"

namespace interop {

struct XtightvncOptions {
    int width = 500;
    int height = 380;
    std::string password;  // empty: no authentication
    std::string desktop = "quenvira-interop";
};

class Xtightvnc : public XServerBase, public VncServer {
public:
    bool start(const std::string &dir, const XtightvncOptions &opts, std::string *error);
    int port() const override { return port_; }
    int screen_display() const override { return display_; }
    std::string server_log() const override { return log(); }

protected:
    std::set<std::string> parse_encodings(const std::string &log_part) const override;

private:
    int port_ = -1;
};

struct X0vncserverOptions {
    std::string password;     // empty: security type None only
    bool protocol33 = false;  // offer RFB 3.3 instead of 3.8
};

// x0vncserver (the X0tigervnc binary, not the wrapper script that puts it
// in the background) serving an Xvfb of its own.
class X0vncserver : public VncServer {
public:
    bool start(const std::string &dir, int width, int height, const X0vncserverOptions &opts,
               std::string *error);
    int port() const override { return port_; }
    int screen_display() const override { return xvfb_.display(); }
    std::string server_log() const override { return proc_.log(); }
    bool running() { return proc_.running(); }
    void stop();
    ~X0vncserver() override { stop(); }

protected:
    std::set<std::string> parse_encodings(const std::string &log_part) const override;

private:
    Xvfb xvfb_;
    Process proc_;
    int port_ = -1;
};

// wayvnc sharing the one output of a headless sway (pixman renderer: no GPU
// or seat needed). grim's screenshots of the output are the ground truth.
// sway refuses to run as root, so under root the compositor, wayvnc and
// every Wayland client run as nobody.
class Wayvnc : public VncServer {
public:
    // The programs this needs that are not on PATH, space-separated; empty
    // when all are there.
    static std::string missing_programs();
    // Starts sway with a width x height output of colour background
    // ("#rrggbb"), then wayvnc on it; with auth, wayvnc asks for user
    // quenvira and password qvsecret, which it offers only inside TLS
    // (VeNCrypt X509Plain), with the given key and certificate (PEM files),
    // else a self-signed one for localhost.
    bool start(int width, int height, const std::string &background, std::string *error,
               bool auth = false, const std::string &key_file = "",
               const std::string &cert_file = "");
    int port() const override { return port_; }
    int screen_display() const override { return -1; }  // no X screen
    std::string server_log() const override { return wayvnc_.log(); }
    std::string compositor_log() const { return sway_.log(); }
    bool running() { return wayvnc_.running() && sway_.running(); }
    // Runs a Wayland client on the output until stop() (or the fixture) ends it.
    Process &start_client(const std::vector<std::string> &argv);
    // One sway command through swaymsg.
    bool swaymsg(const std::string &command, std::string *error);
    bool screenshot(Image *out, std::string *error);
    void stop();
    ~Wayvnc() override { stop(); }

protected:
    // wayvnc -v logs "Choosing zrle encoding for client 0x..." once a
    // client's encodings are read.
    std::set<std::string> parse_encodings(const std::string &log_part) const override;

private:
    std::vector<std::string> as_user(const std::vector<std::string> &argv) const;
    SpawnOptions client_options(const std::string &log_name) const;
    TempDir dir_;
    std::string runtime_dir_, wayland_display_, sway_socket_;
    Process sway_;
    Process wayvnc_;
    std::list<Process> clients_;
    int port_ = -1;
};

// Screen sizes of an Xvfb through RandR. add_screen_size makes the mode for
// width x height known (when it is new) and names the output to set it on;
// set_screen_size switches to it, true once xwd sees the new size. Xvfb
// cannot grow beyond the size it started with.
bool add_screen_size(int display, int width, int height, std::string *output,
                     std::string *error);
bool set_screen_size(int display, const std::string &output, int width, int height,
                     std::string *error);

}  // namespace interop

#endif
