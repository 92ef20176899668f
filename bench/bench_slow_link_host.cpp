// A viewer's loop without a window, for bench/slow_link.sh: connects, waits
// on the library's events and, on each update, reads the dirty rectangle
// under the lock as a viewer copying it to the screen would. Prints one JSON
// line: updates seen, the library's own count, bytes read, and the seconds.
//   bench_slow_link_host HOST PORT SECONDS [--continuous] [--dump FILE]
// --continuous asks for option continuous-updates=on (reported, not fatal,
// when the library refuses it). --dump writes the picture (BGRX rows, width
// * 4 bytes each) to FILE on SIGUSR1 (else at the end), for a comparison
// with the server's screen taken at the same moment. SIGTERM ends the run.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quenvira_vnc.h"

namespace {

using clock_type = std::chrono::steady_clock;

volatile std::sig_atomic_t dump_asked = 0;

volatile std::sig_atomic_t stop_asked = 0;

void on_usr1(int) { dump_asked = 1; }
void on_term(int) { stop_asked = 1; }

void dump_picture(vnc_client_t *c, const char *path) {
    void *px;
    int stride, fw, fh;
    if (vnc_lock_framebuffer(c, &px, &stride, &fw, &fh) == 0) {
        if (FILE *f = std::fopen(path, "wb")) {
            for (int row = 0; row < fh; ++row)
                std::fwrite(static_cast<const uint8_t *>(px) + row * stride, 4,
                            static_cast<size_t>(fw), f);
            std::fclose(f);
        }
    }
    vnc_unlock_framebuffer(c);
}

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: bench_slow_link_host HOST PORT SECONDS [--continuous] [--dump FILE]\n");
        return 2;
    }
    const char *host = argv[1];
    const int port = std::atoi(argv[2]);
    const double seconds = std::atof(argv[3]);
    bool continuous = false;
    const char *dump = nullptr;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--continuous") == 0) continuous = true;
        else if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc) dump = argv[++i];
    }

    std::signal(SIGUSR1, on_usr1);
    std::signal(SIGTERM, on_term);  // ends the run early, still with its report
    vnc_client_t *c = vnc_create();
    if (!c) {
        std::fprintf(stderr, "create: %s\n", vnc_last_error());
        return 1;
    }
    std::string continuous_result = "not asked";
    if (continuous) {
        if (vnc_set_option(c, "continuous-updates", "on") == 0) {
            continuous_result = "on";
        } else {
            continuous_result = "refused";
            std::fprintf(stderr, "continuous-updates refused (%s); going on without it\n",
                         vnc_last_error());
        }
    }
    const auto t_connect = clock_type::now();
    if (vnc_connect(c, host, port, nullptr) != 0) {
        std::fprintf(stderr, "connect: %s\n", vnc_last_error());
        vnc_destroy(c);
        return 1;
    }

    // The count starts at the first update, so the handshake's round trips
    // are not charged to the rate.
    long updates = 0;
    long rects = 0;
    unsigned long long pixels_read = 0;
    uint32_t sum = 0;  // keeps the reads from being optimised away
    bool started = false;
    clock_type::time_point t0 = clock_type::now();
    double elapsed = 0;
    while (vnc_get_status(c) == VNC_STATUS_CONNECTED && !stop_asked) {
        if (started) {
            elapsed = seconds_since(t0);
            if (elapsed >= seconds) break;
        }
        if (dump && dump_asked == 1) {
            dump_picture(c, dump);
            dump_asked = 2;
        }
        // Short waits, so that a dump asked for is taken within 20 ms.
        const int left_ms = started ? static_cast<int>((seconds - elapsed) * 1000) + 1 : 20;
        const int ev = vnc_wait_event(c, left_ms < 20 ? left_ms : 20);
        if (ev <= 0 || !(ev & VNC_EVENT_UPDATE)) continue;
        void *px;
        int stride, fw, fh, x, y, w, h;
        if (vnc_lock_framebuffer(c, &px, &stride, &fw, &fh) == 0 &&
            vnc_get_dirty_rect(c, &x, &y, &w, &h)) {
            const uint8_t *base = static_cast<const uint8_t *>(px);
            for (int row = y; row < y + h; ++row) {
                const uint32_t *p = reinterpret_cast<const uint32_t *>(base + row * stride) + x;
                for (int col = 0; col < w; ++col) sum += p[col];
            }
            pixels_read += static_cast<unsigned long long>(w) * h;
            ++rects;
        }
        vnc_unlock_framebuffer(c);
        if (!started) {
            started = true;
            t0 = clock_type::now();
        } else {
            ++updates;
        }
    }
    elapsed = started ? seconds_since(t0) : 0;
    const int status = vnc_get_status(c);
    const unsigned lib_count = vnc_get_update_count(c);

    if (dump && !dump_asked) dump_picture(c, dump);
    char reason[256] = "";
    vnc_get_end_reason(c, reason, sizeof reason);
    vnc_disconnect(c);
    const double total = seconds_since(t_connect);
    std::printf(
        "{\"update_events\": %ld, \"rects_read\": %ld, \"library_update_count\": %u, "
        "\"seconds\": %.3f, \"seconds_with_connect\": %.3f, \"pixels_read\": %llu, "
        "\"continuous_updates\": \"%s\", \"still_connected\": %s, \"checksum\": %u}\n",
        updates, rects, lib_count, elapsed, total, pixels_read, continuous_result.c_str(),
        status == VNC_STATUS_CONNECTED ? "true" : "false", sum);
    if (status != VNC_STATUS_CONNECTED) std::fprintf(stderr, "ended: %s\n", reason);
    vnc_destroy(c);
    return status == VNC_STATUS_CONNECTED ? 0 : 1;
}
