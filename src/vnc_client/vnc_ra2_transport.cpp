#include "vnc_ra2_transport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

vnc_ra2_transport::vnc_ra2_transport(vnc_transport_ptr inner)
    : vnc_transport(inner ? inner->socket() : VNC_INVALID_SOCKET), inner_(std::move(inner)) {}

vnc_ra2_transport::~vnc_ra2_transport() {
    // Plain text of the session (a password typed into a remote window,
    // say) does not stay behind in freed memory.
    vnc_wipe(plain_, kMaxFrame);
    vnc_wipe(out_, kFrameBytes);
    vnc_free(raw_);
    vnc_free(plain_);
    vnc_free(out_);
    if (ahead_) vnc_wipe(ahead_, ahead_len_);
    vnc_free(ahead_);
}

bool vnc_ra2_transport::start(const uint8_t *send_key, const uint8_t *recv_key, size_t key_len) {
    raw_ = static_cast<uint8_t *>(vnc_malloc(kFrameBytes));
    plain_ = static_cast<uint8_t *>(vnc_malloc(kMaxFrame));
    out_ = static_cast<uint8_t *>(vnc_malloc(kFrameBytes));
    return inner_ && raw_ && plain_ && out_ && send_.set_key(send_key, key_len) &&
           recv_.set_key(recv_key, key_len);
}

bool vnc_ra2_transport::push_received(const uint8_t *data, size_t n) {
    if (!n) return true;
    if (ahead_ || n > 2 * kFrameBytes) return false;
    ahead_ = static_cast<uint8_t *>(vnc_malloc(n));
    if (!ahead_) return false;
    std::memcpy(ahead_, data, n);
    ahead_len_ = n;
    ahead_pos_ = 0;
    return true;
}

size_t vnc_ra2_transport::frame_missing() const {
    if (raw_len_ < 2) return 2 - raw_len_;
    const size_t len = static_cast<size_t>(raw_[0]) << 8 | raw_[1];
    return 2 + len + kTagBytes - raw_len_;
}

long vnc_ra2_transport::hand_over(void *buffer, size_t max) {
    const size_t n = std::min(max, plain_len_ - plain_pos_);
    std::memcpy(buffer, plain_ + plain_pos_, n);
    plain_pos_ += n;
    return static_cast<long>(n);
}

long vnc_ra2_transport::recv_some(void *buffer, size_t max) {
    if (plain_pos_ < plain_len_) return hand_over(buffer, max);
    // Exactly the bytes of the frame under way are taken from below, never
    // more: the stream after a last frame may be plain (RA2ne).
    for (;;) {
        const size_t missing = frame_missing();
        long r;
        if (ahead_pos_ < ahead_len_) {
            r = static_cast<long>(std::min(missing, ahead_len_ - ahead_pos_));
            std::memcpy(raw_ + raw_len_, ahead_ + ahead_pos_, static_cast<size_t>(r));
            ahead_pos_ += static_cast<size_t>(r);
        } else {
            r = inner_->recv_some(raw_ + raw_len_, missing);
            if (r < 0) {
                if (r != kAgain) recv_error_ = inner_->recv_error();
                return r;
            }
            // The end of the stream, also inside a frame: nothing more comes.
            if (r == 0) return 0;
        }
        raw_len_ += static_cast<size_t>(r);
        if (frame_missing() > 0) {
            if (ahead_pos_ < ahead_len_) continue;
            return kAgain;
        }
        const size_t len = raw_len_ - 2 - kTagBytes;
        std::memcpy(plain_, raw_ + 2, len);
        const bool ok = recv_.open(raw_, plain_, len, raw_ + 2 + len);
        raw_len_ = 0;
        if (!ok) {
            vnc_wipe(plain_, len);
            recv_error_ = kBadTag;
            return -1;
        }
        plain_len_ = len;
        plain_pos_ = 0;
        // An empty frame hands nothing over; the next one is awaited.
        if (len) return hand_over(buffer, max);
        if (ahead_pos_ >= ahead_len_) return kAgain;
    }
}

int vnc_ra2_transport::send_all(const void *data, size_t length, const std::atomic<int> *cancel,
                                int stall_ms) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (length > 0) {
        const size_t n = std::min(length, kMaxFrame);
        std::memcpy(out_ + 2, p, n);
        if (!send_.seal(out_, out_ + 2, n, out_ + 2 + n)) {
            send_error_ = 0;
            return -1;
        }
        const int r = inner_->send_all(out_, 2 + n + kTagBytes, cancel, stall_ms);
        vnc_wipe(out_ + 2, n);
        if (r) {
            send_error_ = inner_->send_error();
            return r;
        }
        p += n;
        length -= n;
    }
    return 0;
}

void vnc_ra2_transport::error_text(int code, char *buf, size_t size) const {
    if (code == kBadTag) {
        std::snprintf(buf, size,
                      "an RSA-AES frame from the server failed its integrity check (altered "
                      "or out of step)");
        return;
    }
    if (inner_)
        inner_->error_text(code, buf, size);
    else if (size)
        buf[0] = '\0';
}
