#include "tool_common.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#else
#include <poll.h>
#endif

namespace qv_tool {

namespace {

constexpr size_t kMaxPasswordFileBytes = 4096;
constexpr int kTickMs = 10;

const char *s_program = "vnc-tool";

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

[[noreturn]] void exit_timed_out(double timeout_s, const char *while_doing) {
    complain("timed out after %g s %s", timeout_s, while_doing);
    std::fflush(stdout);
    std::fflush(stderr);
    // Whatever still runs on another thread ends with the process.
    std::_Exit(kExitTimeout);
}

}  // namespace

void set_program(const char *name) { s_program = name; }
const char *program() { return s_program; }

void complain(const char *format, ...) {
    std::fprintf(stderr, "%s: ", s_program);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
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

std::string endpoint(const std::string &host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

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

option_result parse_common_option(int argc, char **argv, int *i, common_options *o) {
    const std::string arg = argv[*i];
    std::string value;
    bool matched = false;
    bool ok = option_value(argc, argv, i, "--timeout", &value, &matched);
    if (matched) {
        char *end = nullptr;
        const double t = ok ? std::strtod(value.c_str(), &end) : 0;
        if (!ok || end == value.c_str() || *end != '\0' || !(t > 0) || t > 86400) {
            usage_error("--timeout needs a number of seconds above 0 (at most 86400)");
            return option_result::kError;
        }
        o->timeout_s = t;
        return option_result::kTaken;
    }
    if (arg == "--insecure") {
        o->insecure = true;
        return option_result::kTaken;
    }
    for (auto [name, field] : {std::pair{"--encodings", &common_options::encodings},
                               std::pair{"--jpeg-quality", &common_options::jpeg_quality},
                               std::pair{"--security", &common_options::security},
                               std::pair{"--ca-file", &common_options::ca_file},
                               std::pair{"--pin", &common_options::pin}}) {
        ok = option_value(argc, argv, i, name, &value, &matched);
        if (!matched) continue;
        if (!ok || value.empty()) {
            usage_error("%s needs a value", name);
            return option_result::kError;
        }
        o->*field = value;  // the library judges it
        return option_result::kTaken;
    }
    ok = option_value(argc, argv, i, "--username", &value, &matched);
    if (matched) {
        if (!ok) {
            usage_error("--username needs a name");
            return option_result::kError;
        }
        o->username = value;
        o->username_given = true;
        return option_result::kTaken;
    }
    ok = option_value(argc, argv, i, "--password-env", &value, &matched);
    if (matched) {
        if (!ok || value.empty()) {
            usage_error("--password-env needs a variable name");
            return option_result::kError;
        }
        o->password_env = value;
        ++o->password_sources;
        return option_result::kTaken;
    }
    ok = option_value(argc, argv, i, "--password-file", &value, &matched);
    if (matched) {
        if (!ok || value.empty()) {
            usage_error("--password-file needs a file name");
            return option_result::kError;
        }
        o->password_file = value;
        ++o->password_sources;
        return option_result::kTaken;
    }
    ok = option_value(argc, argv, i, "--password", &value, &matched);
    if (!matched) ok = option_value(argc, argv, i, "-p", &value, &matched);
    if (matched) {
        if (!ok) {
            usage_error("%s needs a password", arg.c_str());
            return option_result::kError;
        }
        o->password_arg = value;
        o->password_arg_given = true;
        ++o->password_sources;
        return option_result::kTaken;
    }
    return option_result::kNotMine;
}

const char kEncodingOptionsHelp[] =
    "  --encodings LIST      encodings to offer, by preference, from tight, zrle,\n"
    "                        hextile, rre, copyrect and raw (default: zrle,\n"
    "                        hextile, rre, copyrect, raw)\n"
    "  --jpeg-quality Q      0-9 or off: let Tight send photo-like areas as JPEG\n"
    "                        (lossy; puts tight first when --encodings is not\n"
    "                        given). Pays on slow links, not for exact pixels\n";

bool apply_encoding_options(vnc_client_t *client, const common_options &o) {
    std::string encodings = o.encodings;
    if (encodings.empty() && !o.jpeg_quality.empty() && o.jpeg_quality != "off")
        encodings = "tight,zrle,hextile,rre,copyrect,raw";
    const std::pair<const char *, const std::string *> set[] = {
        {"encodings", &encodings}, {"jpeg-quality", &o.jpeg_quality}};
    for (const auto &[name, value] : set) {
        if (value->empty()) continue;
        if (vnc_set_option(client, name, value->c_str()) != 0) {
            usage_error("--%s %s: %s", name, value->c_str(), vnc_last_error());
            return false;
        }
    }
    return true;
}

int check_common_options(const common_options &o) {
    if (o.password_sources > 1)
        return usage_error(
            "give the password one way only (--password-env, --password-file or -p)");
    if (o.insecure && !o.pin.empty())
        return usage_error("--pin and --insecure contradict each other: give one");
    return -1;
}

const char kSecurityOptionsHelp[] =
    "  --security LIST       security types to accept, by preference, from\n"
    "                        x509vnc, x509plain, x509none, tlsvnc, tlsplain,\n"
    "                        tlsnone, anontls, ra2-256, ra2, ra2ne-256, ra2ne,\n"
    "                        dh, mslogon2, plain, vncauth and none (default:\n"
#ifdef _WIN32
    "                        the X.509 types, then RSA-AES, then vncauth, then\n"
    "                        none: Windows' TLS has no anonymous TLS; dh and\n"
    "                        mslogon2 after RSA-AES when --username is given;\n"
    "                        plain, a password sent unencrypted, only when\n"
    "                        listed)\n"
#else
    "                        the X.509 types, then anonymous TLS, then RSA-AES,\n"
    "                        then vncauth, then none; dh and mslogon2 after\n"
    "                        RSA-AES when --username is given; plain, a\n"
    "                        password sent unencrypted, only when listed)\n"
#endif
    "  --username NAME       the user name for the Plain types (wayvnc, VeNCrypt\n"
    "                        servers with user logins); the password as above\n"
    "  --ca-file FILE        trust the CA certificates in FILE (PEM) for the\n"
    "                        server's certificate (default: the system's)\n"
    "  --pin sha256:HEX      accept the server's certificate when its SHA-256\n"
    "                        fingerprint is HEX, and no other, whoever signed it\n"
    "  --insecure            accept any certificate (unsafe: anyone between here\n"
    "                        and the server can read and change everything)\n";

const char kKnownHostsReadHelp[] =
    "Certificates: X.509 types check the server's certificate against the CA\n"
    "certificates and the server's name. A server whose certificate vnc-view\n"
    "was told to trust has its fingerprint in the known-hosts file\n"
#ifdef _WIN32
    "(%APPDATA%\\quenvira-vnc\\known_hosts; one\n"
#else
    "($XDG_CONFIG_HOME or ~/.config, then quenvira-vnc/known_hosts; one\n"
#endif
    "\"HOST:PORT sha256:HEX\" a line); that pin is used unless --pin,\n"
    "--ca-file or --insecure is given. An RSA-AES server's key remembered\n"
    "there by vnc-view (\"HOST:PORT rsa-sha256:HEX\") is pinned the same\n"
    "way, unless --insecure. This tool never asks.\n";

const char kKnownHostsAskHelp[] =
    "Certificates: X.509 types check the server's certificate against the CA\n"
    "certificates and the server's name. When that fails, the viewer shows\n"
    "the certificate (subject, issuer, validity, SHA-256 fingerprint) on the\n"
    "terminal it runs from and asks whether to trust it; yes remembers the\n"
    "fingerprint in the known-hosts file ($XDG_CONFIG_HOME or ~/.config, then\n"
    "quenvira-vnc/known_hosts; one \"HOST:PORT sha256:HEX\" a line) and\n"
    "connects again pinned to it. A remembered pin is used unless --pin,\n"
    "--ca-file or --insecure is given. An RSA-AES server's key is remembered\n"
    "there at the first connection (\"HOST:PORT rsa-sha256:HEX\") and any\n"
    "other key refused from then on, unless --insecure.\n";

std::string default_security(bool have_username) {
    // RSA-AES after TLS (encrypted, but no certificate says who the server
    // is); Apple DH and MSLogonII only with a user name, which both need.
    // Windows' TLS has no anonymous suites: those types are left out there.
#ifdef _WIN32
    return have_username ? "x509plain,x509vnc,x509none,"
                           "ra2-256,ra2,ra2ne-256,ra2ne,dh,mslogon2,vncauth,none"
                         : "x509vnc,x509none,x509plain,ra2-256,ra2,ra2ne-256,ra2ne,vncauth,none";
#else
    return have_username ? "x509plain,x509vnc,x509none,tlsplain,tlsvnc,tlsnone,anontls,"
                           "ra2-256,ra2,ra2ne-256,ra2ne,dh,mslogon2,vncauth,none"
                         : "x509vnc,x509none,x509plain,tlsvnc,tlsnone,tlsplain,anontls,"
                           "ra2-256,ra2,ra2ne-256,ra2ne,vncauth,none";
#endif
}

bool apply_security_options(vnc_client_t *client, const common_options &o,
                            const std::string &where) {
    const std::string security =
        o.security.empty() ? default_security(o.username_given) : o.security;
    std::string pin = o.pin;
    // A pin remembered earlier stands in for a CA the user has not named.
    if (pin.empty() && !o.insecure && o.ca_file.empty()) pin = known_host_pin(where);
    // A server's RSA key seen before: another one is refused.
    const std::string rsa_pin = o.insecure ? "" : known_host_pin(where, kRsaKey);
    struct setting {
        const char *option, *name;
        std::string value;
        bool given;
    };
    const setting set[] = {{"--security", "security", security, true},
                           {"--username", "username", o.username, o.username_given},
                           {"--ca-file", "tls-ca-file", o.ca_file, !o.ca_file.empty()},
                           {"--pin", "tls-pin", pin, !pin.empty()},
                           {"--pin", "rsa-pin", rsa_pin, !rsa_pin.empty()},
                           {"--insecure", "tls-verify", "off", o.insecure}};
    for (const setting &s : set) {
        if (!s.given) continue;
        if (vnc_set_option(client, s.name, s.value.c_str()) != 0) {
            const bool remembered =
                (std::strcmp(s.name, "tls-pin") == 0 && o.pin.empty()) ||
                std::strcmp(s.name, "rsa-pin") == 0;
            if (remembered) {
                complain("the pin for %s in %s is not usable: %s", where.c_str(),
                         known_hosts_path().c_str(), vnc_last_error());
            } else if (std::strcmp(s.name, "security") == 0 && o.security.empty()) {
                complain("cannot set security=%s: %s", s.value.c_str(), vnc_last_error());
            } else {
                usage_error("%s %s: %s", s.option, s.value.c_str(), vnc_last_error());
            }
            return false;
        }
    }
    return true;
}

std::string known_hosts_path() {
    const char *config = std::getenv("XDG_CONFIG_HOME");
#ifdef _WIN32
    // Where Windows keeps a user's settings (HOME is rarely set there),
    // unless XDG_CONFIG_HOME says otherwise.
    if (config && config[0]) return std::string(config) + "/quenvira-vnc/known_hosts";
    const char *appdata = std::getenv("APPDATA");
    if (appdata && appdata[0]) return std::string(appdata) + "/quenvira-vnc/known_hosts";
    return "";
#endif
    if (config && config[0] == '/') return std::string(config) + "/quenvira-vnc/known_hosts";
    const char *home = std::getenv("HOME");
    if (home && home[0]) return std::string(home) + "/.config/quenvira-vnc/known_hosts";
    return "";
}

namespace {

// The file's lines; a missing file has none.
std::vector<std::string> known_host_lines() {
    std::vector<std::string> lines;
    const std::string path = known_hosts_path();
    std::FILE *f = path.empty() ? nullptr : std::fopen(path.c_str(), "r");
    if (!f) return lines;
    std::string line;
    for (int ch; (ch = std::fgetc(f)) != EOF;) {
        if (ch != '\n') {
            line.push_back(static_cast<char>(ch));
            continue;
        }
        lines.push_back(line);
        line.clear();
    }
    if (!line.empty()) lines.push_back(line);
    std::fclose(f);
    return lines;
}

// The host and pin of a line; false for a comment or a blank line.
bool split_known_host(const std::string &line, std::string *where, std::string *pin) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') return false;
    const size_t space = line.find_first_of(" \t", start);
    if (space == std::string::npos) return false;
    const size_t value = line.find_first_not_of(" \t", space);
    if (value == std::string::npos) return false;
    *where = line.substr(start, space - start);
    const size_t end = line.find_first_of(" \t\r", value);
    *pin = line.substr(value, end == std::string::npos ? std::string::npos : end - value);
    return true;
}

bool make_directories(const std::string &path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        const std::string part = path.substr(0, at);
#ifdef _WIN32
        // Windows' C library takes no mode: the user's profile is private already.
        if (_mkdir(part.c_str()) != 0 && errno != EEXIST) return false;
#else
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
#endif
    }
    return true;
}

}  // namespace

std::string known_host_pin(const std::string &where, const char *kind) {
    // A line holds "KIND:HEX"; the options take "sha256:HEX" for either kind.
    const std::string prefix = std::string(kind) + ":";
    std::string host, pin;
    for (const std::string &line : known_host_lines())
        if (split_known_host(line, &host, &pin) && host == where && pin.rfind(prefix, 0) == 0)
            return "sha256:" + pin.substr(prefix.size());
    return "";
}

bool remember_known_host(const std::string &where, const std::string &pin, std::string *why) {
    const std::string path = known_hosts_path();
    if (path.empty()) {
#ifdef _WIN32
        *why = "APPDATA is not set";
#else
        *why = "neither XDG_CONFIG_HOME nor HOME is set";
#endif
        return false;
    }
    if (!make_directories(path)) {
        *why = "cannot make the directory of " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    for (const std::string &line : known_host_lines()) {
        std::string host, old;
        // One line a server and kind (certificate or RSA key).
        const bool same = split_known_host(line, &host, &old) && host == where &&
                          old.substr(0, old.find(':')) == pin.substr(0, pin.find(':'));
        if (!same) text += line + "\n";
    }
    text += where + " " + pin + "\n";
    // Written aside and renamed, so that a crash leaves the old file whole.
    const std::string temporary = path + ".new";
    std::FILE *f = std::fopen(temporary.c_str(), "w");
    bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f) ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

security_info get_security_info(vnc_client_t *client) {
    security_info info;
    std::vector<char> text(4096);
    int n = vnc_get_security_info(client, text.data(), static_cast<int>(text.size()));
    if (n >= static_cast<int>(text.size())) {
        text.resize(static_cast<size_t>(n) + 1);
        n = vnc_get_security_info(client, text.data(), static_cast<int>(text.size()));
    }
    if (n <= 0) return info;
    std::string all(text.data(), std::min(static_cast<size_t>(n), text.size() - 1));
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        const std::string line = all.substr(at, end - at);
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) info.emplace_back(line.substr(0, colon), line.substr(colon + 2));
        at = end + 1;
    }
    return info;
}

