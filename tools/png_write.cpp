#include "png_write.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#ifdef QV_PNG_ZLIB
#include <zlib.h>

#include <vector>
#else
#include <libdeflate.h>
#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>
#endif

namespace qv_tool {
namespace {

// Closes f; true when everything written reached the file (buffered data
// only meets a full disk or a lost device here). Otherwise the file goes.
bool finish_file(std::FILE *f, const char *path, long *bytes, std::string *why) {
    bool ok = std::fflush(f) == 0 && !std::ferror(f);
    int error = errno;
    *bytes = std::ftell(f);
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        *why = std::strerror(error);
        std::remove(path);
    }
    return ok;
}

#ifdef QV_PNG_ZLIB

void put_u32(unsigned char *p, unsigned long v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// One chunk: length, type, data, and the CRC of type and data.
bool put_chunk(std::FILE *f, const char type[4], const unsigned char *data, size_t len) {
    unsigned char head[8], tail[4];
    put_u32(head, static_cast<unsigned long>(len));
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, head + 4, 4);
    if (len) crc = crc32(crc, data, static_cast<uInt>(len));
    put_u32(tail, crc);
    return std::fwrite(head, 1, 8, f) == 8 && (len == 0 || std::fwrite(data, 1, len, f) == len) &&
           std::fwrite(tail, 1, 4, f) == 4;
}

unsigned sum_abs(const std::vector<unsigned char> &row) {
    unsigned s = 0;
    for (size_t i = 1; i < row.size(); ++i) s += row[i] < 128 ? row[i] : 256 - row[i];
    return s;
}

// Each row filtered by None, Sub or Up, whichever leaves the smallest sum
// of magnitudes (libpng's own rule of thumb), deflated into IDAT chunks.
bool write_body(std::FILE *f, const unsigned char *rgb, int width, int height, std::string *why) {
    const size_t row_bytes = static_cast<size_t>(width) * 3;
    std::vector<unsigned char> filtered[3], out(64 * 1024);
    for (auto &r : filtered) r.resize(row_bytes + 1);
    z_stream z = {};
    if (deflateInit(&z, Z_DEFAULT_COMPRESSION) != Z_OK) {
        *why = "out of memory";
        return false;
    }
    bool ok = true;
    for (int y = 0; y <= height && ok; ++y) {
        const bool last = y == height;
        const std::vector<unsigned char> *best = nullptr;
        if (!last) {
            const unsigned char *cur = rgb + row_bytes * static_cast<size_t>(y);
            const unsigned char *up = y ? cur - row_bytes : nullptr;
            for (int t = 0; t < 3; ++t) {
                filtered[t][0] = static_cast<unsigned char>(t);
                for (size_t i = 0; i < row_bytes; ++i) {
                    const unsigned char left = i >= 3 ? cur[i - 3] : 0, above = up ? up[i] : 0;
                    filtered[t][i + 1] =
                        static_cast<unsigned char>(cur[i] - (t == 1 ? left : t == 2 ? above : 0));
                }
            }
            best = &filtered[0];
            for (int t = 1; t < 3; ++t)
                if (sum_abs(filtered[t]) < sum_abs(*best)) best = &filtered[t];
            z.next_in = const_cast<Bytef *>(best->data());
            z.avail_in = static_cast<uInt>(best->size());
        }
        // Drain until this row is taken in (or, at the end, the stream ends).
        for (;;) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            const int rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            if (rc == Z_STREAM_ERROR) {
                *why = "deflate failed";
                ok = false;
                break;
            }
            const size_t have = out.size() - z.avail_out;
            if (have && !put_chunk(f, "IDAT", out.data(), have)) {
                *why = std::strerror(errno);
                ok = false;
                break;
            }
            if (last ? rc == Z_STREAM_END : z.avail_in == 0 && z.avail_out != 0) break;
        }
    }
    deflateEnd(&z);
    return ok;
}

}  // namespace

bool write_png(const char *path, const unsigned char *rgb, int width, int height, long *bytes,
               std::string *why) {
    std::FILE *f = std::fopen(path, "wb");
    if (!f) {
        *why = std::strerror(errno);
        return false;
    }
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    unsigned char ihdr[13];
    put_u32(ihdr, static_cast<unsigned long>(width));
    put_u32(ihdr + 4, static_cast<unsigned long>(height));
    ihdr[8] = 8;   // bits per sample
    ihdr[9] = 2;   // RGB
    ihdr[10] = 0;  // deflate
    ihdr[11] = 0;  // adaptive filtering
    ihdr[12] = 0;  // not interlaced
    bool ok = std::fwrite(signature, 1, 8, f) == 8 && put_chunk(f, "IHDR", ihdr, sizeof ihdr);
    if (!ok) *why = std::strerror(errno);
    ok = ok && write_body(f, rgb, width, height, why);
    if (ok && !put_chunk(f, "IEND", nullptr, 0)) {
        *why = std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        std::fclose(f);
        std::remove(path);
        return false;
    }
    return finish_file(f, path, bytes, why);
}

bool write_png_fast(const char *path, const unsigned char *rgb, int width, int height,
                    long *bytes, std::string *why) {
    return write_png(path, rgb, width, height, bytes, why);
}

#else

// The default PNG: rows filtered here, then deflated in one piece by
// libdeflate, several times faster than libpng's zlib at its default level
// for a file a little larger. write_png is libpng's, for --compress best.
constexpr int kFastDeflateLevel = 2;

