/* A host built outside the project against an installed or packaged
 * library: starts the built-in test server, connects to it and waits for
 * the whole 640 x 480 picture, then presses and releases Return, named
 * by the installed keysym header. Exit status 0 only if all of it went. */
#include <stdio.h>
#include <stdlib.h>

#include <quenvira_vnc.h>
#include <quenvira_vnc_keysyms.h>

#ifdef _WIN32
#include <windows.h>
static void pause_ms(int ms) { Sleep((DWORD)ms); }
#else
#include <time.h>
static void pause_ms(int ms) {
    struct timespec t = {0, ms * 1000000L};
    nanosleep(&t, NULL);
}
#endif

int main(void) {
    int port = 0;
    for (int p = 15900; p < 16100 && !port; ++p) {
        if (vnc_test_server_start(p, NULL) == 0) port = p;
    }
    if (!port) {
        fprintf(stderr, "consumer: no free port for the test server\n");
        return 1;
    }
    vnc_client_t *c = vnc_create();
    if (!c || vnc_connect(c, "127.0.0.1", port, NULL) != 0) {
        fprintf(stderr, "consumer: connect failed: %s\n", vnc_last_error());
        return 1;
    }
    /* The test picture: 640 x 480 with a blue-based gradient at (0,0) and a
     * green square with a red centre at (40,40). Pixels are blue, green,
     * red, fourth byte. */
    int w = 0, h = 0, seen = 0;
    for (int waited = 0; waited < 10000 && !seen; waited += 10) {
        int x, y, dw, dh;
        if (vnc_get_dirty_rect(c, &x, &y, &dw, &dh)) {
            void *pixels;
            int stride;
            if (vnc_lock_framebuffer(c, &pixels, &stride, &w, &h) == 0 && w == 640 && h == 480) {
                const uint8_t *fb = (const uint8_t *)pixels;
                const uint8_t *gradient = fb + 31 * stride + 31 * 4;
                const uint8_t *green = fb + 41 * stride + 41 * 4;
                const uint8_t *red = fb + 50 * stride + 50 * 4;
                seen = gradient[0] == 0xFF && gradient[1] == 248 && gradient[2] == 248 &&
                       green[0] == 0 && green[1] == 0xFF && green[2] == 0 &&
                       red[0] == 0 && red[1] == 0 && red[2] == 0xFF;
            }
            vnc_unlock_framebuffer(c);
        }
        if (!seen) pause_ms(10);
    }
    int keys = seen && vnc_send_key(c, VNC_KEY_Return, 1) == 0 && vnc_send_key(c, VNC_KEY_Return, 0) == 0;
    vnc_destroy(c);
    vnc_test_server_stop();
    if (!seen) {
        fprintf(stderr, "consumer: no test picture within 10 s (framebuffer %dx%d)\n", w, h);
        return 1;
    }
    if (!keys) {
        fprintf(stderr, "consumer: vnc_send_key(VNC_KEY_Return) failed\n");
        return 1;
    }
    printf("consumer: quenvira-vnc %s, test server picture %dx%d\n", vnc_version(), w, h);
    return 0;
}
