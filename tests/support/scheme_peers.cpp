#include "scheme_peers.h"

#include <gcrypt.h>

#include <cstring>

#include "vnc_crypto.h"

namespace {

ByteVec mod_pow(const ByteVec &b, const ByteVec &e, const ByteVec &m) {
    ByteVec out(m.size());
    if (!vnc_mod_pow(b.data(), b.size(), e.data(), e.size(), m.data(), m.size(), out.data(), out.size()))
        out.clear();
    return out;
}

ByteVec cipher_decrypt(int algo, int mode, const ByteVec &key, const ByteVec &iv, const ByteVec &data) {
    gcry_cipher_hd_t h = nullptr;
    ByteVec out(data);
    gcry_cipher_open(&h, algo, mode, 0);
    gcry_cipher_setkey(h, key.data(), key.size());
    if (!iv.empty()) gcry_cipher_setiv(h, iv.data(), iv.size());
    gcry_cipher_decrypt(h, out.data(), out.size(), nullptr, 0);
    gcry_cipher_close(h);
    return out;
}

std::string c_string(const uint8_t *p, size_t max) {
    size_t n = 0;
    while (n < max && p[n]) ++n;
    return std::string(reinterpret_cast<const char *>(p), n);
}

ByteVec hash(vnc_hash h, const ByteVec &a, const ByteVec &b) {
    ByteVec out(vnc_hash_size(h));
    vnc_hash_parts(h, out.data(), a.data(), a.size(), b.data(), b.size());
    return out;
}

ByteVec cat(ByteVec a, const ByteVec &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

gcry_cipher_hd_t eax(const ByteVec &key) {
    gcry_cipher_hd_t h = nullptr;
    gcry_cipher_open(&h, key.size() == 16 ? GCRY_CIPHER_AES128 : GCRY_CIPHER_AES256,
                     GCRY_CIPHER_MODE_EAX, 0);
    gcry_cipher_setkey(h, key.data(), key.size());
    return h;
}

// The nonce of message number count: 16 bytes, little-endian.
void nonce(uint64_t count, uint8_t out[16]) {
    std::memset(out, 0, 16);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(count >> (8 * i));
}

}  // namespace

ByteVec be_bytes(uint64_t v, size_t n) {
    ByteVec out(n);
    for (size_t i = 0; i < n; ++i) out[n - 1 - i] = static_cast<uint8_t>(i < 8 ? v >> (8 * i) : 0);
    return out;
}

ByteVec oakley_group2() {
    static const char kHex[] =
        "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E"
        "3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF"
        "5CB6F406B7EDEE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF";
    ByteVec out;
    for (size_t i = 0; kHex[i]; i += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(kHex + i, 2), nullptr, 16)));
    return out;
}

ServerFrames::ServerFrames(const ByteVec &send_key, const ByteVec &recv_key)
    : send_(eax(send_key)), recv_(eax(recv_key)) {}

ServerFrames::~ServerFrames() {
    gcry_cipher_close(static_cast<gcry_cipher_hd_t>(send_));
    gcry_cipher_close(static_cast<gcry_cipher_hd_t>(recv_));
}

