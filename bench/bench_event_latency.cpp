// How long vnc_wait_event takes to return once an update has been handed
// over: a scripted server sends small updates a few milliseconds apart and
// a host thread waits for each. Prints the median, 99th percentile and
// worst of the time from the hand-over to the return.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "vnc_client_internal.h"

int main(int argc, char **argv) {
    const int updates = argc > 1 ? std::atoi(argv[1]) : 500;
    ScriptedServer s;
    s.handshake(64, 64);
    for (int i = 0; i < updates; ++i)
        s.send(Bytes().u8(0).u8(0).u16(1).rect(i % 64, 0, 1, 1, 0).pixel(0xFF000000u | i)).read(10).pause(3);
    s.start();
    vnc_client_t *c = vnc_create();
    if (vnc_connect(c, "127.0.0.1", s.port(), nullptr) != 0) {
        std::fprintf(stderr, "connect: %s\n", vnc_last_error());
        return 1;
    }
    std::vector<double> us;
    while (static_cast<int>(us.size()) < updates) {
        const int bits = vnc_wait_event(c, 2000);
        const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
        if (bits == 0) break;
        if (bits & VNC_EVENT_UPDATE) us.push_back(static_cast<double>(now - c->last_event_ns.load()) / 1000);
    }
    vnc_destroy(c);
    s.wait_done();
    std::sort(us.begin(), us.end());
    if (us.empty()) return 1;
    std::printf("vnc_wait_event after a hand-over: %zu updates  median %.1f us  p99 %.1f us  worst %.1f us\n",
                us.size(), us[us.size() / 2], us[us.size() * 99 / 100], us.back());
    return 0;
}
