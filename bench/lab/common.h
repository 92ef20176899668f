/* common.h - small helpers shared by the lab's C tools (header only).
 *
 * Recording file format (.rfbrec), written by record.py:
 *   8 bytes  magic "RFBREC1\n"
 *   u32 BE   length L of the ServerInit message
 *   L bytes  ServerInit exactly as the server sent it (24-byte header + name)
 *   rest     every byte the server sent after ServerInit (FramebufferUpdate
 *            messages, in the client pixel format below), up to the close.
 *
 * Pixel format of every recording (what the client library always asks for):
 *   32 bpp, depth 24, little-endian, true colour, max 255/255/255,
 *   shifts red 16 / green 8 / blue 0  -> bytes in memory: B, G, R, X.
 *
 * Framebuffer checksum used by every tool: 64-bit FNV-1a over the bytes
 * B, G, R of each pixel (the fourth byte is skipped), rows top to bottom,
 * pixels left to right.
 */
#ifndef PERF_COMMON_H
#define PERF_COMMON_H

#define _GNU_SOURCE
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

/* Whole reads and writes on a socket; -1 on an error or the end of stream. */
static inline int read_exact(int fd, void *buf, size_t n)
{
    uint8_t *p = (uint8_t *)buf;
    while (n) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

static inline int write_all(int fd, const void *buf, size_t n)
{
    const uint8_t *p = (const uint8_t *)buf;
    while (n) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

static inline double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* CPU time of the whole process (all threads), user and system. */
static inline void cpu_s(double *user, double *sys)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    *user = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec * 1e-6;
    *sys = (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec * 1e-6;
}

#define FNV64_BASIS 0xcbf29ce484222325ULL
#define FNV64_PRIME 0x100000001b3ULL

/* FNV-1a over B,G,R of each 32-bit pixel; stride in bytes. */
static inline uint64_t fb_fnv(const uint8_t *px, int w, int h, int stride)
{
    uint64_t hsh = FNV64_BASIS;
    for (int y = 0; y < h; y++) {
        const uint8_t *row = px + (size_t)y * (size_t)stride;
        for (int x = 0; x < w; x++) {
            hsh ^= row[4 * x + 0]; hsh *= FNV64_PRIME;
            hsh ^= row[4 * x + 1]; hsh *= FNV64_PRIME;
            hsh ^= row[4 * x + 2]; hsh *= FNV64_PRIME;
        }
    }
    return hsh;
}

/* Write the framebuffer as raw B,G,R,X rows (stride = w*4, no header). */
static inline int fb_dump(const char *path, const uint8_t *px, int w, int h, int stride)
{
    FILE *f = fopen(path, "wb");
    if (!f) return -1;
    for (int y = 0; y < h; y++) {
        if (fwrite(px + (size_t)y * (size_t)stride, 4, (size_t)w, f) != (size_t)w) {
            fclose(f);
            return -1;
        }
    }
    return fclose(f);
}

static inline uint16_t rd16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }
static inline uint32_t rd32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
static inline void wr16(uint8_t *p, uint16_t v) { p[0] = (uint8_t)(v >> 8); p[1] = (uint8_t)v; }
static inline void wr32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24); p[1] = (uint8_t)(v >> 16); p[2] = (uint8_t)(v >> 8); p[3] = (uint8_t)v;
}

/* Whole file in memory (malloc'ed). */
static inline uint8_t *load_file(const char *path, size_t *len)
{
    FILE *f = fopen(path, "rb");
    if (!f) return NULL;
    if (fseek(f, 0, SEEK_END) != 0) { fclose(f); return NULL; }
    long n = ftell(f);
    if (n < 0) { fclose(f); return NULL; }
    rewind(f);
    uint8_t *buf = (uint8_t *)malloc((size_t)n + 1);
    if (!buf) { fclose(f); return NULL; }
    if (fread(buf, 1, (size_t)n, f) != (size_t)n) { free(buf); fclose(f); return NULL; }
    fclose(f);
    *len = (size_t)n;
    return buf;
}

typedef struct {
    uint8_t *file;          /* whole file */
    size_t file_len;
    const uint8_t *serverinit;
    size_t serverinit_len;
    const uint8_t *stream;  /* server -> client bytes after ServerInit */
    size_t stream_len;
    int width, height;
} recording_t;

static inline int rec_load(const char *path, recording_t *r)
{
    memset(r, 0, sizeof *r);
    r->file = load_file(path, &r->file_len);
    if (!r->file) { fprintf(stderr, "cannot read %s: %s\n", path, strerror(errno)); return -1; }
    if (r->file_len < 12 || memcmp(r->file, "RFBREC1\n", 8) != 0) {
        fprintf(stderr, "%s: not an RFBREC1 recording\n", path);
        return -1;
    }
    r->serverinit_len = rd32(r->file + 8);
    if (r->serverinit_len < 24 || 12 + r->serverinit_len > r->file_len) {
        fprintf(stderr, "%s: bad ServerInit length\n", path);
        return -1;
    }
    r->serverinit = r->file + 12;
    r->stream = r->serverinit + r->serverinit_len;
    r->stream_len = r->file_len - 12 - r->serverinit_len;
    r->width = rd16(r->serverinit);
    r->height = rd16(r->serverinit + 2);
    return 0;
}

/* The client set-up messages the library sends after ServerInit. */
static const uint8_t LIB_SET_PIXEL_FORMAT[20] = {
    0, 0, 0, 0,
    32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0
};
static const int32_t LIB_ENCODINGS[6] = {16, 5, 2, 1, 0, -223};

/* Parse "16,5,2,1,0,-223" into out[]; returns count or -1. */
static inline int parse_int_list(const char *s, int32_t *out, int max)
{
    int n = 0;
    while (*s) {
        char *end;
        long v = strtol(s, &end, 10);
        if (end == s || n >= max) return -1;
        out[n++] = (int32_t)v;
        s = end;
        if (*s == ',') s++;
        else if (*s) return -1;
    }
    return n;
}

#endif
