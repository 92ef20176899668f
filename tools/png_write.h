// An 8-bit RGB PNG from memory: through libpng on Linux, through zlib (its
// deflate and CRC) on Windows, where no libpng is at hand and the tool must
// need no DLL beside the library's.
#ifndef QV_PNG_WRITE_H
#define QV_PNG_WRITE_H

#include <string>

namespace qv_tool {

// Writes rgb (width * height * 3 bytes) to path. On failure the reason goes
// to *why and no partial file is left behind; *bytes is the file's size.
bool write_png(const char *path, const unsigned char *rgb, int width, int height, long *bytes,
               std::string *why);
// The same picture written quickly, a little larger (Linux: libdeflate at a
// low level over rows filtered here; Windows: as write_png).
bool write_png_fast(const char *path, const unsigned char *rgb, int width, int height,
                    long *bytes, std::string *why);

}  // namespace qv_tool

#endif
