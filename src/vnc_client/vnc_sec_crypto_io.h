// What the schemes of vnc_sec_dh.cpp, vnc_sec_mslogon2.cpp and
// vnc_sec_ra2.cpp see of the connection: the handshake's reads and
// sends, the credentials, and how a failure is told. Keeping them to this
// lets the handshake fuzzer run each scheme against memory.
#ifndef QUENVIRA_VNC_SECURITY_IO_H
#define QUENVIRA_VNC_SECURITY_IO_H

#include <cstddef>
#include <cstdint>

struct vnc_security_io {
    virtual ~vnc_security_io() = default;
    uint8_t type = 0;             // the security type chosen
    const char *type_name = "";   // its name as in the `security` option
    const char *username = nullptr;
    const char *password = nullptr;
    const char *rsa_pin = nullptr;  // "sha256:HEX" or null

    // Exactly n bytes within the handshake's limits; 0 or -1.
    virtual int read(void *dst, size_t n) = 0;
    int read_u16(uint16_t *v) {
        uint8_t b[2];
        if (read(b, 2)) return -1;
        *v = static_cast<uint16_t>(b[0] << 8 | b[1]);
        return 0;
    }
    int read_u32(uint32_t *v) {
        uint8_t b[4];
        if (read(b, 4)) return -1;
        *v = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
             static_cast<uint32_t>(b[2]) << 8 | b[3];
        return 0;
    }
    // All n bytes in one write; 0 or -1.
    virtual int send(const void *data, size_t n) = 0;
    // The connection fails with text (no secret in it); returns -1.
    virtual int fail(const char *text) = 0;
    int failf(const char *fmt, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    // A read failed while waiting for what.
    virtual int fail_read(const char *what) = 0;
    // A `key: value` line of vnc_get_security_info.
    virtual void info(const char *key, const char *value) = 0;
    // From here every read and send goes through RSA-AES frames; stop takes
    // them away again (nonzero when received bytes would be lost).
    virtual int start_frames(const uint8_t *send_key, const uint8_t *recv_key, size_t key_len) = 0;
    virtual int stop_frames() = 0;
};

struct vnc_sec_ctx;
// Runs scheme over the connection of ctx as type (named name; a failed
// SecurityResult is reported as auth_name).
int vnc_sec_run_crypto(vnc_sec_ctx &ctx, uint8_t type, const char *name, const char *auth_name,
                       int (*scheme)(vnc_security_io &));

int vnc_security_dh(vnc_security_io &io);
int vnc_security_mslogon2(vnc_security_io &io);
int vnc_security_ra2(vnc_security_io &io);
// Whether an `rsa-pin` value has the form sha256:HEX (64 digits, ':' between
// bytes allowed).
bool vnc_rsa_pin_valid(const char *pin);

#endif
