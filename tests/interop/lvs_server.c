/* A small VNC server on libvncserver for the interop tests: it serves a
 * deterministic picture on 127.0.0.1 and changes it on command, and dumps
 * its own framebuffer as the ground truth.
 *
 *   lvs_server PORT WIDTH HEIGHT COMMAND_FIFO [--password PW] [--version 3.N]
 *
 * Commands, one a line on the fifo, done in order:
 *   change                 paint a new patch (another place each time)
 *   copy SX SY W H DX DY   move an area within the screen, sent as CopyRect
 *                          to a client that takes it
 *   resize W H             a new framebuffer with the picture for that size
 *   dump PATH              the framebuffer as a binary PPM; written beside
 *                          PATH and renamed, so PATH appears whole
 * A client leaving gets its statistics logged (the encodings sent). */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <rfb/rfb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int changes;

/* Gradients on the left, flat blocks and a checkerboard on the right, so
 * that every encoder meets both many colours and solid runs. */
static void pixel(int x, int y, int w, int h, unsigned char *p) {
    if (x < w / 2) {
        p[0] = (unsigned char)(x * 255 / (w / 2 > 1 ? w / 2 - 1 : 1));
        p[1] = (unsigned char)(y * 255 / (h > 1 ? h - 1 : 1));
        p[2] = (unsigned char)((x ^ y) & 0xff);
    } else if (y < h / 3) {
        static const unsigned char flat[3][3] = {{200, 30, 30}, {30, 160, 40}, {20, 40, 220}};
        const int k = (x - w / 2) * 3 / (w - w / 2);
        memcpy(p, flat[k], 3);
    } else if (y < 2 * h / 3) {
        const int on = ((x / 8) + (y / 8)) & 1;
        p[0] = p[1] = p[2] = on ? 240 : 16;
    } else {
        p[0] = 90;
        p[1] = 90;
        p[2] = (unsigned char)(60 + (y % 16) * 10);
    }
    p[3] = 0;
}

static char *make_picture(int w, int h) {
    char *fb = malloc((size_t)w * h * 4);
    if (!fb) return NULL;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) pixel(x, y, w, h, (unsigned char *)fb + ((size_t)y * w + x) * 4);
    return fb;
}

/* A 64 x 40 patch, somewhere else each time: stripes, so that RRE has
 * rectangles to send, and a small ramp. */
static void change(rfbScreenInfoPtr s) {
    const int pw = s->width < 64 ? s->width : 64, ph = s->height < 40 ? s->height : 40;
    const int n = ++changes;
    const int x0 = (n * 37) % (s->width - pw + 1), y0 = (n * 23) % (s->height - ph + 1);
    for (int y = 0; y < ph; ++y)
        for (int x = 0; x < pw; ++x) {
            unsigned char *p = (unsigned char *)s->frameBuffer + ((size_t)(y0 + y) * s->width + x0 + x) * 4;
            const int ramp = x < 8 && y < 8;
            p[0] = (unsigned char)(ramp ? x * 30 : n * 50);
            p[1] = (y / 4) & 1 ? 255 : (unsigned char)(n * 20);
            p[2] = (unsigned char)(ramp ? y * 30 : 40);
        }
    rfbMarkRectAsModified(s, x0, y0, x0 + pw, y0 + ph);
}

static int dump(rfbScreenInfoPtr s, const char *path) {
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s.part", path);
    FILE *f = fopen(tmp, "wb");
    if (!f) return -1;
    fprintf(f, "P6\n%d %d\n255\n", s->width, s->height);
    for (int i = 0; i < s->width * s->height; ++i) fwrite(s->frameBuffer + (size_t)i * 4, 1, 3, f);
    if (fclose(f) != 0) return -1;
    return rename(tmp, path);
}

