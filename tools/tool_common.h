// What the command-line tools share: their exit statuses, the server
// address forms, the password sources and --timeout, and a connection
// attempt bounded by a deadline.
#ifndef QV_TOOL_COMMON_H
#define QV_TOOL_COMMON_H

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

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
    // --security, --username, --ca-file, --pin and --insecure; empty or
    // false leaves the tools' own choice (encryption first, certificates
    // verified, a pin from the known-hosts file).
    std::string security;
    std::string username;
    bool username_given = false;
    std::string ca_file;
    std::string pin;
    bool insecure = false;
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

// The security types the tools accept unless --security says otherwise:
// X.509 types first, then anonymous TLS, then VNC authentication, then
// None; the Plain subtypes (a username and password) lead their groups when
// a username was given.
std::string default_security(bool have_username);

// Sets the security options on a handle: --security (or the default list),
// --username, --ca-file, and --pin, else --insecure, else the pin the
// known-hosts file holds for where ("host:port"). False, with a message,
// when the library refuses one.
bool apply_security_options(vnc_client_t *client, const common_options &o,
                            const std::string &where);

// Their lines of --help; the known-hosts paragraph says whether the tool
// asks (vnc-view) or only reads.
extern const char kSecurityOptionsHelp[];
extern const char kKnownHostsReadHelp[];
extern const char kKnownHostsAskHelp[];

// The known-hosts file: $XDG_CONFIG_HOME/quenvira-vnc/known_hosts, else
// ~/.config/quenvira-vnc/known_hosts; "" when neither is set. On Windows
// %APPDATA% in place of ~/.config. One server a
// line and kind: "HOST:PORT sha256:HEX" for a certificate, "HOST:PORT
// rsa-sha256:HEX" for an RSA-AES key (IPv6 hosts in brackets); '#' starts a
// comment.
std::string known_hosts_path();
// The pin remembered for where, or "".
// kind: kCertificate ("sha256:HEX" lines) or kRsaKey ("rsa-sha256:HEX"),
// returned as "sha256:HEX" either way.
constexpr const char *kCertificate = "sha256";
constexpr const char *kRsaKey = "rsa-sha256";
std::string known_host_pin(const std::string &where, const char *kind = kCertificate);
// Remembers pin for where (replacing an older one); false with the reason.
bool remember_known_host(const std::string &where, const std::string &pin, std::string *why);

// vnc_get_security_info's lines as pairs, in order.
typedef std::vector<std::pair<std::string, std::string>> security_info;
security_info get_security_info(vnc_client_t *client);
std::string info_value(const security_info &info, const std::string &key);

// Whether the last connect failed on the server's certificate (one the
// host could still choose to trust: it has a fingerprint).
bool certificate_refused(const security_info &info);

// After a connect: an RSA-AES server's key not yet remembered for where is
// remembered (vnc-view only; the other tools never write the file).
void remember_rsa_key(vnc_client_t *client, const std::string &where);
// The certificate's fingerprint as --pin and tls-pin take it ("sha256:HEX").
std::string trusted_pin(const security_info &info);

// Shows the refused certificate on the terminal the process runs from and
// asks whether to trust it; changed says a different one was remembered
// before. False when the answer is no or there is no terminal. While the
// question waits, while_waiting (if any) runs every 50 ms, so that a window
// keeps drawing itself.
bool ask_trust(const std::string &where, const security_info &info, bool changed,
               const std::function<void()> &while_waiting = {});

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
// vnc_last_error said, reason the handle's end_reason. A refused
// certificate adds how to trust it.
int report_connect_failure(const std::string &where, const std::string &why,
                           const std::string &reason, const security_info &info = {});

}  // namespace qv_tool

#endif
