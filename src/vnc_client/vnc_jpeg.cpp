#include "vnc_jpeg.h"

#include "vnc_client_internal.h"

#if defined(QV_HAVE_JPEG)

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

vnc_jpeg_thread::vnc_jpeg_thread() {}
vnc_jpeg_thread::~vnc_jpeg_thread() {}

#elif defined(QV_HAVE_WIC_JPEG)

#include <algorithm>
#include <new>

#include <objbase.h>
#include <wincodec.h>

// Windows decodes through WIC (windowscodecs.dll, part of every Windows
// since Vista), reached through COM, so the DLL still imports system DLLs
// only. COM belongs to a thread: a worker initialises it, and makes the WIC
// factory, at its first JPEG and lets both go when it ends.

namespace {

// What the current thread holds, when it runs inside a vnc_jpeg_thread.
struct wic_thread {
    bool com_owed = false;  // CoUninitialize due at the end
    bool tried = false;
    IWICImagingFactory *factory = nullptr;

    IWICImagingFactory *get() {
        if (tried) return factory;
        tried = true;
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
        // A thread the host set up as a single-threaded apartment keeps it;
        // WIC's factory works in either.
        if (SUCCEEDED(hr)) com_owed = true;
        else if (hr != RPC_E_CHANGED_MODE) return nullptr;
        void *f = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IWICImagingFactory, &f)))
            factory = static_cast<IWICImagingFactory *>(f);
        return factory;
    }
    void release() {
        if (factory) factory->Release();
        factory = nullptr;
        if (com_owed) CoUninitialize();
        com_owed = false;
        tried = false;
    }
};

thread_local wic_thread *t_wic = nullptr;

template <typename T> struct com_ptr {
    T *p = nullptr;
    ~com_ptr() {
        if (p) p->Release();
    }
    T **out() { return &p; }
    T *operator->() const { return p; }
};

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// What libjpeg would refuse at its header, refused before WIC sees the data
// (WIC decodes progressive pictures and other frame types too): the frame
// must be sequential Huffman (SOF0 or SOF1), 8 bits, grey or three
// components, and exactly w x h.
bool header_acceptable(const uint8_t *d, size_t len, int w, int h) {
    if (len < 4 || d[0] != 0xFF || d[1] != 0xD8) return false;
    size_t i = 2;
    while (i + 4 <= len) {
        if (d[i] != 0xFF) return false;
        const uint8_t m = d[i + 1];
        if (m == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {  // no length
            i += 2;
            continue;
        }
        if (m == 0xD8 || m == 0xD9 || m == 0xDA) return false;  // no frame before the scan
        const size_t seg = be16(d + i + 2);
        if (seg < 2 || i + 2 + seg > len) return false;
        const bool sof = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
        if (sof) {
            if (m != 0xC0 && m != 0xC1) return false;
            if (seg < 8) return false;
            const uint8_t *f = d + i + 4;
            const int components = f[5];
            return f[0] == 8 && be16(f + 1) == h && be16(f + 3) == w &&
                   (components == 1 || components == 3);
        }
        i += 2 + seg;
    }
    return false;
}

int decode(IWICImagingFactory *wic, vnc_decode_ctx &ctx, const uint8_t *data, size_t len, int x,
           int y, int w, int h, uint32_t *row) {
    if (len > 0xFFFFFFFFu || !header_acceptable(data, len, w, h)) return kDecodeRefused;
    // Rows above or below the framebuffer are not decoded into anything.
    const int top = static_cast<int>(std::clamp<int64_t>(-static_cast<int64_t>(y), 0, h));
    const int visible =
        static_cast<int>(std::clamp<int64_t>(static_cast<int64_t>(ctx.fb_height) - y, 0, h));
    com_ptr<IWICStream> stream;
    com_ptr<IWICBitmapDecoder> decoder;
    com_ptr<IWICBitmapFrameDecode> frame;
    com_ptr<IWICFormatConverter> bgra;
    UINT fw = 0, fh = 0;
    if (FAILED(wic->CreateStream(stream.out())) ||
        FAILED(stream->InitializeFromMemory(const_cast<BYTE *>(data), static_cast<DWORD>(len))) ||
        FAILED(wic->CreateDecoderFromStream(stream.p, &GUID_VendorMicrosoft,
                                            WICDecodeMetadataCacheOnDemand, decoder.out())))
        return kDecodeRefused;
    GUID format;
    if (FAILED(decoder->GetContainerFormat(&format)) || format != GUID_ContainerFormatJpeg ||
        FAILED(decoder->GetFrame(0, frame.out())) || FAILED(frame->GetSize(&fw, &fh)) ||
        fw != static_cast<UINT>(w) || fh != static_cast<UINT>(h) ||
        FAILED(wic->CreateFormatConverter(bgra.out())) ||
        FAILED(bgra->Initialize(frame.p, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone,
                                nullptr, 0.0, WICBitmapPaletteTypeCustom)))
        return kDecodeRefused;
    if (top >= visible) return kDecodeOk;
    ctx.drawn = true;
    // B, G, R and 0xFF (the picture is opaque) in memory: the framebuffer's
    // pixels. Rows inside it in one call, straight into place; a rectangle
    // that leaves it sideways row by row through row.
    const UINT row_bytes = static_cast<UINT>(w) * 4;
    if (x >= 0 && static_cast<int64_t>(x) + w <= ctx.fb_width) {
        const WICRect r = {0, top, w, visible - top};
        const size_t stride = static_cast<size_t>(ctx.fb_width) * 4;
        const size_t size = stride * static_cast<size_t>(visible - top - 1) + row_bytes;
        if (stride > 0xFFFFFFFFu || size > 0xFFFFFFFFu) return kDecodeRefused;
        BYTE *dst = reinterpret_cast<BYTE *>(
            ctx.pixels + static_cast<size_t>(y + top) * static_cast<size_t>(ctx.fb_width) + x);
        if (FAILED(bgra->CopyPixels(&r, static_cast<UINT>(stride), static_cast<UINT>(size), dst)))
            return kDecodeRefused;
    } else {
        for (int r = top; r < visible; ++r) {
            const WICRect one = {0, r, w, 1};
            if (FAILED(bgra->CopyPixels(&one, row_bytes, row_bytes, reinterpret_cast<BYTE *>(row))))
                return kDecodeRefused;
            vnc_draw::put_row(ctx, x, y + r, w, row);
        }
    }
    ctx.rows_done = visible;
    return kDecodeOk;
}

}  // namespace

