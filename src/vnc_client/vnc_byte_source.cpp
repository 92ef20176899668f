#include "vnc_byte_source.h"

#include <algorithm>

#include "vnc_alloc.h"
#include "vnc_client_internal.h"

namespace {
#ifdef _WIN32
// Under Wine neither shutdown nor closesocket wakes a wait: a cancel is only
// seen between slices, so they stay short.
constexpr int kWaitSliceMs = 0;
#else
// Whoever cancels a reader also shuts its socket down, which wakes the wait
// at once; long slices keep an idle connection from waking 50 times a second.
constexpr int kWaitSliceMs = 200;
#endif
// With a waker a slice only bounds each poll; the waker ends a wait.
constexpr int kWokenSliceMs = 60 * 1000;
std::atomic<int> s_timeout_cap_ms{0};
}  // namespace

void vnc_set_read_timeout_cap_for_testing(int ms) { s_timeout_cap_ms.store(ms > 0 ? ms : 0); }

int vnc_byte_source::skip(uint64_t n, int timeout_ms) {
    uint8_t scratch[4096];
    while (n > 0) {
        size_t step = static_cast<size_t>(std::min<uint64_t>(n, sizeof scratch));
        if (read(scratch, step, timeout_ms)) return -1;
        n -= step;
    }
    return 0;
}

vnc_socket_reader::vnc_socket_reader(vnc_transport *transport, const std::atomic<int> *cancel)
    : transport_(transport), cancel_(cancel), buf_(static_cast<uint8_t *>(vnc_malloc(kBufferSize))) {
    cur_ = end_ = buf_;
}

vnc_socket_reader::vnc_socket_reader(vnc_socket_t sock, const std::atomic<int> *cancel)
    : vnc_socket_reader(static_cast<vnc_transport *>(nullptr), cancel) {
    own_ = vnc_plain_transport(sock);
    transport_ = own_.get();
}

vnc_socket_reader::~vnc_socket_reader() { vnc_free(buf_); }

// A wait of timeout_ms, cut short by the reader's deadline (and by the
// tests' cap).
int vnc_socket_reader::wait_for_data(int timeout_ms) {
    const int cap = s_timeout_cap_ms.load(std::memory_order_relaxed);
    if (cap > 0 && (timeout_ms < 0 || timeout_ms > cap)) timeout_ms = cap;
    if (deadline_ != clock::time_point::max()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline_ - clock::now()).count();
        const int ms = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
        if (timeout_ms < 0 || ms < timeout_ms) timeout_ms = ms;
    }
    return wait(timeout_ms);
}

int vnc_socket_reader::wait_failed(int w) {
    // A wait fails for a timeout, or for a cancel or a waker (the only other
    // ways it gives up; a broken socket shows as readable).
    failure_ = w == 0 ? failure::timeout : failure::cancelled;
    return -1;
}

int vnc_socket_reader::recv_failed(long r) {
    failure_ = r == 0 ? failure::closed : failure::error;
    error_ = r == 0 ? 0 : transport_->recv_error();
    return -1;
}

int vnc_socket_reader::wait_slice_ms() const { return wake_fd_ >= 0 ? kWokenSliceMs : kWaitSliceMs; }

int vnc_socket_reader::wait(int timeout_ms) {
    if (!tick_armed_) {
        // Block in the receive itself.
        if (timeout_ms < 0 && !cancel_ && transport_->receive_blocks()) return 1;
        return transport_->wait_readable(timeout_ms, cancel_, wait_slice_ms(), wake_fd_);
    }
    clock::time_point deadline =
        timeout_ms < 0 ? clock::time_point::max() : clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        clock::time_point now = clock::now();
        if (tick_armed_ && now >= tick_due_) {
            tick_armed_ = false;
            tick_fn_(tick_arg_);
            // The tick's own time is not the server's delay.
            const clock::time_point after = clock::now();
            if (deadline != clock::time_point::max()) deadline += after - now;
            now = after;
        }
        const clock::time_point until = tick_armed_ ? std::min(deadline, tick_due_) : deadline;
        int slice = -1;
        if (until != clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
            slice = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
        }
        // A slice of 0 still polls once, so data that is waiting is seen.
        const int w = transport_->wait_readable(slice, cancel_, wait_slice_ms(), wake_fd_);
        if (w != 0) return w;
        if (clock::now() >= deadline) return 0;
    }
}

