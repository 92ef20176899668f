// Where decoders and the handshake read protocol bytes from: a buffered
// socket reader in production, a memory reader in tests and fuzzers.
#ifndef QUENVIRA_VNC_BYTE_SOURCE_H
#define QUENVIRA_VNC_BYTE_SOURCE_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "vnc_transport.h"

class vnc_byte_source {
public:
    virtual ~vnc_byte_source() = default;

    // Reads exactly n bytes into dst. timeout_ms bounds each wait for data
    // (negative: no limit). 0 on success, -1 on timeout, end of data or error;
    // bytes that did arrive before a failure are consumed and lost, so the
    // stream is no longer in step after a failed read.
    int read(void *dst, size_t n, int timeout_ms) {
        if (static_cast<size_t>(end_ - cur_) >= n) {
            if (n) std::memcpy(dst, cur_, n);
            cur_ += n;
            return 0;
        }
        return read_slow(dst, n, timeout_ms);
    }

    int read_u8(uint8_t *v, int timeout_ms) {
        if (cur_ != end_) {
            *v = *cur_++;
            return 0;
        }
        return read_slow(v, 1, timeout_ms);
    }
    int read_u16(uint16_t *v, int timeout_ms) {
        uint8_t b[2];
        if (read(b, 2, timeout_ms)) return -1;
        *v = static_cast<uint16_t>(b[0] << 8 | b[1]);
        return 0;
    }
    int read_u32(uint32_t *v, int timeout_ms) {
        uint8_t b[4];
        if (read(b, 4, timeout_ms)) return -1;
        *v = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
             static_cast<uint32_t>(b[2]) << 8 | b[3];
        return 0;
    }
    // Reads rows rows of row_bytes each into dst, dst + stride, ...: as read
    // of each row in turn, which is what this does unless a source can do
    // better. *rows_done grows by one as each row is complete, also while
    // later ones are awaited.
    virtual int read_rows(uint8_t *dst, size_t stride, size_t row_bytes, size_t rows,
                          int timeout_ms, int *rows_done) {
        for (size_t r = 0; r < rows; ++r, dst += stride, ++*rows_done)
            if (read(dst, row_bytes, timeout_ms)) return -1;
        return 0;
    }
    // Reads and drops n bytes (keeps the stream in step past a payload that
    // cannot be used). 0 or -1.
    int skip(uint64_t n, int timeout_ms);

    // Bytes already buffered and readable without waiting.
    size_t buffered() const { return static_cast<size_t>(end_ - cur_); }

    // In-place access for decoders that parse straight from the buffer:
    // fill makes at least one byte buffered (waiting as read does; 0 or -1),
    // peek points at the buffered() bytes, consume(n <= buffered()) drops n.
    int fill(int timeout_ms) { return cur_ != end_ ? 0 : fill_slow(timeout_ms); }
    const uint8_t *peek() const { return cur_; }
    void consume(size_t n) { cur_ += n; }

protected:
    virtual int read_slow(void *dst, size_t n, int timeout_ms) = 0;
    virtual int fill_slow(int timeout_ms) = 0;
    const uint8_t *cur_ = nullptr;
    const uint8_t *end_ = nullptr;
};

// Serves reads from a fixed block of memory; nothing is copied.
class vnc_memory_reader : public vnc_byte_source {
public:
    vnc_memory_reader(const void *data, size_t size) {
        cur_ = static_cast<const uint8_t *>(data);
        end_ = cur_ + size;
    }

protected:
    int read_slow(void *, size_t, int) override {
        cur_ = end_;  // a short read consumes what was left, as a socket would
        return -1;
    }
    int fill_slow(int) override { return -1; }
};

// Reads a connection's transport through a buffer: one receive serves many
// small reads, and large reads go straight into the caller's memory. Each
// wait for data keeps its own timeout. With a cancel flag, waits give up
// once it reads 0.
class vnc_socket_reader : public vnc_byte_source {
public:
    static constexpr size_t kBufferSize = 64 * 1024;
    using clock = std::chrono::steady_clock;
    // Called when the reader must wait for data and a tick is due.
    using tick_fn = void (*)(void *arg);

    // Check ok() afterwards: false when the buffer could not be had.
    vnc_socket_reader(vnc_transport *transport, const std::atomic<int> *cancel);
    // Over a plain transport of its own on sock.
    vnc_socket_reader(vnc_socket_t sock, const std::atomic<int> *cancel);
    ~vnc_socket_reader() override;
    vnc_socket_reader(const vnc_socket_reader &) = delete;
    vnc_socket_reader &operator=(const vnc_socket_reader &) = delete;
    bool ok() const { return buf_ != nullptr && transport_ != nullptr; }

    void set_cancel(const std::atomic<int> *cancel) { cancel_ = cancel; }
    // A security scheme replaced the transport; nothing may be buffered
    // then (what came before the switch belongs to the old one).
    void set_transport(vnc_transport *transport) { transport_ = transport; }
    // With a waker (vnc_wake_open) whoever clears the cancel flag signals,
    // and waits need not wake to look at the flag: an idle connection
    // sleeps.
    void set_wake(int fd) { wake_fd_ = fd; }
    // Why the last failed read failed; timed_out() is the one case that is
    // not the connection's end (a quiet server).
    enum class failure { none, timeout, closed, error, cancelled };
    failure last_failure() const { return failure_; }
    bool timed_out() const { return failure_ == failure::timeout; }
    // The transport's error code when last_failure() is error, and its text.
    int last_error() const { return error_; }
    void error_text(char *buf, size_t size) const { transport_->error_text(error_, buf, size); }

    // While armed, a read that has to wait for data first runs fn once the
    // due time has come, and a long wait is cut there so fn runs on time;
    // fn re-arms for its next turn.
    void set_tick(tick_fn fn, void *arg) {
        tick_fn_ = fn;
        tick_arg_ = arg;
    }
    void arm_tick(clock::time_point due) {
        tick_due_ = due;
        tick_armed_ = true;
    }
    void disarm_tick() { tick_armed_ = false; }
    // No wait goes past this point in time (a whole handshake's limit); a
    // read that reaches it fails as timed out.
    void set_deadline(clock::time_point at) { deadline_ = at; }

    // The rows are received straight into place, none through the buffer.
    int read_rows(uint8_t *dst, size_t stride, size_t row_bytes, size_t rows, int timeout_ms,
                  int *rows_done) override;

protected:
    int read_slow(void *dst, size_t n, int timeout_ms) override;
    int fill_slow(int timeout_ms) override;

private:
    int wait(int timeout_ms);
    int wait_slice_ms() const;
    int wait_for_data(int timeout_ms);
    vnc_transport_ptr own_;
    vnc_transport *transport_;
    const std::atomic<int> *cancel_;
    int wake_fd_ = -1;
    uint8_t *buf_;
    int wait_failed(int w);
    int recv_failed(long r);
    failure failure_ = failure::none;
    int error_ = 0;
    tick_fn tick_fn_ = nullptr;
    void *tick_arg_ = nullptr;
    bool tick_armed_ = false;
    clock::time_point tick_due_;
    clock::time_point deadline_ = clock::time_point::max();
};

#endif
