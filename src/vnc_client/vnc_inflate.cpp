#include "vnc_inflate.h"

#include <algorithm>
#include <cstring>

#include "vnc_alloc.h"

#ifdef QV_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

namespace {

// A zlib header without a preset dictionary: CM 8, a window of at most 32
// KiB, FCHECK right. Its window size in bits, or 0 when it is not one.
int plain_zlib_header(const uint8_t *data, uint32_t len) {
    if (len < 3) return 0;
    const unsigned cmf = data[0], flg = data[1];
    const bool plain = (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf << 8 | flg) % 31 == 0 &&
                       !(flg & 0x20);
    return plain ? static_cast<int>(cmf >> 4) + 8 : 0;
}

// After a call that neither failed nor ended the stream: 0 when the input
// ran out with everything flushed (space left over), -1 when it made no
// progress at all (never spin), 1 when more may come.
int progress(uint32_t in_before, uint32_t in_left, uint32_t out_left, size_t produced) {
    if (out_left != 0 && in_left == 0) return 0;
    if (in_left == in_before && !produced) return -1;
    return 1;
}

// Both backends' states name their pointers alike.
template <class Stream>
void detach_stream(Stream *s) {
    s->next_in = nullptr;
    s->avail_in = 0;
    s->next_out = nullptr;
    s->avail_out = 0;
}

}  // namespace

#ifdef QV_HAVE_ISAL

namespace {
inflate_state *isal(void *p) { return static_cast<inflate_state *>(p); }
}  // namespace

const char *vnc_inflate::backend() { return "isa-l"; }

vnc_inflate::vnc_inflate() : state_(vnc_malloc(sizeof(inflate_state))) {
    if (!state_) return;
    isal_inflate_init(isal(state_));
}

vnc_inflate::~vnc_inflate() { vnc_free(state_); }

void vnc_inflate::feed(const uint8_t *data, uint32_t len) {
    inflate_state *s = isal(state_);
    if (!started_) {
        started_ = true;
        if (plain_zlib_header(data, len)) {
            s->crc_flag = ISAL_DEFLATE;
            data += 2;
            len -= 2;
        } else {
            s->crc_flag = ISAL_ZLIB;  // let it parse (and refuse) whatever this is
        }
    }
    s->next_in = const_cast<uint8_t *>(data);
    s->avail_in = len;
}

int vnc_inflate::run(uint8_t *out, size_t space, size_t *produced) {
    inflate_state *s = isal(state_);
    *produced = 0;
    if (s->block_state == ISAL_BLOCK_FINISH) return 0;  // a final block ended the stream
    const uint32_t in_before = s->avail_in;
    s->next_out = out;
    s->avail_out = static_cast<uint32_t>(space);
    const int r = isal_inflate(s);
    *produced = space - s->avail_out;
    if (r != ISAL_DECOMP_OK && r != ISAL_END_INPUT && r != ISAL_OUT_OVERFLOW) return -1;
    if (s->block_state == ISAL_BLOCK_FINISH) return *produced ? 1 : 0;
    return progress(in_before, s->avail_in, s->avail_out, *produced);
}

void vnc_inflate::detach() { detach_stream(isal(state_)); }

#else  // zlib

namespace {
z_stream *zs(void *p) { return static_cast<z_stream *>(p); }
}  // namespace

const char *vnc_inflate::backend() { return "zlib"; }

vnc_inflate::vnc_inflate() : state_(vnc_calloc(1, sizeof(z_stream))) {
    if (!state_) return;
    z_stream *z = zs(state_);
    z->zalloc = vnc_zalloc;
    z->zfree = vnc_zfree;
    if (inflateInit(z) != Z_OK) {
        vnc_free(state_);
        state_ = nullptr;
    }
}

vnc_inflate::~vnc_inflate() {
    if (!state_) return;
    inflateEnd(zs(state_));
    vnc_free(state_);
}

void vnc_inflate::feed(const uint8_t *data, uint32_t len) {
    z_stream *z = zs(state_);
    if (!started_) {
        started_ = true;
        // Raw deflate from here on: the same stream without the checksum.
        if (const int bits = plain_zlib_header(data, len)) {
            if (inflateReset2(z, -bits) == Z_OK) {
                data += 2;
                len -= 2;
            }
        }
    }
    z->next_in = const_cast<Bytef *>(data);
    z->avail_in = len;
}

int vnc_inflate::run(uint8_t *out, size_t space, size_t *produced) {
    z_stream *z = zs(state_);
    const uInt in_before = z->avail_in;
    z->next_out = out;
    z->avail_out = static_cast<uInt>(space);
    const int r = inflate(z, Z_SYNC_FLUSH);
    *produced = space - z->avail_out;
    if (r == Z_STREAM_END) return *produced ? 1 : 0;
    // Z_BUF_ERROR: no progress possible, i.e. input and pending output are
    // both used up.
    if (r == Z_BUF_ERROR) return 0;
    if (r != Z_OK) return -1;
    return progress(in_before, z->avail_in, z->avail_out, *produced);
}

void vnc_inflate::detach() { detach_stream(zs(state_)); }

#endif

int vnc_inflate_window::step(uint8_t *out, size_t space, size_t *produced) {
    *produced = 0;
    if (running_ && !running_->load()) return -1;
    return z_.run(out, space, produced);
}

bool vnc_inflate_window::refill(size_t n) {
    const size_t have = left();
    if (cur != window_) std::memmove(window_, cur, have);
    cur = window_;
    end = window_ + have;
    while (left() < n) {
        // Output past what the rectangle can hold is not the decoder's to read.
        if (done_ || produced_ >= bound_) return false;
        const size_t space =
            static_cast<size_t>(std::min<uint64_t>(kSize - left(), bound_ - produced_));
        size_t produced;
        const int r = step(window_ + left(), space, &produced);
        end += produced;
        produced_ += produced;
        if (r <= 0) finish(r);
    }
    return true;
}

bool vnc_inflate_window::drain() {
    while (!done_) {
        size_t produced;
        const int r = step(window_, kSize, &produced);
        if (r <= 0) finish(r);
    }
    cur = end = window_;
    return !failed_ && !(running_ && !running_->load());
}