int vnc_socket_reader::fill_slow(int timeout_ms) {
    if (!buf_) return -1;
    cur_ = end_ = buf_;
    failure_ = failure::none;
    for (;;) {
        const int w = wait_for_data(timeout_ms);
        if (w <= 0) return wait_failed(w);
        const long r = transport_->recv_some(buf_, kBufferSize);
        if (r == vnc_transport::kAgain) continue;
        if (r <= 0) return recv_failed(r);
        end_ = buf_ + r;
        return 0;
    }
}

int vnc_socket_reader::read_slow(void *dst, size_t n, int timeout_ms) {
    if (!buf_) return -1;
    uint8_t *out = static_cast<uint8_t *>(dst);
    // Hand over what the buffer still holds.
    size_t have = static_cast<size_t>(end_ - cur_);
    if (have) {
        std::memcpy(out, cur_, have);
        out += have;
        n -= have;
    }
    cur_ = end_ = buf_;
    failure_ = failure::none;
    while (n > 0) {
        int w = wait_for_data(timeout_ms);
        if (w <= 0) {
            return wait_failed(w);
        }
        if (n >= kBufferSize) {
            // Large payloads (Raw rows, compressed data) skip the extra copy.
            long r = transport_->recv_some(out, n);
            if (r == vnc_transport::kAgain) continue;
            if (r <= 0) return recv_failed(r);
            out += r;
            n -= static_cast<size_t>(r);
            continue;
        }
        long r = transport_->recv_some(buf_, kBufferSize);
        if (r == vnc_transport::kAgain) continue;
        if (r <= 0) return recv_failed(r);
        size_t got = static_cast<size_t>(r);
        size_t take = std::min(got, n);
        std::memcpy(out, buf_, take);
        out += take;
        n -= take;
        cur_ = buf_ + take;
        end_ = buf_ + got;
    }
    return 0;
}

int vnc_socket_reader::read_rows(uint8_t *dst, size_t stride, size_t row_bytes, size_t rows,
                                 int timeout_ms, int *rows_done) {
    if (!buf_) return -1;
    if (!row_bytes) return 0;
    size_t row = 0, off = 0;  // the next byte goes to row `row` at offset off
    const auto advance = [&](size_t n) {
        off += n;
        *rows_done += static_cast<int>(off / row_bytes);
        row += off / row_bytes;
        off %= row_bytes;
    };
    while (row < rows && cur_ != end_) {
        const size_t take = std::min(static_cast<size_t>(end_ - cur_), row_bytes - off);
        std::memcpy(dst + row * stride + off, cur_, take);
        cur_ += take;
        advance(take);
    }
    if (row == rows) return 0;
    cur_ = end_ = buf_;
    failure_ = failure::none;
    while (row < rows) {
        const int w = wait_for_data(timeout_ms);
        if (w <= 0) {
            return wait_failed(w);
        }
        vnc_span spans[kMaxRecvSpans];
        int count = 0;
        size_t want = 0;
        for (size_t r = row, o = off; r < rows && count < kMaxRecvSpans - 1; ++r, o = 0) {
            spans[count++] = {dst + r * stride + o, row_bytes - o};
            want += row_bytes - o;
        }
        // Once the last rows are in the request, what follows them may come
        // in the same receive, into the buffer.
        const bool last = row + static_cast<size_t>(count) == rows;
        if (last) spans[count++] = {buf_, kBufferSize};
        const long r = transport_->recv_spans(spans, count);
        if (r == vnc_transport::kAgain) continue;
        if (r <= 0) return recv_failed(r);
        size_t got = static_cast<size_t>(r);
        if (got > want) {
            end_ = buf_ + (got - want);
            got = want;
        }
        advance(got);
    }
    return 0;
}
