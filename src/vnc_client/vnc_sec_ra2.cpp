// RSA-AES (TigerVNC 1.13+, wayvnc 0.7+): types 5 (RA2), 6 (RA2ne), 129
// (RA2_256) and 130 (RA2ne_256). The server's RSA key, ours, a random each
// way under the other's key, AES-EAX session keys from the two randoms, a
// hash of both keys each way, then the credentials the server asks for.
// RA2 and RA2_256 keep the frames for the rest of the connection; the "ne"
// types go plain after the credentials.
#include <cstdio>
#include <cstring>

#include "vnc_crypto.h"
#include "vnc_sec_crypto_io.h"

namespace {

constexpr uint32_t kMinRsaBits = 1024;
constexpr uint32_t kMaxRsaBits = 8192;
// Our own key: what TigerVNC's viewer uses.
constexpr unsigned kClientRsaBits = 2048;
constexpr uint8_t kSubtypeUserPassword = 1;
constexpr uint8_t kSubtypePassword = 2;

// A key as it travels: its bit length, then modulus and exponent of
// ceil(bits / 8) bytes each.
std::vector<uint8_t> key_message(uint32_t bits, const std::vector<uint8_t> &n,
                                 const std::vector<uint8_t> &e) {
    std::vector<uint8_t> m{static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16),
                           static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
    m.insert(m.end(), n.begin(), n.end());
    m.insert(m.end(), e.begin(), e.end());
    return m;
}

// The number's length in bits, leading zero bytes and bits aside.
uint32_t bit_length(const std::vector<uint8_t> &v) {
    for (size_t i = 0; i < v.size(); ++i) {
        if (!v[i]) continue;
        uint32_t bits = static_cast<uint32_t>(v.size() - i) * 8;
        for (uint8_t top = 0x80; !(v[i] & top); top >>= 1) --bits;
        return bits;
    }
    return 0;
}

void to_hex(const uint8_t *p, size_t n, char *out) {
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = kHex[p[i] >> 4];
        out[2 * i + 1] = kHex[p[i] & 15];
    }
    out[2 * n] = '\0';
}

// "sha256:HEX" (case and ':' between bytes ignored) against the digest.
bool pin_matches(const char *pin, const uint8_t digest[32]) {
    if (std::strncmp(pin, "sha256:", 7) != 0) return false;
    char want[65];
    size_t n = 0;
    for (const char *p = pin + 7; *p; ++p) {
        if (*p == ':') continue;
        if (n == 64) return false;
        want[n++] = static_cast<char>(*p >= 'A' && *p <= 'F' ? *p - 'A' + 'a' : *p);
    }
    want[n] = '\0';
    char have[65];
    to_hex(digest, 32, have);
    return n == 64 && std::strcmp(want, have) == 0;
}

}  // namespace

