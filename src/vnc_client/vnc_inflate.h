// An inflate stream that runs on across rectangles, each of which ends in a
// sync flush: ZRLE's one stream a connection, Tight's four. ISA-L
// inflates it where the build has it (1.7 to 2 times as fast as zlib on ZRLE
// data), zlib everywhere else; both give the same bytes.
#ifndef QUENVIRA_VNC_INFLATE_H
#define QUENVIRA_VNC_INFLATE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

class vnc_inflate {
public:
    // Check ok() afterwards: false when the stream's state could not be had.
    vnc_inflate();
    ~vnc_inflate();
    vnc_inflate(const vnc_inflate &) = delete;
    vnc_inflate &operator=(const vnc_inflate &) = delete;
    bool ok() const { return state_ != nullptr; }

    // The next rectangle's compressed bytes; they must stay valid until
    // detach(). Before the stream's first bytes a plain zlib header is
    // skipped here: its checksum is never checked (the stream does not end
    // while the connection lasts) and costs a tenth of inflating.
    void feed(const uint8_t *data, uint32_t len);
    // Inflates into out[0, space). 1: more may come; 0: the input is used up
    // and everything is out; -1: the data is not a valid stream.
    int run(uint8_t *out, size_t space, size_t *produced);
    // Forgets the input and output pointers.
    void detach();

    // "isa-l" or "zlib": the backend of this build.
    static const char *backend();

private:
    void *state_;
    bool started_ = false;
};

// One rectangle's inflated bytes, produced on demand from its compressed
// bytes through a fixed window, so memory does not follow the size a
// rectangle claims; at most `bound` bytes are ever handed out.
class vnc_inflate_window {
public:
    // Holds the largest piece a decoder asks for at once with room to spare.
    static constexpr size_t kSize = 64 * 1024;
    // Readable bytes past the window's end, so a 3-byte pixel can be loaded
    // with one 4-byte read.
    static constexpr size_t kPad = 8;

    const uint8_t *cur;
    const uint8_t *end;

    // running: null, or cleared to cancel.
    vnc_inflate_window(vnc_inflate &z, const std::atomic<int> *running, const uint8_t *compressed,
                       uint32_t len, uint64_t bound)
        : cur(window_), end(window_), z_(z), running_(running), bound_(bound) {
        std::memset(window_ + kSize, 0, kPad);
        z_.feed(compressed, len);
    }
    // The stream keeps no use for the pointers past the rectangle; do not
    // leave them dangling.
    ~vnc_inflate_window() { z_.detach(); }
    vnc_inflate_window(const vnc_inflate_window &) = delete;
    vnc_inflate_window &operator=(const vnc_inflate_window &) = delete;

    size_t left() const { return static_cast<size_t>(end - cur); }
    // Makes n (<= kSize) bytes readable at cur; false when the rectangle's
    // data ends first.
    bool need(size_t n) { return left() >= n || refill(n); }
    // Runs the rest of the compressed bytes through inflate, dropping the
    // output, so the next rectangle starts in step. false when the data
    // could not be inflated or the connection is cancelled.
    bool drain();

private:
    bool refill(size_t n);
    // One inflate call into out[0, space): 1 more may come, 0 all out, -1 failed.
    int step(uint8_t *out, size_t space, size_t *produced);
    void finish(int r) {
        done_ = true;
        if (r < 0) failed_ = true;
    }

    uint8_t window_[kSize + kPad];
    vnc_inflate &z_;
    const std::atomic<int> *running_;
    uint64_t bound_;
    uint64_t produced_ = 0;
    bool done_ = false, failed_ = false;
};

#endif
