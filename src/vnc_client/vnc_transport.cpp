#include "vnc_transport.h"

namespace {

class plain_transport final : public vnc_transport {
public:
    explicit plain_transport(vnc_socket_t sock) : vnc_transport(sock) {}

    long recv_some(void *buffer, size_t max) override {
        const long r = vnc_sock_recv_some(sock_, buffer, max);
        if (r < 0) recv_error_ = vnc_sock_last_error();
        return r;
    }
    long recv_spans(const vnc_span *spans, int count) override {
        const long r = vnc_sock_recv_spans(sock_, spans, count);
        if (r < 0) recv_error_ = vnc_sock_last_error();
        return r;
    }
    int send_all(const void *data, size_t length, const std::atomic<int> *cancel,
                 int stall_ms) override {
        const int r = vnc_sock_write_exact_cancel(sock_, data, length, cancel, stall_ms);
        if (r == -1) send_error_ = vnc_sock_last_error();
        return r;
    }
    void end_stream(bool) override { vnc_sock_shutdown_send(sock_); }
    int recv_error() const override { return recv_error_; }
    int send_error() const override { return send_error_; }
    void error_text(int code, char *buf, size_t size) const override {
        vnc_sock_error_text(code, buf, size);
    }

private:
    int recv_error_ = 0;
    int send_error_ = 0;
};

}  // namespace

vnc_transport_ptr vnc_plain_transport(vnc_socket_t sock) {
    return vnc_transport_ptr(vnc_new<plain_transport>(sock));
}
