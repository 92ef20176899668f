// Security type 30, Apple's Diffie-Hellman scheme (macOS Screen Sharing):
// the server's group and public value, ours, and the user name and password
// in one 128-byte block under AES-128-ECB keyed by the MD5 of the shared
// secret.
#include <cstring>

#include "vnc_crypto.h"
#include "vnc_sec_crypto_io.h"

namespace {

// Key lengths the server may name, in bytes (1024 to 8192 bits).
constexpr uint16_t kMinDhKeyBytes = 128;
constexpr uint16_t kMaxDhKeyBytes = 1024;
// Our private exponent: 512 random bits are plenty against any of those
// groups and keep the two powers quick for the largest.
constexpr size_t kDhPrivateBytes = 64;
// User name and password each take 64 bytes with their terminating NUL.
constexpr size_t kDhFieldBytes = 64;

}  // namespace

int vnc_security_dh(vnc_security_io &io) {
    const char *user = io.username ? io.username : "";
    const char *pass = io.password ? io.password : "";
    if (!user[0]) return io.fail("Apple Diffie-Hellman authentication needs a user name (option username)");
    if (std::strlen(user) >= kDhFieldBytes || std::strlen(pass) >= kDhFieldBytes)
        return io.fail("Apple Diffie-Hellman authentication takes a user name and a password of at most 63 bytes each");

    uint8_t head[4];
    if (io.read(head, 4)) return io.fail_read("the Diffie-Hellman parameters");
    const uint16_t generator = static_cast<uint16_t>(head[0] << 8 | head[1]);
    const uint16_t key_len = static_cast<uint16_t>(head[2] << 8 | head[3]);
    if (key_len < kMinDhKeyBytes || key_len > kMaxDhKeyBytes)
        return io.failf("Server's Diffie-Hellman key length of %u bytes is outside %u..%u", key_len,
                        kMinDhKeyBytes, kMaxDhKeyBytes);
    std::vector<uint8_t> prime(key_len), server_public(key_len);
    if (io.read(prime.data(), key_len) || io.read(server_public.data(), key_len))
        return io.fail_read("the Diffie-Hellman parameters");
    const uint8_t gen_bytes[2] = {head[0], head[1]};
    if (generator < 2 || !vnc_dh_value_ok(server_public.data(), key_len, prime.data(), key_len))
        return io.fail("Server sent unusable Diffie-Hellman parameters");

    vnc_secret secret(kDhPrivateBytes), shared(key_len), key(16), block(2 * kDhFieldBytes);
    std::vector<uint8_t> ours(key_len);
    vnc_random(secret.data(), secret.size());
    // The shared secret keeps its leading zero bytes: the key is the MD5 of
    // all key_len bytes.
    if (!vnc_mod_pow(gen_bytes, 2, secret.data(), secret.size(), prime.data(), key_len,
                     ours.data(), key_len) ||
        !vnc_mod_pow(server_public.data(), key_len, secret.data(), secret.size(), prime.data(),
                     key_len, shared.data(), key_len))
        return io.fail("Server sent unusable Diffie-Hellman parameters");
    vnc_hash_parts(vnc_hash::md5, key.data(), shared.data(), shared.size());

    // Each field NUL-terminated, the rest random.
    vnc_random(block.data(), block.size());
    std::memcpy(block.data(), user, std::strlen(user) + 1);
    std::memcpy(block.data() + kDhFieldBytes, pass, std::strlen(pass) + 1);
    if (!vnc_aes_ecb_encrypt(key.data(), key.size(), block.data(), block.size()))
        return io.fail("Could not encrypt the credentials");

    vnc_secret out(block.size() + key_len);
    std::memcpy(out.data(), block.data(), block.size());
    std::memcpy(out.data() + block.size(), ours.data(), key_len);
    if (io.send(out.data(), out.size())) return io.fail("Failed to send the Diffie-Hellman credentials");
    return 0;
}

int vnc_sec_dh(vnc_sec_ctx &ctx) {
    return vnc_sec_run_crypto(ctx, 30, "dh", "Apple Diffie-Hellman authentication", vnc_security_dh);
}
