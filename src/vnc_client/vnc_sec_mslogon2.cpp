// Security type 113, UltraVNC's MSLogonII (a Windows account's user name and
// password): a Diffie-Hellman exchange of 8-byte values, then the user name
// (256 bytes) and password (64 bytes), each DES-CBC encrypted from the same
// start. DES is our own, as for VNC authentication.
#include <cstring>

#include "vnc_crypto.h"
#include "vnc_des.h"
#include "vnc_sec_crypto_io.h"
#include "vnc_security.h"

namespace {

constexpr size_t kValueBytes = 8;
constexpr size_t kUserBytes = 256;
constexpr size_t kPasswordBytes = 64;

// UltraVNC keys its DES the way VNC authentication does: each byte's bits
// in reverse order against the standard DES key; the CBC start is the key
// as it is.
void des_cbc(const uint8_t key[8], uint8_t *data, size_t n) {
    uint8_t des_key[8], chain[8];
    for (int i = 0; i < 8; ++i) {
        uint8_t b = key[i], r = 0;
        for (int bit = 0; bit < 8; ++bit) r |= static_cast<uint8_t>(((b >> bit) & 1) << (7 - bit));
        des_key[i] = r;
        chain[i] = key[i];
    }
    for (size_t off = 0; off + 8 <= n; off += 8) {
        uint8_t in[8];
        for (int i = 0; i < 8; ++i) in[i] = data[off + i] ^ chain[i];
        vnc_des_encrypt_block_with_key(des_key, in, data + off);
        std::memcpy(chain, data + off, 8);
        vnc_wipe(in, sizeof in);
    }
    vnc_wipe(des_key, sizeof des_key);
    vnc_wipe(chain, sizeof chain);
}

}  // namespace

int vnc_security_mslogon2(vnc_security_io &io) {
    const char *user = io.username ? io.username : "";
    const char *pass = io.password ? io.password : "";
    if (!user[0]) return io.fail("MSLogonII authentication needs a user name (option username)");
    if (std::strlen(user) >= kUserBytes || std::strlen(pass) >= kPasswordBytes)
        return io.fail("MSLogonII takes a user name of at most 255 bytes and a password of at most 63");

    uint8_t params[3 * kValueBytes];  // generator, modulus, the server's value
    if (io.read(params, sizeof params)) return io.fail_read("the MSLogonII parameters");
    const uint8_t *gen = params, *mod = params + 8, *theirs = params + 16;
    // A generator or value of 0, 1 or mod - 1 would make no secret.
    if (!vnc_dh_value_ok(theirs, 8, mod, 8) || !vnc_dh_value_ok(gen, 8, mod, 8))
        return io.fail("Server sent unusable MSLogonII parameters");

    vnc_secret secret(kValueBytes), key(kValueBytes), creds(kUserBytes + kPasswordBytes);
    uint8_t ours[kValueBytes];
    vnc_random(secret.data(), secret.size());
    if (!vnc_mod_pow(gen, 8, secret.data(), 8, mod, 8, ours, 8) ||
        !vnc_mod_pow(theirs, 8, secret.data(), 8, mod, 8, key.data(), 8))
        return io.fail("Server sent unusable MSLogonII parameters");

    vnc_random(creds.data(), creds.size());
    std::memcpy(creds.data(), user, std::strlen(user) + 1);
    std::memcpy(creds.data() + kUserBytes, pass, std::strlen(pass) + 1);
    des_cbc(key.data(), creds.data(), kUserBytes);
    des_cbc(key.data(), creds.data() + kUserBytes, kPasswordBytes);

    vnc_secret out(kValueBytes + creds.size());
    std::memcpy(out.data(), ours, kValueBytes);
    std::memcpy(out.data() + kValueBytes, creds.data(), creds.size());
    if (io.send(out.data(), out.size())) return io.fail("Failed to send the MSLogonII credentials");
    return 0;
}

int vnc_sec_mslogon2(vnc_sec_ctx &ctx) {
    // Keyed with DES like VNC authentication, and compared as Latin-1 too.
    char latin1[kDesPasswordRoom];
    const char *given = ctx.password;
    ctx.password = vnc_sec_des_password(ctx, latin1);
    const int r = vnc_sec_run_crypto(ctx, 113, "mslogon2", "MSLogonII authentication",
                                     vnc_security_mslogon2);
    ctx.password = given;
    vnc_wipe(latin1, sizeof latin1);
    return r;
}
