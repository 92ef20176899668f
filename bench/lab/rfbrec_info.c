/* rfbrec_info - walk a recording with the C walker (rfbwalk.h) and print its
 * statistics as one JSON line; ab.py and record.py check them against the
 * recorder's JSON sidecar (two independent parsers).
 *
 *   rfbrec_info REC.rfbrec
 */
#include "common.h"
#include "rfbwalk.h"

#define NENC 11
static const int32_t ENCS[NENC] = {0, 1, 2, 4, 5, 7, 16, -223, -224, -239, -240};

typedef struct {
    uint64_t rects[NENC], pixels[NENC], bytes[NENC];
    uint64_t total_pixels;
    int full_rects;
    int w, h;
} stats;

static void on_rect(void *ctx, int x, int y, int w, int h, int32_t enc, const uint8_t *payload, size_t plen)
{
    (void)payload;
    stats *s = (stats *)ctx;
    for (int i = 0; i < NENC; i++) {
        if (ENCS[i] != enc) continue;
        s->rects[i]++;
        s->bytes[i] += 12 + plen;
        if (enc >= 0) {
            s->pixels[i] += (uint64_t)w * h;
            s->total_pixels += (uint64_t)w * h;
        }
    }
    if (enc >= 0 && x == 0 && y == 0 && w == s->w && h == s->h) s->full_rects++;
}

int main(int argc, char **argv)
{
    if (argc != 2) { fprintf(stderr, "usage: rfbrec_info REC.rfbrec\n"); return 2; }
    recording_t rec;
    if (rec_load(argv[1], &rec) < 0) return 1;
    stats s;
    memset(&s, 0, sizeof s);
    s.w = rec.width;
    s.h = rec.height;
    uint64_t msgs[4] = {0}, max_update = 0;
    size_t off = 0;
    while (off < rec.stream_len) {
        rw_info inf;
        int r = rw_message(rec.stream + off, rec.stream_len - off, &inf, on_rect, &s);
        if (r != RW_OK) {
            printf("{\"ok\":false,\"offset\":%zu,\"error\":\"%s\"}\n", off, r == RW_MORE ? "truncated" : inf.err);
            return 1;
        }
        if (inf.type < 4) msgs[inf.type]++;
        if (inf.type == 0 && inf.len > max_update) max_update = inf.len;
        off += inf.len;
    }
    uint32_t namelen = rd32(rec.serverinit + 20);
    printf("{\"ok\":true,\"width\":%d,\"height\":%d,\"name_len\":%u,\"stream_bytes\":%zu,\"updates\":%llu,"
           "\"colourmap_msgs\":%llu,\"bells\":%llu,\"cut_texts\":%llu,\"largest_update_bytes\":%llu,"
           "\"total_pixels\":%llu,\"full_frame_rects\":%d,\"by_encoding\":{",
           rec.width, rec.height, namelen, rec.stream_len, (unsigned long long)msgs[0],
           (unsigned long long)msgs[1], (unsigned long long)msgs[2], (unsigned long long)msgs[3],
           (unsigned long long)max_update, (unsigned long long)s.total_pixels, s.full_rects);
    int first = 1;
    for (int i = 0; i < NENC; i++) {
        if (!s.rects[i]) continue;
        printf("%s\"%d\":{\"name\":\"%s\",\"rects\":%llu,\"pixels\":%llu,\"bytes\":%llu}", first ? "" : ",", ENCS[i],
               rw_enc_name(ENCS[i]), (unsigned long long)s.rects[i], (unsigned long long)s.pixels[i],
               (unsigned long long)s.bytes[i]);
        first = 0;
    }
    printf("}}\n");
    free(rec.file);
    return 0;
}
