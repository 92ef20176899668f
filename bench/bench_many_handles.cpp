// Many handles on one server, for bench/many_handles.sh: connects N handles,
// then every 200 ms drains each one's dirty rectangle, as a host that only
// notes what changed. Once a second it prints one JSON line: the process's
// RSS and CPU seconds so far, and the updates all handles have counted, so
// the script can take the cost of a phase as differences.
//   bench_many_handles HOST PORT HANDLES SECONDS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "quenvira_vnc.h"

namespace {

long rss_kib() {
    long kib = -1;
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
        std::fclose(f);
    }
    return kib;
}

double cpu_s() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_many_handles HOST PORT HANDLES SECONDS\n");
        return 2;
    }
    const char *host = argv[1];
    const int port = std::atoi(argv[2]), count = std::atoi(argv[3]), seconds = std::atoi(argv[4]);
    std::vector<vnc_client_t *> handles;
    for (int i = 0; i < count; ++i) {
        vnc_client_t *c = vnc_create();
        // Xvnc busy sending many first pictures at once sometimes drops a
        // greeting: a few tries, a little apart.
        int tries = 0;
        while (c && vnc_connect(c, host, port, nullptr) != 0 && ++tries < 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (!c || tries == 5) {
            std::fprintf(stderr, "handle %d: %s\n", i, vnc_last_error());
            return 1;
        }
        handles.push_back(c);
    }
    const auto start = std::chrono::steady_clock::now();
    auto next_line = start;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_line) {
            long updates = 0, connected = 0;
            for (vnc_client_t *c : handles) {
                updates += vnc_get_update_count(c);
                connected += vnc_get_status(c) == VNC_STATUS_CONNECTED;
            }
            std::printf("{\"t\":%.1f,\"rss_kib\":%ld,\"cpu_s\":%.3f,\"updates\":%ld,\"connected\":%ld}\n",
                        std::chrono::duration<double>(now - start).count(), rss_kib(), cpu_s(),
                        updates, connected);
            std::fflush(stdout);
            next_line += std::chrono::seconds(1);
            if (now - start >= std::chrono::seconds(seconds)) break;
        }
        int x, y, w, h;
        for (vnc_client_t *c : handles) vnc_get_dirty_rect(c, &x, &y, &w, &h);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (vnc_client_t *c : handles) vnc_destroy(c);
    return 0;
}