bool vnc_jpeg_available() { return true; }

vnc_jpeg_thread::vnc_jpeg_thread() {
    if (!t_wic) {
        t_wic = new (std::nothrow) wic_thread;
        owner_ = t_wic != nullptr;
    }
}

vnc_jpeg_thread::~vnc_jpeg_thread() {
    if (!owner_) return;
    t_wic->release();
    delete t_wic;
    t_wic = nullptr;
}

int vnc_jpeg_decode(vnc_decode_ctx &ctx, const uint8_t *data, size_t len, int x, int y, int w,
                    int h, vnc_buffer &row) {
    if (!ctx.pixels) return kDecodeOk;  // nothing to draw into: consumed is all
    if (w <= 0 || h <= 0 || !row.reserve(static_cast<size_t>(w) * 4)) return kDecodeRefused;
    uint32_t *scratch = reinterpret_cast<uint32_t *>(row.data);
    if (t_wic) {
        IWICImagingFactory *wic = t_wic->get();
        return wic ? decode(wic, ctx, data, len, x, y, w, h, scratch) : kDecodeRefused;
    }
    // A thread of no worker (a test calling a decoder): COM for this call.
    wic_thread once;
    IWICImagingFactory *wic = once.get();
    const int rc = wic ? decode(wic, ctx, data, len, x, y, w, h, scratch) : kDecodeRefused;
    once.release();
    return rc;
}

#else

vnc_jpeg_thread::vnc_jpeg_thread() {}
vnc_jpeg_thread::~vnc_jpeg_thread() {}

bool vnc_jpeg_available() { return false; }

int vnc_jpeg_decode(vnc_decode_ctx &, const uint8_t *, size_t, int, int, int, int, vnc_buffer &) {
    return kDecodeRefused;
}

#endif
