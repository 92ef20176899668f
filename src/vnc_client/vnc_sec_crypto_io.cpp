// The connection's side of vnc_security_io: reads through the handshake's
// reader, sends under the send lock, failures into the end reason, and the
// RSA-AES frame layer in place of the connection's transport.
#include "vnc_sec_crypto_io.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "vnc_client_internal.h"
#include "vnc_crypto.h"
#include "vnc_ra2_transport.h"
#include "vnc_security.h"

int vnc_security_io::failf(const char *fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return fail(text);
}

namespace {

class ctx_io : public vnc_security_io {
public:
    explicit ctx_io(vnc_sec_ctx &ctx) : ctx_(ctx) {}

    int read(void *dst, size_t n) override { return ctx_.in->read(dst, n, kHandshakeTimeoutMs); }
    int send(const void *data, size_t n) override {
        return vnc_sec_send(ctx_, data, n, "Failed to send to the server during the security handshake");
    }
    int fail(const char *text) override {
        // The words are the scheme's own (no secret in them): both for
        // vnc_last_error and the end reason.
        std::snprintf(ctx_.error_buf, sizeof ctx_.error_buf, "%s", text);
        return vnc_sec_fail(ctx_, ctx_.error_buf, "%s", text);
    }
    int fail_read(const char *what) override {
        return vnc_sec_read_failed(ctx_, "Failed to read from the server during the security handshake",
                                   what);
    }
    void info(const char *key, const char *value) override { vnc_sec_info(ctx_, key, value); }

    int start_frames(const uint8_t *send_key, const uint8_t *recv_key, size_t key_len) override {
        // What the reader has read ahead is the server's first frames: they
        // go to the layer, which takes them before receiving more.
        const size_t ahead = ctx_.in->buffered();
        if (ahead > 2 * vnc_ra2_transport::kFrameBytes) return -1;
        vnc_secret early(ahead);
        if (ahead) std::memcpy(early.data(), ctx_.in->peek(), ahead);
        ctx_.in->consume(ahead);
        vnc_transport_ptr below = vnc_sec_take_transport(ctx_);
        vnc_ra2_transport *layer = vnc_new<vnc_ra2_transport>(std::move(below));
        if (!layer) {
            vnc_sec_replace_transport(ctx_, std::move(below));
            return -1;
        }
        vnc_transport_ptr next(layer);
        const bool ok = layer->start(send_key, recv_key, key_len) &&
                        layer->push_received(early.data(), early.size());
        if (vnc_sec_replace_transport(ctx_, std::move(next))) return -1;
        layer_ = layer;
        return ok ? 0 : -1;
    }

    int stop_frames() override {
        if (!layer_ || ctx_.in->buffered() || layer_->holds_received()) return -1;
        vnc_transport_ptr t = vnc_sec_take_transport(ctx_);
        vnc_transport_ptr below = layer_->release_inner();
        layer_ = nullptr;
        t.reset();
        return vnc_sec_replace_transport(ctx_, std::move(below));
    }

private:
    vnc_sec_ctx &ctx_;
    vnc_ra2_transport *layer_ = nullptr;
};

}  // namespace

int vnc_sec_run_crypto(vnc_sec_ctx &ctx, uint8_t type, const char *name, const char *auth_name,
                       int (*scheme)(vnc_security_io &)) {
    ctx_io io(ctx);
    io.type = type;
    io.type_name = name;
    io.username = ctx.c->conn.username.empty() ? nullptr : ctx.c->conn.username.c_str();
    io.password = ctx.password;
    io.rsa_pin = ctx.c->conn.rsa_pin.empty() ? nullptr : ctx.c->conn.rsa_pin.c_str();
    if (!vnc_crypto_init()) return io.fail("libgcrypt is older than the library was built for");
    const int r = scheme(io);
    if (r == 0) {
        ctx.expect_result = true;
        ctx.auth_name = auth_name;
    }
    return r;
}
