// libgcrypt behind the few calls the security schemes make. libgcrypt
// rather than Nettle: Debian packages it for mingw-w64 as well
// (libgcrypt-mingw-w64-dev), so the Windows DLL can use the same code.
#include "vnc_crypto.h"

#include <gcrypt.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>

namespace {

std::atomic<bool> s_reuse_key{false};
std::mutex s_shared_key_lock;
// One key per size asked for, kept for the process's life.
struct shared_key {
    unsigned bits;
    gcry_sexp_t key;
};
shared_key s_shared_keys[8];
std::mutex s_seed_lock;
uint64_t s_seed = 0, s_seed_counter = 0;

gcry_mpi_t mpi_from(const uint8_t *p, size_t n) {
    gcry_mpi_t m = nullptr;
    if (gcry_mpi_scan(&m, GCRYMPI_FMT_USG, p, n, nullptr)) return nullptr;
    return m;
}

// m as exactly out_len big-endian bytes; false when it does not fit.
bool mpi_to(gcry_mpi_t m, uint8_t *out, size_t out_len) {
    size_t need = (gcry_mpi_get_nbits(m) + 7) / 8;
    if (need > out_len) return false;
    std::memset(out, 0, out_len);
    if (need == 0) return true;
    size_t written = 0;
    if (gcry_mpi_print(GCRYMPI_FMT_USG, out + (out_len - need), need, &written, m) ||
        written != need)
        return false;
    return true;
}

// The MPI of token name in sexp (as in "(n #...#)").
gcry_mpi_t sexp_mpi(gcry_sexp_t sexp, const char *name) {
    gcry_sexp_t t = gcry_sexp_find_token(sexp, name, 0);
    if (!t) return nullptr;
    gcry_mpi_t m = gcry_sexp_nth_mpi(t, 1, GCRYMPI_FMT_USG);
    gcry_sexp_release(t);
    return m;
}

gcry_sexp_t make_key(unsigned bits) {
    gcry_sexp_t parms = nullptr, key = nullptr;
    if (gcry_sexp_build(&parms, nullptr, "(genkey (rsa (nbits %u)))", bits)) return nullptr;
    if (gcry_pk_genkey(&key, parms)) key = nullptr;
    gcry_sexp_release(parms);
    return key;
}

#ifdef _WIN32
// The DLL's libgcrypt is its own (linked in): its notes on stderr (the
// Windows entropy gatherer's advice about disk statistics) are not the
// host's business.
void quiet_log(void *, int, const char *, va_list) {}
#endif

}  // namespace

