#include "png_write.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#ifdef QV_PNG_ZLIB
#include <zlib.h>

#include <vector>
#else
#include <png.h>
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

#else

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

#endif

}  // namespace qv_tool
