// The cryptography the security schemes need, all of it from libgcrypt:
// random bytes, digests, modular powers, RSA with PKCS#1 v1.5 padding,
// AES-ECB and AES-EAX. Nothing here is hand-written arithmetic or cipher.
// Built only with QV_HAVE_GCRYPT.
#ifndef QUENVIRA_VNC_CRYPTO_H
#define QUENVIRA_VNC_CRYPTO_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vnc_alloc.h"

// A byte vector wiped when it goes (keys, shared secrets, credentials).
struct vnc_secret {
    std::vector<uint8_t> bytes;
    vnc_secret() = default;
    explicit vnc_secret(size_t n) : bytes(n) {}
    vnc_secret(const vnc_secret &) = delete;
    vnc_secret &operator=(const vnc_secret &) = delete;
    ~vnc_secret() { vnc_wipe(bytes.data(), bytes.size()); }
    uint8_t *data() { return bytes.data(); }
    const uint8_t *data() const { return bytes.data(); }
    size_t size() const { return bytes.size(); }
};

// False when libgcrypt is older than the version built against.
bool vnc_crypto_init();

// Strong random bytes (nonces, keys).
void vnc_random(void *dst, size_t n);

enum class vnc_hash { md5, sha1, sha256 };
size_t vnc_hash_size(vnc_hash h);
// Digest of the concatenation of up to three parts (b, c may be null).
void vnc_hash_parts(vnc_hash h, uint8_t *out, const void *a, size_t an, const void *b = nullptr,
                    size_t bn = 0, const void *c = nullptr, size_t cn = 0);

// out (out_len bytes, big-endian, zero-padded on the left) = base^exp mod
// mod, each big-endian. False for a modulus below 3 or a result that does
// not fit out_len.
bool vnc_mod_pow(const uint8_t *base, size_t base_len, const uint8_t *exp, size_t exp_len,
                 const uint8_t *mod, size_t mod_len, uint8_t *out, size_t out_len);
// Whether 1 < value < mod - 1 (a usable Diffie-Hellman public value).
bool vnc_dh_value_ok(const uint8_t *value, size_t value_len, const uint8_t *mod, size_t mod_len);

// AES-ECB encryption in place of n bytes (a multiple of 16) with a 16- or
// 32-byte key.
bool vnc_aes_ecb_encrypt(const uint8_t *key, size_t key_len, uint8_t *data, size_t n);

// Our RSA key pair for one RSA-AES exchange.
class vnc_rsa_key {
public:
    vnc_rsa_key() = default;
    ~vnc_rsa_key();
    vnc_rsa_key(const vnc_rsa_key &) = delete;
    vnc_rsa_key &operator=(const vnc_rsa_key &) = delete;
    // A fresh key of bits bits (or, in tests and fuzzers that asked for it,
    // a process-wide key made once).
    bool generate(unsigned bits);
    // Modulus and public exponent, each bits/8 bytes big-endian.
    bool public_parts(std::vector<uint8_t> &n, std::vector<uint8_t> &e) const;
    // PKCS#1 v1.5 decryption of cipher (the key's size in bytes) into out;
    // false when the padding is wrong.
    bool decrypt(const uint8_t *cipher, size_t len, vnc_secret &out) const;
    unsigned bits() const { return bits_; }

private:
    void *key_ = nullptr;  // gcry_sexp_t of the private key
    unsigned bits_ = 0;
    bool shared_ = false;  // the process-wide key of tests and fuzzers
};

// PKCS#1 v1.5 encryption of msg under the public key (n, e), into out of
// exactly n_len bytes.
bool vnc_rsa_encrypt(const uint8_t *n, size_t n_len, const uint8_t *e, size_t e_len,
                     const uint8_t *msg, size_t msg_len, std::vector<uint8_t> &out);

// One direction of AES-EAX message protection: each message's 16-byte
// nonce is a little-endian counter from zero, the 2-byte length the
// associated data, the tag 16 bytes.
class vnc_eax {
public:
    vnc_eax() = default;
    ~vnc_eax();
    vnc_eax(const vnc_eax &) = delete;
    vnc_eax &operator=(const vnc_eax &) = delete;
    bool set_key(const uint8_t *key, size_t key_len);
    // Encrypts data (n bytes, n <= 65535) in place after the 2-byte header
    // it writes to head, and the tag to tag.
    bool seal(uint8_t head[2], uint8_t *data, size_t n, uint8_t tag[16]);
    // Decrypts data in place; false when the tag does not match.
    bool open(const uint8_t head[2], uint8_t *data, size_t n, const uint8_t tag[16]);
    uint64_t count() const { return counter_; }

private:
    bool start(const uint8_t head[2]);
    void *cipher_ = nullptr;  // gcry_cipher_hd_t
    uint64_t counter_ = 0;
};

// Tests and fuzzers: every vnc_rsa_key::generate makes no new key but uses
// one made once per process (key generation would dominate their time).
void vnc_rsa_reuse_key_for_testing(bool on);
// Tests and fuzzers: with a seed, vnc_random gives the same bytes after
// each call (SHA-256 of seed and a counter), so what a scheme sends can be
// checked byte for byte; 0 goes back to strong random bytes.
void vnc_random_seed_for_testing(uint64_t seed);

#endif
