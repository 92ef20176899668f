// vnc_set_option, and the encoding list a connection announces.
#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstring>

#include "vnc_client_internal.h"
#include "vnc_jpeg.h"
#include "vnc_security.h"

namespace {

const int32_t kDefaultEncodings[] = {16, 5, 2, 1, 0};

struct named_encoding {
    const char *name;
    int32_t number;
};
const named_encoding kEncodingNames[] = {
    {"zrle", 16}, {"hextile", 5}, {"rre", 2}, {"copyrect", 1}, {"raw", 0}, {"tight", 7},
};

// The option's value as one of two words; -1 for neither.
int choose(const char *value, const char *off, const char *on) {
    if (std::strcmp(value, off) == 0) return 0;
    if (std::strcmp(value, on) == 0) return 1;
    return -1;
}

// A comma-separated list of names, blanks around each trimmed, to their
// numbers in order (number() says whether it knows a name); false for an
// unknown or repeated name, or none.
template <class T, class Number>
bool parse_list(const char *value, std::vector<T> &out, Number number) {
    out.clear();
    const char *p = value;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        const char *end = p;
        while (*end && *end != ',') ++end;
        const char *last = end;
        while (last > p && (last[-1] == ' ' || last[-1] == '\t')) --last;
        bool known = false;
        const T n = number(p, static_cast<size_t>(last - p), &known);
        if (!known || std::find(out.begin(), out.end(), n) != out.end()) return false;
        out.push_back(n);
        if (!*end) return true;
        p = end + 1;
    }
}

// "zrle, raw" to {16, 0}.
bool parse_encodings(const char *value, std::vector<int32_t> &out) {
    return parse_list(value, out, [](const char *name, size_t len, bool *known) {
        for (const named_encoding &e : kEncodingNames) {
            if (std::strlen(e.name) != len || std::strncmp(e.name, name, len) != 0) continue;
            *known = true;
            return e.number;
        }
        return int32_t{0};
    });
}

// "x509vnc, vncauth" to {261, 2}.
bool parse_security(const char *value, std::vector<uint32_t> &out) {
    return parse_list(value, out, [](const char *name, size_t len, bool *known) {
        const uint32_t type = vnc_security_type_by_name(name, len);
        *known = type != 0;
        return type;
    });
}

// "sha256:AB:cd..." or "sha256:abcd..." to 64 lowercase hex digits.
bool parse_pin(const char *value, std::string &out) {
    static const char kPrefix[] = "sha256:";
    if (std::strncmp(value, kPrefix, sizeof kPrefix - 1) != 0) return false;
    out.clear();
    for (const char *p = value + sizeof kPrefix - 1; *p; ++p) {
        if (*p == ':') continue;
        const char ch = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
        out.push_back(ch);
    }
    return out.size() == 64;
}

int option_error(vnc_client_t *c, const char *fmt, const char *name, const char *value) {
    char text[kErrorTextSize];
    std::snprintf(text, sizeof text, fmt, name, value);
    vnc_set_error(c, text);
    return -1;
}

}  // namespace

std::vector<int32_t> vnc_connection_encodings(const vnc_client_t *c) {
    if (!c->encodings.empty()) return c->encodings;
    const vnc_options &o = c->conn;
    std::vector<int32_t> list;
    if (o.encodings.empty())
        list.assign(std::begin(kDefaultEncodings), std::end(kDefaultEncodings));
    else
        list = o.encodings;
    // Tight's levels and LastRect go with Tight only: other encodings
    // ignore them, and the default list stays as it always was.
    const bool tight =
        std::find(list.begin(), list.end(), kEncodingTight) != list.end();
    if (tight && o.jpeg_quality >= 0 && vnc_jpeg_available())
        list.push_back(kEncodingJpegQuality0 + o.jpeg_quality);
    if (tight && o.compress_level >= 0) list.push_back(kEncodingCompressLevel0 + o.compress_level);
    list.push_back(kEncodingDesktopSize);
    if (tight) list.push_back(kEncodingLastRect);
    if (o.desktop_extended) list.push_back(kEncodingExtDesktopSize);
    if (o.desktop_name) list.push_back(kEncodingDesktopName);
    if (o.continuous_updates) {
        list.push_back(kEncodingFence);
        list.push_back(kEncodingContinuousUpdates);
    }
    if (o.cursor_local) list.push_back(kEncodingCursor);
    if (o.qemu_keys) list.push_back(kEncodingQemuKeys);
    if (o.clipboard_utf8) list.push_back(kEncodingExtClipboard);
    return list;
}