bool vnc_crypto_init() {
    static const bool ok = [] {
        // A host that set libgcrypt up itself keeps its settings.
        if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return true;
        if (!gcry_check_version(GCRYPT_VERSION)) return false;
#ifdef _WIN32
        gcry_set_log_handler(quiet_log, nullptr);
#endif
        // No locked secure memory: a library must not need the privilege
        // nor print libgcrypt's warning about it; our secrets are wiped.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return ok;
}

void vnc_random(void *dst, size_t n) {
    {
        std::lock_guard<std::mutex> g(s_seed_lock);
        if (s_seed) {
            uint8_t *p = static_cast<uint8_t *>(dst);
            while (n) {
                uint8_t block[32], in[16];
                for (int i = 0; i < 8; ++i) {
                    in[i] = static_cast<uint8_t>(s_seed >> (8 * i));
                    in[8 + i] = static_cast<uint8_t>(s_seed_counter >> (8 * i));
                }
                ++s_seed_counter;
                gcry_md_hash_buffer(GCRY_MD_SHA256, block, in, sizeof in);
                const size_t k = n < 32 ? n : 32;
                std::memcpy(p, block, k);
                p += k;
                n -= k;
            }
            return;
        }
    }
    gcry_randomize(dst, n, GCRY_STRONG_RANDOM);
}

void vnc_random_seed_for_testing(uint64_t seed) {
    std::lock_guard<std::mutex> g(s_seed_lock);
    s_seed = seed;
    s_seed_counter = 0;
}

size_t vnc_hash_size(vnc_hash h) {
    return h == vnc_hash::md5 ? 16 : h == vnc_hash::sha1 ? 20 : 32;
}

void vnc_hash_parts(vnc_hash h, uint8_t *out, const void *a, size_t an, const void *b, size_t bn,
                    const void *c, size_t cn) {
    const int algo = h == vnc_hash::md5 ? GCRY_MD_MD5 : h == vnc_hash::sha1 ? GCRY_MD_SHA1
                                                                             : GCRY_MD_SHA256;
    gcry_md_hd_t md = nullptr;
    if (gcry_md_open(&md, algo, 0)) {
        std::memset(out, 0, vnc_hash_size(h));
        return;
    }
    gcry_md_write(md, a, an);
    if (b) gcry_md_write(md, b, bn);
    if (c) gcry_md_write(md, c, cn);
    std::memcpy(out, gcry_md_read(md, algo), vnc_hash_size(h));
    gcry_md_close(md);
}

bool vnc_mod_pow(const uint8_t *base, size_t base_len, const uint8_t *exp, size_t exp_len,
                 const uint8_t *mod, size_t mod_len, uint8_t *out, size_t out_len) {
    gcry_mpi_t b = mpi_from(base, base_len), e = mpi_from(exp, exp_len), m = mpi_from(mod, mod_len);
    gcry_mpi_t r = gcry_mpi_new(0);
    bool ok = b && e && m && r && gcry_mpi_cmp_ui(m, 3) >= 0;
    if (ok) {
        gcry_mpi_powm(r, b, e, m);
        ok = mpi_to(r, out, out_len);
    }
    gcry_mpi_release(b);
    gcry_mpi_release(e);
    gcry_mpi_release(m);
    gcry_mpi_release(r);
    return ok;
}

bool vnc_dh_value_ok(const uint8_t *value, size_t value_len, const uint8_t *mod, size_t mod_len) {
    gcry_mpi_t v = mpi_from(value, value_len), m = mpi_from(mod, mod_len);
    bool ok = v && m && gcry_mpi_cmp_ui(m, 3) >= 0 && gcry_mpi_cmp_ui(v, 1) > 0;
    if (ok) {
        gcry_mpi_t top = gcry_mpi_new(0);
        gcry_mpi_sub_ui(top, m, 1);
        ok = gcry_mpi_cmp(v, top) < 0;
        gcry_mpi_release(top);
    }
    gcry_mpi_release(v);
    gcry_mpi_release(m);
    return ok;
}

bool vnc_aes_ecb_encrypt(const uint8_t *key, size_t key_len, uint8_t *data, size_t n) {
    if (n % 16 || (key_len != 16 && key_len != 32)) return false;
    gcry_cipher_hd_t h = nullptr;
    if (gcry_cipher_open(&h, key_len == 16 ? GCRY_CIPHER_AES128 : GCRY_CIPHER_AES256,
                         GCRY_CIPHER_MODE_ECB, GCRY_CIPHER_SECURE))
        return false;
    const bool ok = !gcry_cipher_setkey(h, key, key_len) && !gcry_cipher_encrypt(h, data, n, nullptr, 0);
    gcry_cipher_close(h);
    return ok;
}

vnc_rsa_key::~vnc_rsa_key() {
    if (key_ && !shared_) gcry_sexp_release(static_cast<gcry_sexp_t>(key_));
}

bool vnc_rsa_key::generate(unsigned bits) {
    if (key_ && !shared_) gcry_sexp_release(static_cast<gcry_sexp_t>(key_));
    key_ = nullptr;
    shared_ = false;
    if (s_reuse_key.load()) {
        std::lock_guard<std::mutex> g(s_shared_key_lock);
        for (shared_key &k : s_shared_keys) {
            if (k.key && k.bits != bits) continue;
            if (!k.key) {
                k.key = make_key(bits);
                k.bits = bits;
            }
            key_ = k.key;
            shared_ = key_ != nullptr;
            break;
        }
    } else {
        key_ = make_key(bits);
    }
    bits_ = key_ ? bits : 0;
    return key_ != nullptr;
}

bool vnc_rsa_key::public_parts(std::vector<uint8_t> &n, std::vector<uint8_t> &e) const {
    if (!key_) return false;
    const size_t len = bits_ / 8;
    gcry_mpi_t mn = sexp_mpi(static_cast<gcry_sexp_t>(key_), "n");
    gcry_mpi_t me = sexp_mpi(static_cast<gcry_sexp_t>(key_), "e");
    n.assign(len, 0);
    e.assign(len, 0);
    const bool ok = mn && me && mpi_to(mn, n.data(), len) && mpi_to(me, e.data(), len);
    gcry_mpi_release(mn);
    gcry_mpi_release(me);
    return ok;
}

bool vnc_rsa_key::decrypt(const uint8_t *cipher, size_t len, vnc_secret &out) const {
    if (!key_ || len != bits_ / 8) return false;
    gcry_mpi_t a = mpi_from(cipher, len);
    gcry_sexp_t data = nullptr, plain = nullptr;
    bool ok = a && !gcry_sexp_build(&data, nullptr, "(enc-val (flags pkcs1) (rsa (a %m)))", a) &&
              !gcry_pk_decrypt(&plain, data, static_cast<gcry_sexp_t>(key_));
    if (ok) {
        gcry_sexp_t v = gcry_sexp_find_token(plain, "value", 0);
        size_t n = 0;
        const char *p = v ? gcry_sexp_nth_data(v, 1, &n) : nullptr;
        ok = p != nullptr;
        if (ok) out.bytes.assign(p, p + n);
        gcry_sexp_release(v);
    }
    gcry_sexp_release(plain);
    gcry_sexp_release(data);
    gcry_mpi_release(a);
    return ok;
}

bool vnc_rsa_encrypt(const uint8_t *n, size_t n_len, const uint8_t *e, size_t e_len,
                     const uint8_t *msg, size_t msg_len, std::vector<uint8_t> &out) {
    gcry_mpi_t mn = mpi_from(n, n_len), me = mpi_from(e, e_len);
    gcry_sexp_t pub = nullptr, data = nullptr, enc = nullptr;
    bool ok = mn && me &&
              !gcry_sexp_build(&pub, nullptr, "(public-key (rsa (n %m) (e %m)))", mn, me) &&
              !gcry_sexp_build(&data, nullptr, "(data (flags pkcs1) (value %b))",
                               static_cast<int>(msg_len), msg) &&
              !gcry_pk_encrypt(&enc, data, pub);
    if (ok) {
        gcry_mpi_t a = sexp_mpi(enc, "a");
        out.assign(n_len, 0);
        ok = a && mpi_to(a, out.data(), n_len);
        gcry_mpi_release(a);
    }
    gcry_sexp_release(enc);
    gcry_sexp_release(data);
    gcry_sexp_release(pub);
    gcry_mpi_release(mn);
    gcry_mpi_release(me);
    return ok;
}

vnc_eax::~vnc_eax() {
    if (cipher_) gcry_cipher_close(static_cast<gcry_cipher_hd_t>(cipher_));
}

bool vnc_eax::set_key(const uint8_t *key, size_t key_len) {
    if (key_len != 16 && key_len != 32) return false;
    gcry_cipher_hd_t h = nullptr;
    if (gcry_cipher_open(&h, key_len == 16 ? GCRY_CIPHER_AES128 : GCRY_CIPHER_AES256,
                         GCRY_CIPHER_MODE_EAX, GCRY_CIPHER_SECURE))
        return false;
    if (gcry_cipher_setkey(h, key, key_len)) {
        gcry_cipher_close(h);
        return false;
    }
    cipher_ = h;
    counter_ = 0;
    return true;
}

bool vnc_eax::start(const uint8_t head[2]) {
    gcry_cipher_hd_t h = static_cast<gcry_cipher_hd_t>(cipher_);
    if (!h) return false;
    uint8_t nonce[16] = {0};
    for (int i = 0; i < 8; ++i) nonce[i] = static_cast<uint8_t>(counter_ >> (8 * i));
    ++counter_;
    return !gcry_cipher_reset(h) && !gcry_cipher_setiv(h, nonce, sizeof nonce) &&
           !gcry_cipher_authenticate(h, head, 2);
}

bool vnc_eax::seal(uint8_t head[2], uint8_t *data, size_t n, uint8_t tag[16]) {
    if (n > 0xFFFF) return false;
    head[0] = static_cast<uint8_t>(n >> 8);
    head[1] = static_cast<uint8_t>(n);
    gcry_cipher_hd_t h = static_cast<gcry_cipher_hd_t>(cipher_);
    return start(head) && !gcry_cipher_encrypt(h, data, n, nullptr, 0) && !gcry_cipher_gettag(h, tag, 16);
}

bool vnc_eax::open(const uint8_t head[2], uint8_t *data, size_t n, const uint8_t tag[16]) {
    gcry_cipher_hd_t h = static_cast<gcry_cipher_hd_t>(cipher_);
    return start(head) && !gcry_cipher_decrypt(h, data, n, nullptr, 0) && !gcry_cipher_checktag(h, tag, 16);
}

void vnc_rsa_reuse_key_for_testing(bool on) { s_reuse_key.store(on); }
