/* inflate_limit - the zlib inflate limit of a recording: walk the recorded
 * stream, collect the zlib payloads of all ZRLE rectangles (in order; they
 * form one zlib stream), then inflate them back to back with zlib alone, one
 * inflate(Z_SYNC_FLUSH) call per rectangle into a buffer of w*h*4+65536
 * bytes (as the library does), no tile decoding.
 *
 *   inflate_limit --file REC.rfbrec [--runs 7]
 *
 * One untimed warm-up pass, then --runs timed passes.  Prints one JSON line:
 * rects, compressed and decompressed bytes, median and min seconds of one
 * full pass, decompressed MB/s at the median.
 */
#include "common.h"
#include "rfbwalk.h"

#ifdef USE_ISAL
/* Built as inflate_limit_isal: Intel ISA-L's inflater (raw deflate past the
 * zlib stream's two-byte header, one isal_inflate call per rectangle with the
 * history kept in between). */
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

typedef struct {
    const uint8_t *p;
    size_t len;
    int w, h;
} zrect;

typedef struct {
    zrect *v;
    size_t n, cap;
} zlist;

static void collect(void *ctx, int x, int y, int w, int h, int32_t enc, const uint8_t *payload, size_t plen)
{
    (void)x; (void)y;
    zlist *l = (zlist *)ctx;
    if (enc != 16 || plen < 4) return;
    if (l->n == l->cap) {
        l->cap = l->cap ? 2 * l->cap : 1024;
        l->v = (zrect *)realloc(l->v, l->cap * sizeof *l->v);
    }
    l->v[l->n].p = payload + 4;
    l->v[l->n].len = plen - 4;
    l->v[l->n].w = w;
    l->v[l->n].h = h;
    l->n++;
}

static int cmp_d(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char **argv)
{
    const char *file = NULL;
    int runs = 7;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--file") && i + 1 < argc) file = argv[++i];
        else if (!strcmp(argv[i], "--runs") && i + 1 < argc) runs = atoi(argv[++i]);
        else { fprintf(stderr, "usage: inflate_limit --file REC.rfbrec [--runs N]\n"); return 2; }
    }
    if (!file || runs < 1) { fprintf(stderr, "usage: inflate_limit --file REC.rfbrec [--runs N]\n"); return 2; }
    recording_t rec;
    if (rec_load(file, &rec) < 0) return 1;
    zlist l = {0};
    size_t off = 0;
    while (off < rec.stream_len) {
        rw_info inf;
        int r = rw_message(rec.stream + off, rec.stream_len - off, &inf, collect, &l);
        if (r != RW_OK) { fprintf(stderr, "walk failed at %zu\n", off); return 1; }
        off += inf.len;
    }
    if (l.n == 0) {
        printf("{\"ok\":true,\"zrle_rects\":0}\n");
        return 0;
    }
    size_t maxout = 0, comp = 0;
    for (size_t i = 0; i < l.n; i++) {
        size_t o = (size_t)l.v[i].w * l.v[i].h * 4 + 65536;
        if (o > maxout) maxout = o;
        comp += l.v[i].len;
    }
    uint8_t *out = (uint8_t *)malloc(maxout);
    memset(out, 0, maxout);
    double *t = (double *)malloc(sizeof(double) * (size_t)runs);
    uint64_t decomp = 0;
#ifdef USE_ISAL
    for (int r = -1; r < runs; r++) { /* r = -1: untimed warm-up */
        struct inflate_state st;
        isal_inflate_init(&st);
        st.crc_flag = ISAL_DEFLATE;
        double t0 = now_s();
        uint64_t total = 0;
        for (size_t i = 0; i < l.n; i++) {
            size_t cap = (size_t)l.v[i].w * l.v[i].h * 4 + 65536;
            size_t skip = i == 0 ? 2 : 0; /* the zlib header */
            st.next_in = (uint8_t *)l.v[i].p + skip;
            st.avail_in = (uint32_t)(l.v[i].len - skip);
            st.next_out = out;
            st.avail_out = (uint32_t)cap;
            if (isal_inflate(&st) != ISAL_DECOMP_OK) {
                fprintf(stderr, "isal_inflate error at rect %zu\n", i);
                return 1;
            }
            if (st.avail_in != 0) fprintf(stderr, "warning: rect %zu left %u input bytes\n", i, st.avail_in);
            total += cap - st.avail_out;
        }
        if (r >= 0) t[r] = now_s() - t0;
        decomp = total;
    }
#else
    for (int r = -1; r < runs; r++) { /* r = -1: untimed warm-up */
        z_stream zs;
        memset(&zs, 0, sizeof zs);
        double t0 = now_s();
        if (inflateInit(&zs) != Z_OK) { fprintf(stderr, "inflateInit failed\n"); return 1; }
        uint64_t total = 0;
        for (size_t i = 0; i < l.n; i++) {
            size_t cap = (size_t)l.v[i].w * l.v[i].h * 4 + 65536;
            zs.next_in = (Bytef *)l.v[i].p;
            zs.avail_in = (uInt)l.v[i].len;
            zs.next_out = out;
            zs.avail_out = (uInt)cap;
            int zr = inflate(&zs, Z_SYNC_FLUSH);
            if (zr != Z_OK && zr != Z_STREAM_END) {
                fprintf(stderr, "inflate error %d at rect %zu\n", zr, i);
                return 1;
            }
            if (zs.avail_in != 0) fprintf(stderr, "warning: rect %zu left %u input bytes\n", i, zs.avail_in);
            total += cap - zs.avail_out;
        }
        inflateEnd(&zs);
        if (r >= 0) t[r] = now_s() - t0;
        decomp = total;
    }
#endif
    qsort(t, (size_t)runs, sizeof *t, cmp_d);
    double med = t[runs / 2];
    printf("{\"ok\":true,\"inflater\":\"%s\",\"zrle_rects\":%zu,\"compressed_bytes\":%zu,\"decompressed_bytes\":%llu,"
           "\"runs\":%d,\"median_s\":%.6f,\"min_s\":%.6f,\"max_s\":%.6f,\"decompressed_MBps\":%.1f,"
           "\"compressed_MBps\":%.1f}\n",
#ifdef USE_ISAL
           "isa-l",
#else
           "zlib " ZLIB_VERSION,
#endif
           l.n, comp, (unsigned long long)decomp, runs, med, t[0], t[runs - 1], decomp / med / 1e6,
           comp / med / 1e6);
    free(out);
    free(t);
    free(l.v);
    free(rec.file);
    return 0;
}
