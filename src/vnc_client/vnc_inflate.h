// The inflate stream of a connection's ZRLE data: one deflate stream that
// runs on across every rectangle, each of which ends in a sync flush. ISA-L
// inflates it where the build has it (about twice as fast as zlib on ZRLE
// data), zlib everywhere else; both give the same bytes.
#ifndef QUENVIRA_VNC_INFLATE_H
#define QUENVIRA_VNC_INFLATE_H

#include <cstddef>
#include <cstdint>

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

#endif
