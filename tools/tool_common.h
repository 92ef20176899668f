// What the command-line tools share: their exit statuses, the server
// address forms, the password sources and --timeout, and a connection
// attempt bounded by a deadline.
#ifndef QV_TOOL_COMMON_H
#define QV_TOOL_COMMON_H

#include <chrono>
#include <functional>
#include <string>

#include "quenvira_vnc.h"

namespace qv_tool {

enum exit_status {
    kExitOk = 0,
    kExitInternal = 1,  // out of memory, no handle, demo server would not start, no window
    kExitUsage = 2,     // bad command line, unreadable password source
    kExitConnect = 3,   // unresolvable, unreachable, refused, broken handshake
    kExitAuth = 4,      // the server refused the password
    kExitTimeout = 5,   // vnc-snapshot: no complete picture in time; both: no connection in time
    kExitOutput = 6,    // vnc-snapshot: the PNG could not be written
    kExitLost = 7,      // vnc-view: the server went away while being viewed
};

typedef std::chrono::steady_clock steady;

constexpr int kDefaultTimeoutSeconds = 10;
constexpr int kFirstVncPort = 5900;
// --demo starts the built-in test server on the first free port from here.
constexpr int kDemoFirstPort = 25900;
constexpr int kDemoPortCount = 100;

// The name messages start with ("vnc-snapshot: ...").
void set_program(const char *name);
const char *program();

// "program: text" on stderr.
void complain(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The same plus a pointer to --help; returns kExitUsage.
int usage_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// host:port for messages, IPv6 addresses in brackets.
std::string endpoint(const std::string &host, int port);

// HOST (port 5900), HOST:DISPLAY (5900 + DISPLAY), HOST::PORT, with IPv6
// literals in brackets. False with the reason in *why.
bool parse_target(const std::string &target, std::string *host, int *port, std::string *why);

// The options both tools take: the password sources and --timeout.
struct common_options {
    double timeout_s = kDefaultTimeoutSeconds;
    // At most one explicit source; none falls back to VNC_PASSWORD.
    int password_sources = 0;
    std::string password_env;
    std::string password_file;
    std::string password_arg;
    bool password_arg_given = false;
    // --encodings and --jpeg-quality, as the library's options take them.
    std::string encodings;
    std::string jpeg_quality;
};

enum class option_result { kNotMine, kTaken, kError };

// Takes argv[*i] (and its value, advancing *i) when it is one of the common
// options. kError means a usage message was printed: exit with kExitUsage.
option_result parse_common_option(int argc, char **argv, int *i, common_options *o);

// Checks after the whole command line was read; -1 when fine, else the exit
// status (a message was printed).
int check_common_options(const common_options &o);

// Sets --encodings and --jpeg-quality on a handle (a JPEG quality alone
// puts Tight first among the default encodings). False, with a message,
// when the library refuses one.
bool apply_encoding_options(vnc_client_t *client, const common_options &o);

// Their lines of --help.
extern const char kEncodingOptionsHelp[];

// Returns -1 when a password (possibly none) was found, else the exit status.
int load_password(const common_options &o, std::string *password, bool *have);

// Starts the built-in test server on a free port from kDemoFirstPort;
// returns the port, or -1 (with a message) when none was free.
int start_demo_server(const char *password);

// vnc_connect on a helper thread, so that the deadline also bounds a host
// that never answers (the library's own waits are longer and not
// adjustable). tick, when given, runs every few milliseconds meanwhile, on
// this thread. Past the deadline the process ends with kExitTimeout.
int connect_before(vnc_client_t *client, const std::string &host, int port, const char *password,
                   steady::time_point deadline, double timeout_s,
                   const std::function<void()> &tick = nullptr);

// Why the handle's last connect failed or its connection ended, in the
// library's detail (the system's error, the server's words); "" when it has
// none.
std::string end_reason(vnc_client_t *client);

// text with reason after it, when the reason adds anything.
std::string with_reason(const std::string &text, const std::string &reason);

// The message and exit status for a failed connect_before; why is what
// vnc_last_error said, reason the handle's end_reason.
int report_connect_failure(const std::string &where, const std::string &why,
                           const std::string &reason);

}  // namespace qv_tool

#endif
