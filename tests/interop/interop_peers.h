// The real peers of the interop tests: X servers (Xvfb, Xvnc), VNC servers
// (Xvnc, x11vnc on Xvfb) and the X tools used to look at and change what
// they show. Each server runs on 127.0.0.1 on a display number and port found
// free at start, is waited for by polling, and is stopped by its owner.
#ifndef QV_INTEROP_PEERS_H
#define QV_INTEROP_PEERS_H

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "interop_image.h"
#include "interop_process.h"

namespace interop {

// A display number N in [first, last] whose X socket and lock file are
// absent and whose TCP port 5900 + N is free; -1 when there is none. Numbers
// handed out earlier in this process are skipped.
int pick_display(int first = 100, int last = 499);

// An X tool run against display N.
CommandResult x_tool(int display, const std::vector<std::string> &argv,
                     Millis timeout = Millis(20000), const std::string *input = nullptr);

// The X server's own pixels of the root window or of one window.
bool grab_root(int display, Image *out, std::string *error);
bool grab_window(int display, const std::string &window_id, Image *out, std::string *error);

// One event as xev prints it: a block of lines starting with its type.
struct XEvent {
    std::string type;  // "KeyPress", "ButtonRelease", ...
    int button = -1;
    unsigned keysym = 0;
    int root_x = -1, root_y = -1;
};

// The key and button events in what xev printed, in order.
std::vector<XEvent> parse_xev(const std::string &text);

// Gives the root window an empty (invisible) cursor.
bool hide_root_cursor(int display, std::string *error);

// Puts a picture file on the root window (ImageMagick's display).
bool show_on_root(int display, const std::string &picture, std::string *error);

// Deterministic test pictures of the given size, made once per process.
// kPhoto: gradients, fractal noise, antialiased text (thousands of colours);
// kFlat: a few solid colours in rectangles, stripes and a checkerboard.
enum class Picture { kPhoto, kFlat };
std::string picture_file(Picture kind, int width, int height);

// A VNC password file as vncpasswd -f writes it.
bool make_password_file(const std::string &path, const std::string &password);

// The encodings (lower-case) in the first complete report TigerVNC's servers
// (Xvnc, x0vncserver) log after a client leaves; empty when none is complete.
std::set<std::string> tigervnc_encodings_report(const std::string &log_part);

class XServerBase {
public:
    virtual ~XServerBase() = default;
    int display() const { return display_; }
    std::string display_name() const { return ":" + std::to_string(display_); }
    std::string log() const { return proc_.log(); }
    bool running() { return proc_.running(); }
    void stop() { proc_.stop(); }

protected:
    // Starts argv (with "{D}" replaced by ":N") on a free display, retrying
    // with another number when the server dies before it accepts clients.
    bool start_x(const std::vector<std::string> &argv, const std::string &log_path,
                 std::string *error);
    int display_ = -1;
    Process proc_;
};

class Xvfb : public XServerBase {
public:
    bool start(const std::string &dir, int width, int height, std::string *error);
};

// A VNC server that other parts of a test can talk to.
class VncServer {
public:
    virtual ~VncServer() = default;
    virtual int port() const = 0;
    virtual int screen_display() const = 0;  // the X display it shows
    virtual std::string server_log() const = 0;
    // Encodings (lower-case names: zrle, hextile, rre, copyrect, raw) the
    // server reports having sent to a client that left after log offset
    // from; waits for the report up to timeout. Empty when none appears.
    std::set<std::string> encodings_reported(size_t from, Millis timeout) const;

protected:
    virtual std::set<std::string> parse_encodings(const std::string &log_part) const = 0;
};

struct XvncOptions {
    int width = 500;
    int height = 380;
    std::string password;  // empty: security type None only
    std::string desktop = "quenvira-interop";
    int port = 0;  // 0: 5900 + display; else a fixed one, to stand in for a stopped server
    // Non-empty: -SecurityTypes with these (the password file still goes
    // with a password), and the certificate and key for the X509 types.
    std::string security_types;
    std::string x509_cert, x509_key;
};

class Xvnc : public XServerBase, public VncServer {
public:
    bool start(const std::string &dir, const XvncOptions &opts, std::string *error);
    int port() const override { return port_; }
    int screen_display() const override { return display_; }
    std::string server_log() const override { return log(); }

protected:
    std::set<std::string> parse_encodings(const std::string &log_part) const override;

private:
    int port_ = -1;
};

struct X11vncOptions {
    std::string version = "3.8";  // 3.3, 3.7 or 3.8
    std::string password;         // empty: no authentication
};

// x11vnc serving an Xvfb of its own.
class X11vnc : public VncServer {
public:
    bool start(const std::string &dir, int width, int height, const X11vncOptions &opts,
               std::string *error);
    int port() const override { return port_; }
    int screen_display() const override { return xvfb_.display(); }
    std::string server_log() const override { return proc_.log(); }
    void stop();
    ~X11vnc() override { stop(); }

protected:
    std::set<std::string> parse_encodings(const std::string &log_part) const override;

private:
    Xvfb xvfb_;
    Process proc_;
    int port_ = -1;
};

// tests/interop/lvs_server (libvncserver) serving its own deterministic
// picture, changed by commands; its framebuffer dumps are the ground truth.
struct LvsOptions {
    int width = 320;
    int height = 240;
    std::string password;        // empty: no authentication
    std::string version = "3.8";  // 3.3, 3.7 or 3.8
};

class LvsServer : public VncServer {
public:
    bool start(const std::string &exe, const std::string &dir, const LvsOptions &opts,
               std::string *error);
    int port() const override { return port_; }
    int screen_display() const override { return -1; }  // no X screen
    std::string server_log() const override { return proc_.log(); }
    // Sends one command line ("change", "copy SX SY W H DX DY", "resize W H").
    bool command(const std::string &line);
    // The server's framebuffer once every command sent before is done.
    bool dump(Image *out, std::string *error);
    void stop();
    ~LvsServer() override { stop(); }

protected:
    std::set<std::string> parse_encodings(const std::string &log_part) const override;

private:
    Process proc_;
    std::string dir_;
    int fifo_ = -1;
    int port_ = -1;
    int dumps_ = 0;
};

// QEMU with no disk, showing its firmware on a VNC display, its key events
// traced (vnc_key_event_ext for each QEMU key event, input_event_key_qcode
// for each key that reaches the machine), and its VNC server's resizes,
// authentications and client ends (vnc_msg_server_desktop_resize,
// vnc_auth_*, vnc_client_*) into trace(). A QMP monitor takes commands.
struct QemuOptions {
    bool paused = false;    // -S: the machine waits for QMP "cont"
    bool password = false;  // VNC authentication; no password until one is set
    bool nic = false;       // an e1000 on a user network cut off from everything: iPXE runs
};

class Qemu {
public:
    bool start(const std::string &dir, const std::string &name, std::string *error,
               const QemuOptions &opts = {});
    int port() const { return port_; }
    std::string log() const { return proc_.log(); }
    std::string trace() const { return read_file(trace_path_); }
    // Runs a QMP command (arguments a JSON object, or empty); true when QEMU
    // returns, with its reply in reply when given.
    bool qmp(const std::string &execute, const std::string &arguments, std::string *error,
             std::string *reply = nullptr);
    // The guest's screen as QEMU's screendump writes it.
    bool screendump(Image *out, std::string *error);
    ~Qemu();

private:
    bool qmp_line(std::string *line, std::string *error);
    Process proc_;
    int port_ = -1;
    std::string dir_, trace_path_, qmp_path_;
    int qmp_ = -1;
    std::string qmp_buf_;
    int dumps_ = 0;
};

}  // namespace interop

#endif