std::string info_value(const security_info &info, const std::string &key) {
    for (const auto &[k, v] : info)
        if (k == key) return v;
    return "";
}

bool certificate_refused(const security_info &info) {
    // "ok", "ok (pinned)" and "not checked (...)" let the certificate in.
    const std::string verification = info_value(info, "verification");
    return !verification.empty() && verification.compare(0, 2, "ok") != 0 &&
           verification.compare(0, 11, "not checked") != 0 && !info_value(info, "sha256").empty();
}

namespace {

// The fingerprint as --pin takes it.
std::string pin_of(const security_info &info) {
    std::string hex;
    for (char ch : info_value(info, "sha256"))
        if (ch != ':') hex.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
    return "sha256:" + hex;
}

}  // namespace

bool ask_trust(const std::string &where, const security_info &info, bool changed,
               const std::function<void()> &while_waiting) {
    // The terminal itself: standard input may be a pipe, and the question
    // must not be answered by whatever happens to be in it.
    std::FILE *tty = std::fopen("/dev/tty", "r+");
    if (!tty) return false;
    if (changed)
        std::fprintf(tty,
                     "WARNING: %s shows another certificate than the one trusted before. It may\n"
                     "have been replaced, or someone may be intercepting the connection.\n",
                     where.c_str());
    std::fprintf(tty,
                 "The certificate of %s is not trusted: %s\n"
                 "  subject:  %s\n  issuer:   %s\n  valid:    %s to %s\n  sha256:   %s\n"
                 "Trust it and remember it in %s? [y/N] ",
                 where.c_str(), info_value(info, "verification").c_str(),
                 info_value(info, "subject").c_str(), info_value(info, "issuer").c_str(),
                 info_value(info, "not-before").c_str(), info_value(info, "not-after").c_str(),
                 info_value(info, "sha256").c_str(), known_hosts_path().c_str());
    std::fflush(tty);
#ifndef _WIN32
    if (while_waiting) {
        pollfd typed = {fileno(tty), POLLIN, 0};
        for (;;) {
            const int r = poll(&typed, 1, 50);
            if (r > 0) break;
            // A signal (Ctrl-C) goes to the tick, which ends the tool as
            // while connecting; a terminal that fails is a no.
            if (r < 0 && errno != EINTR) {
                std::fclose(tty);
                return false;
            }
            while_waiting();
        }
    }
#else
    (void)while_waiting;
#endif
    char answer[64] = {0};
    const bool read = std::fgets(answer, sizeof answer, tty) != nullptr;
    std::fclose(tty);
    return read && (answer[0] == 'y' || answer[0] == 'Y');
}

