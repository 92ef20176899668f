// vnc_set_option, and the encoding list a connection announces.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vnc_client_internal.h"
#include "vnc_jpeg.h"
#include "vnc_sec_crypto_io.h"
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

// "zrle, raw" to {16, 0}; false for an unknown or repeated name, or none.
bool parse_encodings(const char *value, std::vector<int32_t> &out) {
    out.clear();
    const char *p = value;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        const char *end = p;
        while (*end && *end != ',') ++end;
        const char *last = end;
        while (last > p && (last[-1] == ' ' || last[-1] == '\t')) --last;
        const size_t len = static_cast<size_t>(last - p);
        bool found = false;
        for (const named_encoding &e : kEncodingNames) {
            if (std::strlen(e.name) != len || std::strncmp(e.name, p, len) != 0) continue;
            for (int32_t have : out)
                if (have == e.number) return false;
            out.push_back(e.number);
            found = true;
        }
        if (!found) return false;
        if (!*end) return true;
        p = end + 1;
    }
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
            const char *p = value;
            while (*p) {
                while (*p == ' ' || *p == ',') ++p;
                const char *e = p;
                while (*e && *e != ',' && *e != ' ') ++e;
                if (e == p) break;
                const uint32_t t = vnc_security_type_by_name(p, static_cast<size_t>(e - p));
                if (!t) return option_error(c, "Bad value for option %s: \"%s\"", name, value);
                list.push_back(t);
                p = e;
            }
            o.security = list;
            return 0;
        }
        if (std::strcmp(name, "username") == 0) {
            o.username = value;
            return 0;
        }
        if (std::strcmp(name, "rsa-pin") == 0) {
#ifdef QV_HAVE_GCRYPT
            if (value[0] && !vnc_rsa_pin_valid(value))
                return option_error(c, "Bad value for option %s: \"%s\" (want sha256:HEX)", name, value);
            o.rsa_pin = value;
            return 0;
#else
            return option_error(c, "Option %s: this build has no RSA-AES", name, value);
#endif
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