ByteVec ServerFrames::seal(const ByteVec &plain) {
    ByteVec out;
    gcry_cipher_hd_t h = static_cast<gcry_cipher_hd_t>(send_);
    for (size_t off = 0; off < plain.size() || (off == 0 && plain.empty()); off += 0xFFFF) {
        const size_t n = std::min<size_t>(0xFFFF, plain.size() - off);
        uint8_t head[2] = {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        uint8_t iv[16], tag[16];
        nonce(send_count_++, iv);
        ByteVec body(plain.begin() + static_cast<long>(off), plain.begin() + static_cast<long>(off + n));
        gcry_cipher_reset(h);
        gcry_cipher_setiv(h, iv, 16);
        gcry_cipher_authenticate(h, head, 2);
        gcry_cipher_encrypt(h, body.data(), body.size(), nullptr, 0);
        gcry_cipher_gettag(h, tag, 16);
        out.insert(out.end(), head, head + 2);
        out.insert(out.end(), body.begin(), body.end());
        out.insert(out.end(), tag, tag + 16);
        if (plain.empty()) break;
    }
    return out;
}

bool ServerFrames::read(ScriptedServer::Peer &peer, size_t n, ByteVec &out, std::string &why) {
    gcry_cipher_hd_t h = static_cast<gcry_cipher_hd_t>(recv_);
    while (buffered_.size() < n) {
        ByteVec head, body;
        if (!peer.read(head, 2) || !peer.read(body, (head[0] << 8 | head[1]) + 16u)) {
            why = "client frame cut short";
            return false;
        }
        uint8_t iv[16];
        nonce(recv_count_++, iv);
        const size_t len = body.size() - 16;
        gcry_cipher_reset(h);
        gcry_cipher_setiv(h, iv, 16);
        gcry_cipher_authenticate(h, head.data(), 2);
        gcry_cipher_decrypt(h, body.data(), len, nullptr, 0);
        if (gcry_cipher_checktag(h, body.data() + len, 16)) {
            why = "client frame failed its tag";
            return false;
        }
        buffered_.insert(buffered_.end(), body.begin(), body.begin() + static_cast<long>(len));
    }
    out.assign(buffered_.begin(), buffered_.begin() + static_cast<long>(n));
    buffered_.erase(buffered_.begin(), buffered_.begin() + static_cast<long>(n));
    return true;
}

ScriptedServer::RunFn dh_server(uint16_t generator, const ByteVec &prime, const ByteVec &priv,
                                std::shared_ptr<PeerLog> log) {
    return [=](ScriptedServer::Peer &peer, std::string &why) {
        const size_t len = prime.size();
        const ByteVec ours = mod_pow(be_bytes(generator, 2), priv, prime);
        ByteVec hello = cat(cat(be_bytes(generator, 2), be_bytes(len, 2)), prime);
        if (!peer.write(cat(hello, ours))) return why = "send failed", false;
        ByteVec msg;
        if (!peer.read(msg, 128 + len)) return why = "no credentials", false;
        const ByteVec theirs(msg.begin() + 128, msg.end());
        const ByteVec shared = mod_pow(theirs, priv, prime);
        ByteVec key(16);
        vnc_hash_parts(vnc_hash::md5, key.data(), shared.data(), shared.size());
        const ByteVec block =
            cipher_decrypt(GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_ECB, key, {}, ByteVec(msg.begin(), msg.begin() + 128));
        std::lock_guard<std::mutex> g(log->mu);
        log->client_message = msg;
        log->username = c_string(block.data(), 64);
        log->password = c_string(block.data() + 64, 64);
        log->has_credentials = true;
        return true;
    };
}

ScriptedServer::RunFn mslogon2_server(uint64_t generator, uint64_t modulus, uint64_t priv,
                                      std::shared_ptr<PeerLog> log) {
    return [=](ScriptedServer::Peer &peer, std::string &why) {
        const ByteVec g = be_bytes(generator, 8), m = be_bytes(modulus, 8), x = be_bytes(priv, 8);
        if (!peer.write(cat(cat(g, m), mod_pow(g, x, m)))) return why = "send failed", false;
        ByteVec msg;
        if (!peer.read(msg, 8 + 256 + 64)) return why = "no credentials", false;
        const ByteVec key = mod_pow(ByteVec(msg.begin(), msg.begin() + 8), x, m);
        // Standard DES wants each key byte's bits the other way round.
        ByteVec des_key(8);
        for (int i = 0; i < 8; ++i)
            for (int b = 0; b < 8; ++b)
                if (key[i] >> b & 1) des_key[i] |= static_cast<uint8_t>(0x80 >> b);
        const ByteVec user = cipher_decrypt(GCRY_CIPHER_DES, GCRY_CIPHER_MODE_CBC, des_key, key,
                                            ByteVec(msg.begin() + 8, msg.begin() + 264));
        const ByteVec pass = cipher_decrypt(GCRY_CIPHER_DES, GCRY_CIPHER_MODE_CBC, des_key, key,
                                            ByteVec(msg.begin() + 264, msg.end()));
        std::lock_guard<std::mutex> lk(log->mu);
        log->client_message = msg;
        log->username = c_string(user.data(), 256);
        log->password = c_string(pass.data(), 64);
        log->has_credentials = true;
        return true;
    };
}

ScriptedServer::RunFn ra2_server(const Ra2Options &o, std::shared_ptr<PeerLog> log,
                                 std::shared_ptr<std::string> fingerprint) {
    return [=](ScriptedServer::Peer &peer, std::string &why) {
        const bool wide = o.type == 129 || o.type == 130;
        const bool keep = o.type == 5 || o.type == 129;
        const vnc_hash h = wide ? vnc_hash::sha256 : vnc_hash::sha1;
        const size_t key_len = wide ? 32 : 16;
        vnc_rsa_key key;
        ByteVec n, e;
        if (!key.generate(o.bits) || !key.public_parts(n, e)) return why = "no server key", false;
        // A size claimed beyond the key's own: the numbers padded to it.
        if (o.claimed_bits > o.bits && o.claimed_bits <= 8192) {
            const size_t pad = (o.claimed_bits + 7) / 8 - n.size();
            n.insert(n.begin(), pad, 0);
            e.insert(e.begin(), pad, 0);
        }
        const ByteVec server_key = cat(cat(be_bytes(o.claimed_bits ? o.claimed_bits : o.bits, 4), n), e);
        if (fingerprint) {
            ByteVec d(32);
            vnc_hash_parts(vnc_hash::sha256, d.data(), server_key.data(), server_key.size());
            static const char kHex[] = "0123456789abcdef";
            fingerprint->clear();
            for (uint8_t b : d) *fingerprint += std::string{kHex[b >> 4], kHex[b & 15]};
        }
        if (!peer.write(server_key)) return why = "send failed", false;
        if (o.stop_after_key) return true;
        ByteVec bits_bytes, cn, ce, len_bytes, sealed;
        if (!peer.read(bits_bytes, 4)) return why = "no client key", false;
        const uint32_t cbits = static_cast<uint32_t>(bits_bytes[0]) << 24 | bits_bytes[1] << 16 |
                               bits_bytes[2] << 8 | bits_bytes[3];
        if (cbits < 1024 || cbits > 8192) return why = "client key size", false;
        const size_t cbytes = (cbits + 7) / 8;
        if (!peer.read(cn, cbytes) || !peer.read(ce, cbytes) || !peer.read(len_bytes, 2))
            return why = "client key cut short", false;
        const ByteVec client_key = cat(cat(bits_bytes, cn), ce);
        ByteVec server_random(key_len);
        vnc_random(server_random.data(), key_len);
        ByteVec sealed_ours;
        if (!vnc_rsa_encrypt(cn.data(), cbytes, ce.data(), cbytes, server_random.data(), key_len, sealed_ours))
            return why = "could not seal for the client", false;
        if (!peer.write(cat(be_bytes(cbytes, 2), sealed_ours))) return why = "send failed", false;
        const size_t slen = static_cast<size_t>(len_bytes[0] << 8 | len_bytes[1]);
        if (slen != n.size() || !peer.read(sealed, slen)) return why = "client random", false;
        vnc_secret client_random;
        if (!key.decrypt(sealed.data(), slen, client_random) || client_random.size() != key_len)
            return why = "client random does not decrypt", false;
        const ByteVec cr(client_random.bytes);
        ByteVec send_key = hash(h, cr, server_random), recv_key = hash(h, server_random, cr);
        send_key.resize(key_len);
        recv_key.resize(key_len);
        ServerFrames f(send_key, recv_key);
        ByteVec server_hash = hash(h, server_key, client_key);
        if (o.bad_hash) server_hash[0] ^= 1;
        if (!f.write(peer, server_hash)) return why = "send failed", false;
        ByteVec got;
        if (!f.read(peer, vnc_hash_size(h), got, why)) return false;
        if (got != hash(h, client_key, server_key)) return why = "client hash wrong", false;
        if (!f.write(peer, {o.subtype})) return why = "send failed", false;
        ByteVec len, user, pass;
        if (!f.read(peer, 1, len, why) || !f.read(peer, len[0], user, why) || !f.read(peer, 1, len, why) ||
            !f.read(peer, len[0], pass, why))
            return false;
        {
            std::lock_guard<std::mutex> g(log->mu);
            log->username.assign(user.begin(), user.end());
            log->password.assign(pass.begin(), pass.end());
            log->has_credentials = true;
        }
        const bool ok = log->username == o.want_user && log->password == o.want_password;
        auto send = [&](const ByteVec &b) { return keep ? f.write(peer, b) : peer.write(b); };
        auto recv = [&](size_t k, ByteVec &out) { return keep ? f.read(peer, k, out, why) : peer.read(out, k); };
        if (!ok) {
            const std::string reason = "Authentication failed";
            return send(cat(be_bytes(1, 4), cat(be_bytes(reason.size(), 4), ByteVec(reason.begin(), reason.end())))) ||
                   (why = "send failed", false);
        }
        ByteVec init = be_bytes(0, 4);  // SecurityResult
        if (!send(init)) return why = "send failed", false;
        ByteVec client_init, spf, se_head, se, fbur;
        if (!recv(1, client_init)) return why = "no ClientInit", false;
        ByteVec server_init = cat(be_bytes(o.width, 2), be_bytes(o.height, 2));
        const ByteVec pf = {32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0};
        server_init = cat(cat(server_init, pf), be_bytes(3, 4));
        server_init.insert(server_init.end(), {'r', 'a', '2'});
        if (!send(server_init)) return why = "send failed", false;
        if (!recv(20, spf) || !recv(4, se_head) || !recv(4u * (se_head[2] << 8 | se_head[3]), se) ||
            !recv(10, fbur))
            return why = "no set-up messages", false;
        if (o.after_setup) return o.after_setup(peer, keep ? &f : nullptr, why);
        ByteVec update = {0, 0, 0, 1};
        update = cat(update, cat(cat(be_bytes(0, 4), be_bytes(4, 2)), cat(be_bytes(2, 2), be_bytes(0, 4))));
        for (int i = 0; i < 8; ++i) update.insert(update.end(), {static_cast<uint8_t>(i * 30), 0x40, 0x80, 0});
        if (!send(update)) return why = "send failed", false;
        if (o.flip_after_auth) {
            ByteVec frame = f.seal(cat({0, 0, 0, 1}, cat(cat(be_bytes(0, 4), be_bytes(1, 2)), cat(be_bytes(1, 2), be_bytes(0, 4)))));
            frame[2 + 5] ^= 0x01;  // inside the encrypted bytes
            if (!peer.write(frame)) return why = "send failed", false;
        }
        // Then whatever the client sends until it goes.
        ByteVec rest;
        while (keep ? f.read(peer, 1, rest, why) : peer.read(rest, 1, 10000)) {
        }
        why.clear();
        return true;
    };
}
