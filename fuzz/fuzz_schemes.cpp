#include "fuzz_schemes.h"

#include <cstring>
#include <vector>

#include "vnc_crypto.h"
#include "vnc_ra2_transport.h"
#include "vnc_sec_crypto_io.h"

namespace {

using bytes = std::vector<uint8_t>;

// The server's end, a queue of bytes the client reads.
class queue_transport : public vnc_transport {
public:
    queue_transport() : vnc_transport(VNC_INVALID_SOCKET) {}
    bytes queue;
    size_t pos = 0;
    bytes sent;
    size_t pending() const override { return queue.size() - pos; }
    long recv_some(void *buffer, size_t max) override {
        const size_t n = std::min(max, queue.size() - pos);
        std::memcpy(buffer, queue.data() + pos, n);
        pos += n;
        return static_cast<long>(n);
    }
    int send_all(const void *data, size_t length, const std::atomic<int> *, int) override {
        const uint8_t *p = static_cast<const uint8_t *>(data);
        sent.insert(sent.end(), p, p + length);
        return 0;
    }
    void end_stream(bool) override {}
    int recv_error() const override { return 0; }
    int send_error() const override { return 0; }
    void error_text(int, char *buf, size_t size) const override {
        if (size) buf[0] = '\0';
    }
};

struct server_key {
    vnc_rsa_key key;
    bytes n, e, message;
    server_key() {
        key.generate(1024);
        key.public_parts(n, e);
        message = {0, 0, 4, 0};
        message.insert(message.end(), n.begin(), n.end());
        message.insert(message.end(), e.begin(), e.end());
    }
};

class fuzz_io : public vnc_security_io {
public:
    fuzz_io(const uint8_t *data, size_t size, int flags)
        : in_(data), end_(data + size), flags_(flags), q_(vnc_new<queue_transport>()), own_(q_) {}
    ~fuzz_io() override { vnc_delete(layer_); }
    bool ok() const { return q_ != nullptr; }