bool vnc_rsa_pin_valid(const char *pin) {
    if (std::strncmp(pin, "sha256:", 7) != 0) return false;
    size_t n = 0;
    for (const char *p = pin + 7; *p; ++p) {
        if (*p == ':') continue;
        const bool hex = (*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F');
        if (!hex) return false;
        ++n;
    }
    return n == 64;
}

int vnc_security_ra2(vnc_security_io &io) {
    const bool wide = io.type == 129 || io.type == 130;
    const bool keep_frames = io.type == 5 || io.type == 129;
    const vnc_hash hash = wide ? vnc_hash::sha256 : vnc_hash::sha1;
    const size_t key_len = wide ? 32 : 16;
    const size_t random_len = key_len;
    const char *name = io.type_name;

    // The server's key, bounded before anything is read for it.
    uint32_t server_bits;
    if (io.read_u32(&server_bits)) return io.fail_read("the server's RSA key");
    if (server_bits < kMinRsaBits || server_bits > kMaxRsaBits)
        return io.failf("%s: the server's RSA key of %u bits is outside %u..%u", name, server_bits,
                        kMinRsaBits, kMaxRsaBits);
    const size_t server_bytes = (server_bits + 7) / 8;
    std::vector<uint8_t> server_n(server_bytes), server_e(server_bytes);
    if (io.read(server_n.data(), server_bytes) || io.read(server_e.data(), server_bytes))
        return io.fail_read("the server's RSA key");
    // The size it claims is the size it has: a short modulus padded with
    // zeros must not pass the bound.
    if (bit_length(server_n) != server_bits || bit_length(server_e) < 2 || !(server_n.back() & 1))
        return io.failf("%s: the server's RSA key is malformed", name);
    const std::vector<uint8_t> server_key = key_message(server_bits, server_n, server_e);

    // Its fingerprint, shown and pinnable before anything secret is sent.
    uint8_t print[32];
    char print_hex[65];
    vnc_hash_parts(vnc_hash::sha256, print, server_key.data(), server_key.size());
    to_hex(print, 32, print_hex);
    io.info("rsa-sha256", print_hex);
    if (io.rsa_pin && io.rsa_pin[0] && !pin_matches(io.rsa_pin, print))
        return io.failf("%s: the server's RSA key sha256:%s does not match rsa-pin", name, print_hex);

    vnc_rsa_key ours;
    std::vector<uint8_t> our_n, our_e;
    if (!ours.generate(kClientRsaBits) || !ours.public_parts(our_n, our_e))
        return io.failf("%s: could not make an RSA key", name);
    const std::vector<uint8_t> client_key = key_message(kClientRsaBits, our_n, our_e);

    // Our key and our random at once: the server needs both before it can
    // answer, and may send its random first or not.
    vnc_secret client_random(random_len);
    vnc_random(client_random.data(), random_len);
    std::vector<uint8_t> sealed;
    if (!vnc_rsa_encrypt(server_n.data(), server_bytes, server_e.data(), server_bytes,
                         client_random.data(), random_len, sealed))
        return io.failf("%s: could not encrypt for the server's RSA key", name);
    std::vector<uint8_t> hello = client_key;
    hello.push_back(static_cast<uint8_t>(server_bytes >> 8));
    hello.push_back(static_cast<uint8_t>(server_bytes));
    hello.insert(hello.end(), sealed.begin(), sealed.end());
    if (io.send(hello.data(), hello.size())) return io.failf("%s: failed to send our key", name);

    // The server's random, sealed for our key: its length is our key's.
    uint16_t sealed_len;
    if (io.read_u16(&sealed_len)) return io.fail_read("the server's random");
    if (sealed_len != kClientRsaBits / 8)
        return io.failf("%s: the server's random is %u bytes, not our key's %u", name, sealed_len,
                        kClientRsaBits / 8);
    std::vector<uint8_t> theirs(sealed_len);
    if (io.read(theirs.data(), sealed_len)) return io.fail_read("the server's random");
    vnc_secret server_random;
    if (!ours.decrypt(theirs.data(), sealed_len, server_random) || server_random.size() != random_len)
        return io.failf("%s: the server's random does not decrypt to %u bytes", name, static_cast<unsigned>(random_len));

    // Client-to-server key: H(ServerRandom || ClientRandom); the other way
    // round for the server's. SHA-1 cut to 16 bytes, or SHA-256.
    vnc_secret digest(32), send_key(key_len), recv_key(key_len);
    vnc_hash_parts(hash, digest.data(), server_random.data(), random_len, client_random.data(), random_len);
    std::memcpy(send_key.data(), digest.data(), key_len);
    vnc_hash_parts(hash, digest.data(), client_random.data(), random_len, server_random.data(), random_len);
    std::memcpy(recv_key.data(), digest.data(), key_len);
    if (io.start_frames(send_key.data(), recv_key.data(), key_len))
        return io.failf("%s: could not start the encrypted frames", name);

    // Each side hashes its own key first; ours goes out without waiting.
    const size_t hash_len = vnc_hash_size(hash);
    uint8_t our_hash[32], their_hash[32], want_hash[32];
    vnc_hash_parts(hash, our_hash, client_key.data(), client_key.size(), server_key.data(), server_key.size());
    vnc_hash_parts(hash, want_hash, server_key.data(), server_key.size(), client_key.data(), client_key.size());
    if (io.send(our_hash, hash_len)) return io.failf("%s: failed to send our hash", name);
    if (io.read(their_hash, hash_len)) return io.fail_read("the server's hash");
    if (std::memcmp(their_hash, want_hash, hash_len) != 0)
        return io.failf("%s: the server's hash of the keys does not match ours (someone in between?)", name);

    uint8_t subtype;
    if (io.read(&subtype, 1)) return io.fail_read("the RSA-AES subtype");
    if (subtype != kSubtypeUserPassword && subtype != kSubtypePassword)
        return io.failf("%s: the server asks for credentials of unknown subtype %u", name, subtype);
    const char *user = subtype == kSubtypeUserPassword && io.username ? io.username : "";
    const char *pass = io.password ? io.password : "";
    if (subtype == kSubtypeUserPassword && !user[0])
        return io.failf("%s: the server asks for a user name (option username)", name);
    const size_t user_len = std::strlen(user), pass_len = std::strlen(pass);
    if (user_len > 255 || pass_len > 255)
        return io.failf("%s: user name and password are limited to 255 bytes each", name);
    vnc_secret creds(2 + user_len + pass_len);
    creds.data()[0] = static_cast<uint8_t>(user_len);
    std::memcpy(creds.data() + 1, user, user_len);
    creds.data()[1 + user_len] = static_cast<uint8_t>(pass_len);
    std::memcpy(creds.data() + 2 + user_len, pass, pass_len);
    if (io.send(creds.data(), creds.size())) return io.failf("%s: failed to send the credentials", name);

    // RA2ne: the SecurityResult and all after it are plain.
    if (!keep_frames && io.stop_frames())
        return io.failf("%s: the server sent more before the SecurityResult", name);
    return 0;
}

int vnc_sec_ra2(vnc_sec_ctx &ctx) {
    return vnc_sec_run_crypto(ctx, 5, "ra2", "RSA-AES authentication", vnc_security_ra2);
}
int vnc_sec_ra2ne(vnc_sec_ctx &ctx) {
    return vnc_sec_run_crypto(ctx, 6, "ra2ne", "RSA-AES authentication", vnc_security_ra2);
}
int vnc_sec_ra2_256(vnc_sec_ctx &ctx) {
    return vnc_sec_run_crypto(ctx, 129, "ra2-256", "RSA-AES authentication", vnc_security_ra2);
}
int vnc_sec_ra2ne_256(vnc_sec_ctx &ctx) {
    return vnc_sec_run_crypto(ctx, 130, "ra2ne-256", "RSA-AES authentication", vnc_security_ra2);
}