extern "C" VNC_API int vnc_set_option(vnc_client_t *c, const char *name, const char *value) {
    if (!c || !name || !value) {
        vnc_set_error(c, "Invalid option arguments");
        return -1;
    }
    try {
        std::lock_guard<std::mutex> g(c->options_lock);
        vnc_options &o = c->options;
        if (std::strcmp(name, "encodings") == 0) {
            std::vector<int32_t> list;
            if (!parse_encodings(value, list))
                return option_error(c, "Bad value for option %s: \"%s\"", name, value);
            o.encodings = list;
            return 0;
        }
        if (std::strcmp(name, "security") == 0) {
            std::vector<uint32_t> list;
            if (std::strcmp(value, "default") != 0 && !parse_security(value, list))
                return option_error(c, "Bad value for option %s: \"%s\"", name, value);
            o.security = list;
            return 0;
        }
        if (std::strcmp(name, "rsa-pin") == 0) {
#ifdef QV_HAVE_GCRYPT
            std::string pin;
            if (value[0] && !parse_pin(value, pin))
                return option_error(c, "Bad value for option %s: \"%s\" (sha256: and 64 hex digits)",
                                    name, value);
            o.rsa_pin = pin.empty() ? pin : "sha256:" + pin;
            return 0;
#else
            return option_error(c, "Option %s: this build has no RSA-AES (no libgcrypt)", name, value);
#endif
        }
        if (std::strcmp(name, "tls-pin") == 0) {
            std::string pin;
            if (value[0] && !parse_pin(value, pin))
                return option_error(c, "Bad value for option %s: \"%s\" (sha256: and 64 hex digits)",
                                    name, value);
            o.tls_pin = pin;
            return 0;
        }
        // Free text; empty restores the default.
        struct text {
            const char *name;
            std::string vnc_options::*field;
        };
        static const text kTexts[] = {
            {"username", &vnc_options::username},
            {"tls-ca-file", &vnc_options::tls_ca_file},
            {"tls-server-name", &vnc_options::tls_server_name},
        };
        for (const text &t : kTexts) {
            if (std::strcmp(name, t.name) != 0) continue;
            std::string &field = o.*t.field;
            // The old value may have been a name worth not leaving behind.
            vnc_wipe(&field[0], field.size());
            field = value;
            return 0;
        }
        // "off" or a level of 0..9.
        struct level {
            const char *name;
            int vnc_options::*field;
        };
        static const level kLevels[] = {
            {"jpeg-quality", &vnc_options::jpeg_quality},
            {"compress-level", &vnc_options::compress_level},
        };
        for (const level &l : kLevels) {
            if (std::strcmp(name, l.name) != 0) continue;
            int v = -1;
            if (value[0] >= '0' && value[0] <= '9' && !value[1])
                v = value[0] - '0';
            else if (std::strcmp(value, "off") != 0)
                return option_error(c, "Bad value for option %s: \"%s\"", name, value);
            if (v >= 0 && l.field == &vnc_options::jpeg_quality && !vnc_jpeg_available())
                return option_error(c, "Option %s: this build decodes no JPEG", name, value);
            o.*l.field = v;
            return 0;
        }
        struct flag {
            const char *name, *off, *on;
            bool vnc_options::*field;
        };
        static const flag kFlags[] = {
            {"cursor", "server", "local", &vnc_options::cursor_local},
            {"desktop-size", "basic", "extended", &vnc_options::desktop_extended},
            {"desktop-name", "off", "on", &vnc_options::desktop_name},
            {"continuous-updates", "off", "on", &vnc_options::continuous_updates},
            {"qemu-keys", "off", "on", &vnc_options::qemu_keys},
            {"clipboard", "latin1", "utf8", &vnc_options::clipboard_utf8},
            {"shared", "off", "on", &vnc_options::shared},
            {"tls-verify", "off", "on", &vnc_options::tls_verify},
            {"password-charset", "bytes", "utf8", &vnc_options::password_utf8},
        };
        for (const flag &f : kFlags) {
            if (std::strcmp(name, f.name) != 0) continue;
            const int v = choose(value, f.off, f.on);
            if (v < 0) return option_error(c, "Bad value for option %s: \"%s\"", name, value);
            o.*f.field = v == 1;
            return 0;
        }
        return option_error(c, "Unknown option \"%s\"%s", name, "");
    } catch (...) {
        vnc_set_error(c, "Out of memory setting an option");
        return -1;
    }
}
