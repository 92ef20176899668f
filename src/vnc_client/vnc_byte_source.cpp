#include "vnc_byte_source.h"

#include <algorithm>

int vnc_byte_source::skip(uint64_t n, int timeout_ms) {
    uint8_t scratch[4096];
    while (n > 0) {
        size_t step = static_cast<size_t>(std::min<uint64_t>(n, sizeof scratch));
        if (read(scratch, step, timeout_ms)) return -1;
        n -= step;
    }
    return 0;
}

int vnc_socket_reader::wait(int timeout_ms) {
    if (timeout_ms < 0 && !cancel_) return 1;  // block in the receive itself
    return vnc_sock_wait_readable(sock_, timeout_ms, cancel_);
}

int vnc_socket_reader::read_slow(void *dst, size_t n, int timeout_ms) {
    uint8_t *out = static_cast<uint8_t *>(dst);
    // Hand over what the buffer still holds.
    size_t have = static_cast<size_t>(end_ - cur_);
    if (have) {
        std::memcpy(out, cur_, have);
        out += have;
        n -= have;
    }
    cur_ = end_ = buf_.get();
    timed_out_ = false;
    while (n > 0) {
        int w = wait(timeout_ms);
        if (w <= 0) {
            timed_out_ = w == 0;
            return -1;
        }
        if (n >= kBufferSize) {
            // Large payloads (Raw rows, compressed data) skip the extra copy.
            long r = vnc_sock_recv_some(sock_, out, n);
            if (r <= 0) return -1;
            out += r;
            n -= static_cast<size_t>(r);
            continue;
        }
        long r = vnc_sock_recv_some(sock_, buf_.get(), kBufferSize);
        if (r <= 0) return -1;
        size_t got = static_cast<size_t>(r);
        size_t take = std::min(got, n);
        std::memcpy(out, buf_.get(), take);
        out += take;
        n -= take;
        cur_ = buf_.get() + take;
        end_ = buf_.get() + got;
    }
    return 0;
}
