// How long host calls take while a server trickles an update's payload: the
// host's calls must never wait for the network. Prints the slowest and the
// 99th-percentile call of vnc_get_dirty_rect and vnc_lock_framebuffer.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "quenvira_vnc.h"
#include "scripted_server.h"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

void report(const char *what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return;
    std::printf("%-22s calls %6zu  median %.1f us  p99 %.1f us  worst %.3f ms\n", what, v.size(),
                v[v.size() / 2] * 1000, v[v.size() * 99 / 100] * 1000, v.back());
}

}  // namespace

int main(int argc, char **argv) {
    // A 640 x 480 Raw rectangle (1.2 MB) sent in 4 KiB pieces 10 ms apart:
    // about 3 s of trickle, then one more quick update.
    const int w = 640, h = 480;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const size_t piece = static_cast<size_t>(w) * h * 4 / static_cast<size_t>(seconds * 100);
    Bytes payload;
    for (int i = 0; i < w * h; ++i) payload.pixel(0xFF000000u | static_cast<uint32_t>(i));
    ScriptedServer s;
    s.handshake(w, h).send(Bytes().u8(0).u8(0).u16(1).rect(0, 0, w, h, 0));
    const std::vector<uint8_t> &p = payload.vec();
    for (size_t at = 0; at < p.size(); at += piece) {
        const size_t end = std::min(p.size(), at + piece);
        s.send(Bytes().raw({p.begin() + at, p.begin() + end})).pause(10);
    }
    s.read(10);
    s.start();

    vnc_client_t *c = vnc_create();
    if (vnc_connect(c, "127.0.0.1", s.port(), nullptr) != 0) {
        std::fprintf(stderr, "connect: %s\n", vnc_last_error());
        return 1;
    }
    std::vector<double> dirty, lock;
    int shown = 0;
    const auto start = clock_type::now();
    while (!s.wait_done(0) && ms_since(start) < seconds * 1000 + 5000) {
        int x, y, rw, rh, stride, fw, fh;
        void *px;
        auto t0 = clock_type::now();
        shown += vnc_get_dirty_rect(c, &x, &y, &rw, &rh);
        dirty.push_back(ms_since(t0));
        t0 = clock_type::now();
        vnc_lock_framebuffer(c, &px, &stride, &fw, &fh);
        vnc_unlock_framebuffer(c);
        lock.push_back(ms_since(t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("trickled %zu bytes over %.1f s; dirty rectangles seen while it lasted: %d\n",
                p.size(), ms_since(start) / 1000, shown);
    report("vnc_get_dirty_rect", dirty);
    report("vnc_lock_framebuffer", lock);
    vnc_destroy(c);
    return 0;
}