    int read(void *dst, size_t n) override {
        uint8_t *p = static_cast<uint8_t *>(dst);
        while (n) {
            vnc_transport *t = layer_ ? static_cast<vnc_transport *>(layer_) : q_;
            if (!t->pending() && !q_->pending() && !refill()) return -1;
            const long r = t->recv_some(p, n);
            if (r == vnc_transport::kAgain) {
                if (!q_->pending() && !refill()) return -1;
                continue;
            }
            if (r <= 0) return -1;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return 0;
    }
    int send(const void *data, size_t n) override {
        if (layer_) return layer_->send_all(data, n, nullptr, -1);
        const uint8_t *p = static_cast<const uint8_t *>(data);
        if (client_hello_.empty()) client_hello_.assign(p, p + n);
        return 0;
    }
    int fail(const char *) override { return -1; }
    int fail_read(const char *) override { return -1; }
    void info(const char *, const char *) override {}

    int start_frames(const uint8_t *send_key, const uint8_t *recv_key, size_t key_len) override {
        layer_ = vnc_new<vnc_ra2_transport>(std::move(own_));
        if (!layer_ || !layer_->start(send_key, recv_key, key_len)) return -1;
        // The server seals with the key the client opens with.
        server_frames_.set_key(recv_key, key_len);
        return 0;
    }
    int stop_frames() override {
        if (!layer_ || layer_->holds_received()) return -1;
        own_ = layer_->release_inner();
        vnc_delete(layer_);
        layer_ = nullptr;
        return 0;
    }

    void start_ra2(const server_key &k) {
        key_ = &k;
        if (flags_ & 1) push(k.message.data(), k.message.size());
    }

private:
    void push(const uint8_t *p, size_t n) { q_->queue.insert(q_->queue.end(), p, p + n); }

    // More server bytes, as the stage of the exchange wants; false when the
    // input is used up.
    bool refill() {
        if (key_ && !random_done_ && !client_hello_.empty()) {
            random_done_ = true;
            if ((flags_ & 2) && seal_random()) return true;
        }
        if (layer_ && (flags_ & 4)) {
            if (!hash_done_ && (flags_ & 8) && key_ && (flags_ & 1)) {
                hash_done_ = true;
                // H(ServerKey || ClientKey) with the client's key as sent.
                const bool wide = type == 129 || type == 130;
                uint8_t h[32];
                vnc_hash_parts(wide ? vnc_hash::sha256 : vnc_hash::sha1, h, key_->message.data(),
                               key_->message.size(), client_hello_.data(), client_key_len_);
                seal_frame(h, wide ? 32 : 20);
                return true;
            }
            if (in_ >= end_) return false;
            const size_t want = *in_++;
            const size_t n = std::min<size_t>(want, static_cast<size_t>(end_ - in_));
            seal_frame(in_, n);
            in_ += n;
            return true;
        }
        if (in_ >= end_) return false;
        const size_t n = std::min<size_t>(64, static_cast<size_t>(end_ - in_));
        push(in_, n);
        in_ += n;
        return true;
    }
    bool seal_random() {
        const bytes &h = client_hello_;
        if (h.size() < 4) return false;
        const uint32_t bits = static_cast<uint32_t>(h[0]) << 24 | h[1] << 16 | h[2] << 8 | h[3];
        const size_t kb = (bits + 7) / 8;
        if (h.size() < 4 + 2 * kb) return false;
        client_key_len_ = 4 + 2 * kb;
        const size_t rlen = type == 129 || type == 130 ? 32 : 16;
        uint8_t random[32] = {1, 2, 3};
        bytes sealed;
        if (!vnc_rsa_encrypt(h.data() + 4, kb, h.data() + 4 + kb, kb, random, rlen, sealed)) return false;
        const uint8_t len[2] = {static_cast<uint8_t>(kb >> 8), static_cast<uint8_t>(kb)};
        push(len, 2);
        push(sealed.data(), sealed.size());
        return true;
    }
    void seal_frame(const uint8_t *p, size_t n) {
        bytes frame(2 + n + 16);
        std::memcpy(frame.data() + 2, p, n);
        server_frames_.seal(frame.data(), frame.data() + 2, n, frame.data() + 2 + n);
        push(frame.data(), frame.size());
    }

    const uint8_t *in_, *end_;
    int flags_;
    queue_transport *q_;  // the server's end, below the layer once there is one
    vnc_transport_ptr own_;
    vnc_ra2_transport *layer_ = nullptr;
    vnc_eax server_frames_;
    const server_key *key_ = nullptr;
    bytes client_hello_;
    size_t client_key_len_ = 0;
    bool random_done_ = false, hash_done_ = false;
};

}  // namespace

void fuzz_schemes_one(const uint8_t *data, size_t size) {
    static const bool init = [] {
        vnc_crypto_init();
        vnc_rsa_reuse_key_for_testing(true);
        return true;
    }();
    (void)init;
    static server_key key;
    if (size < 2) return;
    static const uint8_t kTypes[] = {30, 113, 5, 6, 129, 130};
    static const char *const kNames[] = {"dh", "mslogon2", "ra2", "ra2ne", "ra2-256", "ra2ne-256"};
#ifdef QV_FUZZ_SCHEME
    const int pick = QV_FUZZ_SCHEME;  // one target per scheme: byte 0 is ignored
#else
    const int pick = data[0] % 6;
#endif
    vnc_random_seed_for_testing(1);
    fuzz_io io(data + 2, size - 2, data[1]);
    if (!io.ok()) return;
    io.type = kTypes[pick];
    io.type_name = kNames[pick];
    io.username = "user";
    io.password = "password";
    int r;
    if (pick == 0) {
        r = vnc_security_dh(io);
    } else if (pick == 1) {
        r = vnc_security_mslogon2(io);
    } else {
        io.start_ra2(key);
        r = vnc_security_ra2(io);
    }
    if (r == 0) {
        uint8_t result[4];
        r = io.read(result, 4) ? 1 : 2;
    }
#ifdef QV_FUZZ_SCHEMES_NO_MAIN
    extern int fuzz_last_result;
    fuzz_last_result = r;
#endif
    vnc_random_seed_for_testing(0);
}

#ifndef QV_FUZZ_SCHEMES_NO_MAIN
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_schemes_one(data, size);
    return 0;
}
#endif
