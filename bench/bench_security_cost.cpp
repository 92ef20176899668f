// The CPU a connection costs per update with each security type, against
// one running server: connects with each type in turn for SECONDS, and
// prints the process's CPU time (all threads) per update handed over.
//   bench_security_cost HOST PORT SECONDS TYPE[,OPTION=VALUE...]...
// e.g. bench_security_cost 127.0.0.1 5901 10 none x509none,tls-ca-file=ca.pem
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "quenvira_vnc.h"

namespace {
double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char **argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s HOST PORT SECONDS TYPE[,OPTION=VALUE...]...\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const int seconds = std::atoi(argv[3]);
    const char *password = std::getenv("VNC_PASSWORD");
    for (int i = 4; i < argc; ++i) {
        vnc_client_t *c = vnc_create();
        std::string spec = argv[i];
        const std::string type = spec.substr(0, spec.find(','));
        vnc_set_option(c, "security", type.c_str());
        for (size_t at = spec.find(','); at != std::string::npos;) {
            const size_t next = spec.find(',', at + 1);
            const std::string kv = spec.substr(at + 1, next == std::string::npos ? next : next - at - 1);
            const size_t eq = kv.find('=');
            vnc_set_option(c, kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str());
            at = next;
        }
        if (vnc_connect(c, argv[1], port, password)) {
            std::fprintf(stderr, "%s: %s\n", type.c_str(), vnc_last_error());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));  // past the first full picture
        const unsigned u0 = vnc_get_update_count(c);
        const double t0 = cpu_seconds();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double cpu = cpu_seconds() - t0;
        const unsigned updates = vnc_get_update_count(c) - u0;
        std::printf("%-10s updates %6u  cpu %6.3f s (%4.1f %% of a core)  per update %7.1f us\n",
                    type.c_str(), updates, cpu, 100 * cpu / seconds,
                    updates ? cpu * 1e6 / updates : 0.0);
        vnc_destroy(c);
    }
    return 0;
}
