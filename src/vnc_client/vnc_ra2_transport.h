// RSA-AES's frame layer: each piece of the stream travels as a 2-byte
// length, the bytes under AES-EAX and a 16-byte tag, with a little-endian
// message counter per direction as the nonce (from 0, never reset). Sits
// over the transport it replaces; a frame that fails its tag ends the
// connection.
#ifndef QUENVIRA_VNC_RA2_TRANSPORT_H
#define QUENVIRA_VNC_RA2_TRANSPORT_H

#include <cstdint>

#include "vnc_crypto.h"
#include "vnc_transport.h"

class vnc_ra2_transport : public vnc_transport {
public:
    // The largest frame either way (its length field is 16 bits).
    static constexpr size_t kMaxFrame = 0xFFFF;
    static constexpr size_t kTagBytes = 16;
    static constexpr size_t kFrameBytes = 2 + kMaxFrame + kTagBytes;
    // recv_error() of a frame whose tag does not match.
    static constexpr int kBadTag = -1000;

    explicit vnc_ra2_transport(vnc_transport_ptr inner);
    ~vnc_ra2_transport() override;
    // False when the buffers or the ciphers could not be had. Keys are 16
    // bytes (AES-128) or 32 (AES-256).
    bool start(const uint8_t *send_key, const uint8_t *recv_key, size_t key_len);
    // Bytes the handshake's buffer had read ahead from below: the first
    // frames, taken before anything more is received. False when too many.
    bool push_received(const uint8_t *data, size_t n);
    // Whether received bytes wait that are not yet handed over (RA2ne
    // takes the layer away after the credentials: nothing may be left).
    bool holds_received() const { return ahead_len_ > ahead_pos_ || raw_len_ || plain_len_ > plain_pos_; }
    // The transport underneath, given back (RA2ne).
    vnc_transport_ptr release_inner() { return std::move(inner_); }

    size_t pending() const override {
        return plain_len_ - plain_pos_ + (ahead_len_ - ahead_pos_) + (inner_ ? inner_->pending() : 0);
    }
    bool receive_blocks() const override { return false; }
    long recv_some(void *buffer, size_t max) override;
    int send_all(const void *data, size_t length, const std::atomic<int> *cancel,
                 int stall_ms) override;
    void end_stream(bool reader_active) override {
        if (inner_) inner_->end_stream(reader_active);
    }
    int recv_error() const override { return recv_error_; }
    int send_error() const override { return send_error_; }
    void error_text(int code, char *buf, size_t size) const override;

private:
    // Bytes still missing from the frame at raw_.
    size_t frame_missing() const;
    long hand_over(void *buffer, size_t max);
    vnc_transport_ptr inner_;
    vnc_eax send_, recv_;
    uint8_t *raw_ = nullptr;  // one frame being received
    size_t raw_len_ = 0;
    uint8_t *plain_ = nullptr;  // its bytes, decrypted, not yet handed over
    size_t plain_len_ = 0, plain_pos_ = 0;
    uint8_t *ahead_ = nullptr;  // read ahead by the handshake
    size_t ahead_len_ = 0, ahead_pos_ = 0;
    uint8_t *out_ = nullptr;  // one frame being sent
    int recv_error_ = 0;
    int send_error_ = 0;
};

#endif