std::string trusted_pin(const security_info &info) { return pin_of(info); }

void remember_rsa_key(vnc_client_t *client, const std::string &where) {
    const std::string key = info_value(get_security_info(client), kRsaKey);
    if (key.empty() || !known_host_pin(where, kRsaKey).empty()) return;
    // No certificate vouches for an RSA-AES server: its key is trusted on
    // first use, as ssh does, and any other key is refused from then on.
    std::string why;
    if (remember_known_host(where, std::string(kRsaKey) + ":" + key, &why))
        std::fprintf(stderr, "%s: %s's RSA key sha256:%s remembered in %s\n", program(),
                     where.c_str(), key.c_str(), known_hosts_path().c_str());
    else
        complain("%s", why.c_str());
}

int load_password(const common_options &o, std::string *password, bool *have) {
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

int start_demo_server(const char *password) {
    for (int p = kDemoFirstPort; p < kDemoFirstPort + kDemoPortCount; ++p)
        if (vnc_test_server_start(p, password) == 0) return p;
    complain("cannot start the built-in test server: ports %d to %d are all taken",
             kDemoFirstPort, kDemoFirstPort + kDemoPortCount - 1);
    return -1;
}

int connect_before(vnc_client_t *client, const std::string &host, int port, const char *password,
                   steady::time_point deadline, double timeout_s,
                   const std::function<void()> &tick) {
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
    for (;;) {
        steady::time_point until = deadline;
        if (tick) until = std::min(deadline, steady::now() + std::chrono::milliseconds(kTickMs));
        if (shared->cv.wait_until(lock, until, [&] { return shared->done; })) break;
        if (steady::now() >= deadline) {
            // Abandon the attempt (vnc_disconnect cuts its waits short) so
            // that the library can say where it was.
            lock.unlock();
            vnc_disconnect(client);
            worker.join();
            const std::string why = vnc_last_error();
            if (why.empty()) exit_timed_out(timeout_s, "while connecting");
            exit_timed_out(timeout_s, ("while connecting (" + why + ")").c_str());
        }
        lock.unlock();
        tick();
        lock.lock();
    }
    lock.unlock();
    worker.join();
    return shared->result;
}

std::string end_reason(vnc_client_t *client) {
    char text[512];
    return client && vnc_get_end_reason(client, text, sizeof text) > 0 ? text : "";
}

std::string with_reason(const std::string &text, const std::string &reason) {
    if (reason.empty() || reason == text) return text;
    if (text.empty() || reason.compare(0, text.size(), text) == 0) return reason;
    return text + " (" + reason + ")";
}

int report_connect_failure(const std::string &where, const std::string &why,
                           const std::string &reason, const security_info &info) {
    // The library's words say what to do; the tools' own flags are added
    // where trusting is the answer (an issuer it does not know: a
    // self-signed server), not for a mismatch or an expiry.
    if (certificate_refused(info) && info_value(info, "verification") == "unknown issuer") {
        complain("%s: %s", where.c_str(), with_reason(why, reason).c_str());
        const bool asks = std::strcmp(s_program, "vnc-view") == 0;
        std::fprintf(stderr,
                     "To trust this server: --ca-file with the CA that signed its certificate, or\n"
                     "--pin %s after checking that fingerprint with its owner%s\n",
                     pin_of(info).c_str(), asks ? "." : "\n(vnc-view asks and remembers it).");
        return kExitConnect;
    }
    if (why == "VNC Authentication failed") {
        complain("%s: %s (wrong or missing password?)", where.c_str(),
                 with_reason(why, reason).c_str());
        return kExitAuth;
    }
    // A server that refuses with a reason of its own leaves no process-wide
    // text: say at least that it was the handshake.
    const std::string text =
        why.empty() ? "the server refused the connection during the handshake" : why;
    complain("%s: %s", where.c_str(), with_reason(text, reason).c_str());
    return kExitConnect;
}

}  // namespace qv_tool