void put_be32(std::vector<unsigned char> *out, uint32_t v) {
    const unsigned char b[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                                static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    out->insert(out->end(), b, b + 4);
}

void put_chunk(std::vector<unsigned char> *out, const char *kind, const unsigned char *data,
               size_t size) {
    put_be32(out, static_cast<uint32_t>(size));
    const size_t start = out->size();
    out->insert(out->end(), kind, kind + 4);
    if (size) out->insert(out->end(), data, data + size);
    put_be32(out, libdeflate_crc32(0, out->data() + start, size + 4));
}

unsigned char paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<unsigned char>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Filters one row of RGB into dst (filter byte first): Up where the row
// repeats the one above (text on a plain background), Paeth elsewhere
// (photos, gradients). Both look at the row above only through `up`.
void filter_row(const unsigned char *row, const unsigned char *up, size_t bytes,
                unsigned char *dst) {
    if (up && std::memcmp(row, up, bytes) == 0) {
        dst[0] = 2;
        std::memset(dst + 1, 0, bytes);
        return;
    }
    dst[0] = 4;
    unsigned char *out = dst + 1;
    if (!up) {
        for (size_t i = 0; i < 3 && i < bytes; ++i) out[i] = row[i];
        for (size_t i = 3; i < bytes; ++i) out[i] = static_cast<unsigned char>(row[i] - row[i - 3]);
        return;
    }
    for (size_t i = 0; i < 3 && i < bytes; ++i) out[i] = static_cast<unsigned char>(row[i] - up[i]);
    for (size_t i = 3; i < bytes; ++i)
        out[i] = static_cast<unsigned char>(row[i] - paeth(row[i - 3], up[i], up[i - 3]));
}

// The whole file in memory: signature, IHDR, IDAT in pieces of 1 MiB, IEND.
bool encode_png_fast(const unsigned char *rgb, int width, int height,
                     std::vector<unsigned char> *file) {
    const size_t row_bytes = static_cast<size_t>(width) * 3;
    std::vector<unsigned char> filtered((row_bytes + 1) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        const unsigned char *row = rgb + row_bytes * static_cast<size_t>(y);
        filter_row(row, y ? row - row_bytes : nullptr, row_bytes,
                   filtered.data() + (row_bytes + 1) * static_cast<size_t>(y));
    }
    libdeflate_compressor *deflater = libdeflate_alloc_compressor(kFastDeflateLevel);
    if (!deflater) return false;
    std::vector<unsigned char> idat(libdeflate_zlib_compress_bound(deflater, filtered.size()));
    const size_t idat_size = libdeflate_zlib_compress(deflater, filtered.data(), filtered.size(),
                                                      idat.data(), idat.size());
    libdeflate_free_compressor(deflater);
    if (idat_size == 0) return false;

    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    file->assign(signature, signature + 8);
    file->reserve(idat_size + idat_size / 65536 + 64);
    std::vector<unsigned char> header;
    put_be32(&header, static_cast<uint32_t>(width));
    put_be32(&header, static_cast<uint32_t>(height));
    const unsigned char rest[5] = {8, 2, 0, 0, 0};  // 8-bit RGB, deflate, adaptive, no interlace
    header.insert(header.end(), rest, rest + 5);
    put_chunk(file, "IHDR", header.data(), header.size());
    constexpr size_t kIdatPiece = 1 << 20;
    for (size_t at = 0; at < idat_size; at += kIdatPiece)
        put_chunk(file, "IDAT", idat.data() + at, std::min(kIdatPiece, idat_size - at));
    put_chunk(file, "IEND", nullptr, 0);
    return true;
}


// Error handling of libpng: its errors jump back to write_png.
struct png_failure {
    std::jmp_buf jump;
    char text[256];
};

void on_png_error(png_structp png, png_const_charp message) {
    png_failure *failure = static_cast<png_failure *>(png_get_error_ptr(png));
    std::snprintf(failure->text, sizeof failure->text, "%s", message);
    std::longjmp(failure->jump, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

}  // namespace

bool write_png(const char *path, const unsigned char *rgb, int width, int height, long *bytes,
               std::string *why) {
    std::FILE *f = std::fopen(path, "wb");
    if (!f) {
        *why = std::strerror(errno);
        return false;
    }
    png_failure failure;
    failure.text[0] = '\0';
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, on_png_error, on_png_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(png ? &png : nullptr, nullptr);
        std::fclose(f);
        std::remove(path);
        *why = "out of memory";
        return false;
    }
    if (setjmp(failure.jump)) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        std::remove(path);
        *why = failure.text[0] ? failure.text : "PNG encoder failed";
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t row_bytes = static_cast<size_t>(width) * 3;
    for (int y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(rgb + row_bytes * static_cast<size_t>(y)));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);

    return finish_file(f, path, bytes, why);
}

bool write_png_fast(const char *path, const unsigned char *rgb, int width, int height,
                    long *bytes, std::string *why) {
    std::vector<unsigned char> file;
    try {
        if (!encode_png_fast(rgb, width, height, &file)) {
            *why = "out of memory";
            return false;
        }
    } catch (const std::bad_alloc &) {
        *why = "out of memory";
        return false;
    }
    std::FILE *f = std::fopen(path, "wb");
    if (!f) {
        *why = std::strerror(errno);
        return false;
    }
    // A short write leaves the stream's error flag set for finish_file.
    std::fwrite(file.data(), 1, file.size(), f);
    return finish_file(f, path, bytes, why);
}

#endif

}  // namespace qv_tool