static void command(rfbScreenInfoPtr s, char *line) {
    int a[6];
    char path[4000];
    if (strcmp(line, "change") == 0) {
        change(s);
    } else if (sscanf(line, "copy %d %d %d %d %d %d", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]) == 6) {
        /* The destination rectangle, and how far it lies from its source. */
        rfbDoCopyRect(s, a[4], a[5], a[4] + a[2], a[5] + a[3], a[4] - a[0], a[5] - a[1]);
    } else if (sscanf(line, "resize %d %d", &a[0], &a[1]) == 2 && a[0] > 0 && a[1] > 0) {
        char *old = s->frameBuffer, *fb = make_picture(a[0], a[1]);
        if (!fb) return;
        rfbNewFramebuffer(s, fb, a[0], a[1], 8, 3, 4);
        free(old);
    } else if (sscanf(line, "dump %3999s", path) == 1) {
        if (dump(s, path) != 0) rfbErr("dump %s failed: %s\n", path, strerror(errno));
    } else {
        rfbErr("unknown command: %s\n", line);
    }
}

static void client_gone(rfbClientPtr cl) { rfbPrintStats(cl); }

static enum rfbNewClientAction new_client(rfbClientPtr cl) {
    cl->clientGoneHook = client_gone;
    return RFB_CLIENT_ACCEPT;
}

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: %s PORT WIDTH HEIGHT COMMAND_FIFO [--password PW] [--version 3.N]\n",
                argv[0]);
        return 2;
    }
    const int port = atoi(argv[1]), w = atoi(argv[2]), h = atoi(argv[3]);
    static char *passwords[2];
    int minor = 8;
    for (int i = 5; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--password") == 0) passwords[0] = argv[i + 1];
        else if (strcmp(argv[i], "--version") == 0 && strncmp(argv[i + 1], "3.", 2) == 0)
            minor = atoi(argv[i + 1] + 2);
    }
    /* Read and write: the fifo then never reports end of file between writers. */
    const int cmd = open(argv[4], O_RDWR | O_NONBLOCK);
    if (cmd < 0 || w <= 0 || h <= 0) {
        fprintf(stderr, "bad size or fifo %s: %s\n", argv[4], strerror(errno));
        return 2;
    }

    int no_args = 1;
    rfbScreenInfoPtr s = rfbGetScreen(&no_args, argv, w, h, 8, 3, 4);
    if (!s) return 1;
    s->frameBuffer = make_picture(w, h);
    s->desktopName = "quenvira-lvs";
    s->port = port;
    s->ipv6port = 0;
    s->listenInterface = htonl(INADDR_LOOPBACK);
    s->autoPort = FALSE;
    s->alwaysShared = TRUE;
    s->protocolMajorVersion = 3;
    s->protocolMinorVersion = minor;
    s->newClientHook = new_client;
    /* A pointer with an empty mask, so that nothing is painted into the
     * picture that the dumps lack (no cursor at all crashes CopyRect). */
    s->cursor = rfbMakeXCursor(1, 1, " ", " ");
    if (passwords[0]) {
        s->authPasswdData = passwords;
        s->passwordCheck = rfbCheckPasswordByList;
    }
    rfbInitServer(s);
    if (s->listenSock < 0) {
        fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    fprintf(stderr, "listening on 127.0.0.1:%d, %dx%d, RFB 3.%d, %s\n", port, w, h, minor,
            passwords[0] ? "VNC authentication" : "no authentication");

    char buf[8192];
    size_t used = 0;
    for (;;) {
        rfbProcessEvents(s, 5000);
        const ssize_t n = read(cmd, buf + used, sizeof buf - 1 - used);
        if (n <= 0) continue;
        used += (size_t)n;
        char *start = buf, *nl;
        while ((nl = memchr(start, '\n', used - (size_t)(start - buf))) != NULL) {
            *nl = '\0';
            command(s, start);
            start = nl + 1;
        }
        used -= (size_t)(start - buf);
        memmove(buf, start, used);
        if (used == sizeof buf - 1) used = 0; /* a line too long for anything: dropped */
    }
}
