#include "vnc_jpeg.h"

#include "vnc_client_internal.h"

#ifdef QV_HAVE_JPEG

#include <algorithm>
#include <csetjmp>
#include <cstdio>  // jpeglib.h wants FILE declared

#include <jpeglib.h>

namespace {

// What libjpeg may allocate beyond its per-row buffers (only progressive or
// buffered images need more, and those are refused anyway).
constexpr long kJpegMemoryLimit = 32L * 1024 * 1024;

struct jpeg_failure {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

[[noreturn]] void on_error(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<jpeg_failure *>(cinfo->err)->jump, 1);
}
// Warnings (corrupt data that decodes on) and their texts are not ours to print.
void on_message(j_common_ptr, int) {}
void on_output(j_common_ptr) {}

// No C++ object with a destructor lives in here: errors leave by longjmp.
int decode(vnc_decode_ctx &ctx, const uint8_t *data, size_t len, int x, int y, int w, int h,
           uint32_t *row) {
    jpeg_decompress_struct cinfo;
    jpeg_failure err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = on_error;
    err.mgr.emit_message = on_message;
    err.mgr.output_message = on_output;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return kDecodeRefused;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = kJpegMemoryLimit;
    jpeg_mem_src(&cinfo, const_cast<unsigned char *>(data), static_cast<unsigned long>(len));
    // A progressive image holds every coefficient of the picture at once;
    // servers send baseline.
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK ||
        cinfo.image_width != static_cast<JDIMENSION>(w) ||
        cinfo.image_height != static_cast<JDIMENSION>(h) || cinfo.progressive_mode) {
        jpeg_destroy_decompress(&cinfo);
        return kDecodeRefused;
    }
    // B, G, R and 0xFF in memory: the framebuffer's pixels.
    cinfo.out_color_space = JCS_EXT_BGRX;
    jpeg_start_decompress(&cinfo);
    ctx.drawn = ctx.pixels != nullptr;
    // Rows inside the framebuffer are decoded in place, others through row;
    // none past its bottom, so the work follows what can be seen.
    const bool whole_rows = x >= 0 && static_cast<int64_t>(x) + w <= ctx.fb_width;
    const JDIMENSION visible = static_cast<JDIMENSION>(
        std::clamp<int64_t>(static_cast<int64_t>(ctx.fb_height) - y, 0, h));
    while (cinfo.output_scanline < visible) {
        const int r = static_cast<int>(cinfo.output_scanline);
        const int64_t fy = static_cast<int64_t>(y) + r;
        const bool in_place = whole_rows && fy >= 0;
        JSAMPROW dst = reinterpret_cast<JSAMPROW>(
            in_place ? ctx.pixels + static_cast<size_t>(fy) * static_cast<size_t>(ctx.fb_width) + x
                     : row);
        if (jpeg_read_scanlines(&cinfo, &dst, 1) != 1) break;
        if (!in_place) vnc_draw::put_row(ctx, x, static_cast<int>(fy), w, row);
        ctx.rows_done = r + 1;
    }
    const bool complete = cinfo.output_scanline == visible;
    jpeg_destroy_decompress(&cinfo);
    return complete ? kDecodeOk : kDecodeRefused;
}

}  // namespace

bool vnc_jpeg_available() { return true; }

int vnc_jpeg_decode(vnc_decode_ctx &ctx, const uint8_t *data, size_t len, int x, int y, int w,
                    int h, vnc_buffer &row) {
    if (!ctx.pixels) return kDecodeOk;  // nothing to draw into: consumed is all
    if (w <= 0 || h <= 0 || !row.reserve(static_cast<size_t>(w) * 4)) return kDecodeRefused;
    return decode(ctx, data, len, x, y, w, h, reinterpret_cast<uint32_t *>(row.data));
}

#else

bool vnc_jpeg_available() { return false; }

int vnc_jpeg_decode(vnc_decode_ctx &, const uint8_t *, size_t, int, int, int, int, vnc_buffer &) {
    return kDecodeRefused;
}

#endif
