// What RSA-AES's frames cost the client: the same replay of Raw updates
// from a scripted server, once in the clear (None) and once in RA2 and
// RA2_256 frames, sealed by the server before the clock starts so that only
// the client's receive, check and decrypt differ. Prints MB/s and the
// process's CPU seconds per GB for each.
//   bench_ra2_throughput [UPDATES]   (default 100 updates of 1024 x 768)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "quenvira_vnc.h"
#include "scheme_peers.h"
#include "scripted_server.h"
#include "vnc_crypto.h"

namespace {

constexpr int kWidth = 1024, kHeight = 768;

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

ByteVec replay(int updates) {
    ByteVec one = {0, 0, 0, 1, 0, 0, 0, 0, kWidth >> 8, kWidth & 255, kHeight >> 8, kHeight & 255, 0, 0, 0, 0};
    one.resize(16 + size_t{kWidth} * kHeight * 4);
    for (size_t i = 16; i < one.size(); ++i) one[i] = static_cast<uint8_t>(i * 7);
    ByteVec all;
    all.reserve(one.size() * updates);
    for (int i = 0; i < updates; ++i) all.insert(all.end(), one.begin(), one.end());
    return all;
}

struct Result {
    double seconds, cpu;
};

// Writes the stream and times until the client has every update.
Result run(const char *security, uint8_t type, const ByteVec &stream, int updates) {
    ScriptedServer s;
    auto log = std::make_shared<PeerLog>();
    std::atomic<bool> go{false};
    std::chrono::steady_clock::time_point start;
    double cpu0 = 0;
    auto write = [&](ScriptedServer::Peer &peer, ServerFrames *frames, std::string &why) {
        const ByteVec wire = frames ? frames->seal(stream) : stream;
        cpu0 = cpu_seconds();
        start = std::chrono::steady_clock::now();
        go = true;
        if (!peer.write(wire)) return why = "write failed", false;
        ByteVec rest;
        while (frames ? frames->read(peer, 1, rest, why) : peer.read(rest, 1, 30000)) {
        }
        why.clear();
        return true;
    };
    if (type == 1) {
        s.send("RFB 003.008\n").read(12).send(Bytes{1, 1}).read(1).send(Bytes().u32(0)).read(1);
        Bytes init;
        init.u16(kWidth).u16(kHeight).raw({32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0}).u32(1).str("b");
        s.send(init).read(20).read(4 + 4 * 6).read(10);
        s.run([&](ScriptedServer::Peer &p, std::string &why) { return write(p, nullptr, why); });
    } else {
        Ra2Options o;
        o.type = type;
        o.want_password = "pw";
        o.subtype = 2;
        o.width = kWidth;
        o.height = kHeight;
        o.after_setup = write;
        s.send("RFB 003.008\n").read(12).send(Bytes{1, type}).read(1);
        s.run(ra2_server(o, log));
    }
    s.start();
    vnc_client_t *c = vnc_create();
    vnc_set_option(c, "security", security);
    if (vnc_connect(c, "127.0.0.1", s.port(), "pw") != 0) {
        char why[256] = {0};
        vnc_get_end_reason(c, why, sizeof why);
        std::fprintf(stderr, "%s: connect failed: %s\n", security, why);
        std::exit(1);
    }
    while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    while (vnc_get_update_count(c) < static_cast<unsigned>(updates))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    Result r{std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), cpu_seconds() - cpu0};
    vnc_disconnect(c);
    vnc_destroy(c);
    return r;
}

}  // namespace

int main(int argc, char **argv) {
    const int updates = argc > 1 ? std::atoi(argv[1]) : 100;
    vnc_crypto_init();
    const ByteVec stream = replay(updates);
    const double mb = stream.size() / 1e6;
    std::printf("%d Raw updates of %d x %d, %.0f MB\n", updates, kWidth, kHeight, mb);
    for (int round = 0; round < 2; ++round) {
        const struct {
            const char *name;
            uint8_t type;
        } kRuns[] = {{"none", 1}, {"ra2", 5}, {"ra2-256", 129}};
        for (const auto &k : kRuns) {
            const Result r = run(k.name, k.type, stream, updates);
            std::printf("  %-8s %7.0f MB/s  %5.2f CPU s/GB\n", k.name, mb / r.seconds, r.cpu / (mb / 1000));
        }
    }
    return 0;
}
