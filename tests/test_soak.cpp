// Soak: many connect/disconnect cycles of one handle, alternately against the
// test server and a scripted server, while a second thread sends input the
// whole time (so input also meets connections ending and starting). Every
// connect must succeed and show an update, nothing may leak, and the counts
// of descriptors and threads must be back where they were after the first
// cycle. QV_SOAK_CYCLES sets the count (500 by default; scripts/soak runs a
// long one).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "test_util.h"
#include "vnc_alloc.h"
#include "vnc_client_internal.h"
#include "vnc_mock_server.h"

#ifdef __linux__
#include <dirent.h>
#endif

namespace {

// Entries of a /proc directory (less . and ..), or -1 where there is none.
long count_entries(const char *dir) {
#ifdef __linux__
    DIR *d = opendir(dir);
    if (!d) return -1;
    long n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
#else
    (void)dir;
    return -1;
#endif
}
// Less the descriptor that reading the directory holds.
long open_fds() { return count_entries("/proc/self/fd") - 1; }
long threads() { return count_entries("/proc/self/task"); }

Bytes small_update() {
    Bytes b;
    b.u8(0).u8(0).u16(1).rect(0, 0, 16, 16, 0).fill(16 * 16 * 4, 0x42);
    return b;
}

}  // namespace

TEST(Soak, ConnectDisconnectCyclesWithInputFromAnotherThread) {
    if (threads() < 0) GTEST_SKIP() << "descriptor and thread counts are read from /proc";
    const char *env = std::getenv("QV_SOAK_CYCLES");
    const int cycles = env ? std::atoi(env) : 500;
    ASSERT_GT(cycles, 1);

    const long live_blocks = vnc_alloc_live_blocks_for_testing();
    ASSERT_EQ(0, vnc_test_server_start(0, nullptr));
    const int mock_port = mock_server_bound_port();
    vnc_client_t *c = vnc_create();
    ASSERT_NE(nullptr, c);

    std::atomic<bool> stop{false};
    std::atomic<long> input_sent{0}, input_refused{0};
    std::thread input([&] {
        for (int i = 0; !stop.load(); ++i) {
            const int r = i % 2 ? vnc_send_pointer(c, i & 0xFF, 7, 0) : vnc_send_key(c, 'a', i & 2);
            ++(r == 0 ? input_sent : input_refused);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    long failures = 0, fd_base = -1, thread_base = -1, fd_end = -1, thread_end = -1;
    std::string first_failure;
    auto fail = [&](int cycle, const std::string &what) {
        if (failures++ == 0) first_failure = "cycle " + std::to_string(cycle) + ": " + what;
    };
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < cycles; ++i) {
        std::unique_ptr<ScriptedServer> scripted;
        int port = mock_port;
        if (i % 2) {
            scripted.reset(new ScriptedServer);
            // Text after the picture: the worker is still reading it when
            // every fourth cycle reconnects without a disconnect, with the
            // option that governs it changed (a race for TSan to see).
            scripted->handshake(16, 16, "test", i % 4 == 1 ? 7 : 6)
                .send(small_update())
                .send(Bytes().u8(3).fill(3, 0).u32(1).str("t"))
                .gate();
            scripted->start();
            port = scripted->port();
        }
        if (vnc_connect(c, "127.0.0.1", port, nullptr) != 0) {
            fail(i, std::string("connect: ") + vnc_last_error());
        } else if (!wait_until([&] {
                       int x, y, w, h;
                       return vnc_get_dirty_rect(c, &x, &y, &w, &h) == 1;
                   })) {
            fail(i, "no update");
        }
        vnc_set_option(c, "clipboard", i % 4 == 0 ? "utf8" : "latin1");
        if (i % 4 == 1) {
            // Left connected: the next connect ends it.
        } else if (vnc_disconnect(c) != 0 || vnc_get_status(c) != VNC_STATUS_DISCONNECTED) {
            fail(i, "disconnect");
        }
        if (scripted) scripted->open_gate();
        scripted.reset();
        // Quiet points: the test server has dropped the client once it
        // serves again; counted after the first cycle and at every 100th.
        if (i == 0 || i % 100 == 99 || i == cycles - 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            fd_end = open_fds();
            thread_end = threads();
            if (i == 0) {
                fd_base = fd_end;
                thread_base = thread_end;
            }
            EXPECT_EQ(fd_base, fd_end) << "descriptors after cycle " << i;
            EXPECT_EQ(thread_base, thread_end) << "threads after cycle " << i;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    stop = true;
    input.join();
    vnc_destroy(c);
    vnc_test_server_stop();

    EXPECT_EQ(0, failures) << first_failure;
    EXPECT_GT(input_sent.load(), 0) << "input never reached a connection";
    EXPECT_EQ(live_blocks, vnc_alloc_live_blocks_for_testing()) << "blocks left allocated";
    std::printf("soak: %d cycles in %.1f s, %ld failures; fds %ld -> %ld, threads %ld -> %ld; "
                "input %ld sent, %ld refused\n",
                cycles, seconds, failures, fd_base, fd_end, thread_base, thread_end,
                input_sent.load(), input_refused.load());
}
