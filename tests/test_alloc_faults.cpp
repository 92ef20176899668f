// Allocation failures: every allocation point the library passes (heap
// blocks, zlib's allocations, thread starts) is made to fail in turn, over a
// whole client session and over the test server's life. Each run must end
// cleanly (a documented result, no crash) and leave nothing allocated;
// under AddressSanitizer a leak anywhere also fails the process.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "encoders.h"
#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "test_util.h"
#include "vnc_alloc.h"
#include "vnc_client_internal.h"
#include "vnc_mock_server.h"

namespace {

constexpr int kW = 32, kH = 24;
constexpr int kStepMs = 1000;  // every scripted read: a failed run must not cost much

// Runs `run` with the n-th allocation point failing, for n = 1, 2, ... until a
// run passes all its points without the failure being used. Returns the
// number of points covered.
long walk(const std::function<void()> &run) {
    for (long n = 1;; ++n) {
        SCOPED_TRACE("failing allocation point " + std::to_string(n));
        const long live = vnc_alloc_live_blocks_for_testing();
        vnc_alloc_fail_nth_for_testing(n);
        run();
        const bool fired = vnc_alloc_fault_fired_for_testing();
        vnc_alloc_fail_nth_for_testing(0);
        EXPECT_EQ(live, vnc_alloc_live_blocks_for_testing()) << "blocks left allocated";
        if (!fired || ::testing::Test::HasFailure()) return n - 1;
    }
}

enc::image picture(uint32_t seed) {
    enc::image img(kW, kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) img.at(x, y) = (x / 4 * 0x10305 + y / 3 * 0x20101) ^ seed;
    return img;
}

Bytes update(int32_t encoding, const enc::bytes &payload, int w = kW, int h = kH) {
    return Bytes().u8(0).u8(0).u16(1).rect(0, 0, w, h, encoding).raw(payload);
}

// The server's side of one session: the handshake, then one message at a
// time, each answered by the worker's next update request before the next
// is sent, then the host's input.
void script_session(ScriptedServer &s) {
    s.send("RFB 003.008\n").read(12, kStepMs).send(Bytes{1, 1}).read(1, kStepMs);
    s.send(Bytes().u32(0)).read(1, kStepMs);
    s.send(Bytes().u16(kW).u16(kH).raw({32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0})
               .u32(4).str("walk"));
    s.read(20, kStepMs).read(28, kStepMs).read(10, kStepMs);
    enc::zrle_stream zrle;
    const Bytes updates[] = {
        update(0, enc::raw(picture(1))),
        update(1, enc::copyrect(0, 0)),
        update(2, enc::rre_encode(picture(2))),
        update(5, enc::hextile_encode(picture(3))),
        update(16, zrle.rect(enc::zrle_encode(picture(4)))),
        update(16, zrle.rect(enc::zrle_encode(picture(5)))),
    };
    for (const Bytes &u : updates) s.send(u).read(10, kStepMs);
    // ServerCutText has no answer: the update after it shows it was handled.
    s.send(Bytes().u8(3).fill(3, 0).u32(5).str("clips"));
    // Large enough that the new arrays are mapped rather than taken from the heap.
    s.send(update(-223, {}, 1024, 1024)).read(10, kStepMs);
    s.read(6, kStepMs).read(8, kStepMs).read(8 + 3, kStepMs);
}
constexpr size_t kStepsBeforeInput = 10 + 6 * 2 + 3;

void client_session() {
    ScriptedServer s;
    script_session(s);
    s.start();
    vnc_client_t *c = vnc_create();
    if (!c) {
        EXPECT_STREQ("Out of memory creating VNC client", vnc_last_error());
        return;
    }
    if (vnc_connect(c, "127.0.0.1", s.port(), nullptr) != 0) {
        // The one connect step that needs memory of its own: the reader.
        EXPECT_STREQ("Could not connect to VNC server", vnc_last_error());
        EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(c));
    } else if (c->worker_started) {
        // Every message handled, or the connection given up: both are clean.
        wait_until([&] {
            return s.steps_done() >= kStepsBeforeInput || s.wait_done(0) ||
                   vnc_get_status(c) != VNC_STATUS_CONNECTED;
        }, 15000);
        const int status = vnc_get_status(c);
        EXPECT_TRUE(status == VNC_STATUS_CONNECTED || status == VNC_STATUS_DISCONNECTED);
        if (status == VNC_STATUS_CONNECTED) {
            EXPECT_EQ(0, vnc_send_pointer(c, 1, 2, 1));
            EXPECT_EQ(0, vnc_send_key(c, 0xFF0D, 1));
            EXPECT_EQ(0, vnc_send_client_cut_text(c, "abc", 3));
            EXPECT_TRUE(s.wait_done());
        }
    }
    EXPECT_EQ(0, vnc_disconnect(c));
    vnc_destroy(c);
}

// A client of the test server made of raw socket calls (no allocation of
// the library's): handshake, a cut text the server allocates for, one
// update. false when the server did not serve it.
bool raw_client(int port) {
    vnc_socket_t s;
    if (vnc_sock_connect_tcp("127.0.0.1", port, &s, 2000) != 0) return false;
    uint8_t buf[4200];
    bool ok = vnc_sock_read_exact(s, buf, 12, kStepMs) == 0 &&
              vnc_sock_write_exact(s, "RFB 003.008\n", 12) == 0 &&
              vnc_sock_read_exact(s, buf, 2, kStepMs) == 0 &&
              vnc_sock_write_exact(s, "\x01", 1) == 0 &&
              vnc_sock_read_exact(s, buf, 4, kStepMs) == 0 &&
              vnc_sock_write_exact(s, "\x01", 1) == 0 &&
              vnc_sock_read_exact(s, buf, 24 + 15, kStepMs) == 0;
    const uint8_t cut[11] = {6, 0, 0, 0, 0, 0, 0, 3, 'a', 'b', 'c'};
    const uint8_t request[10] = {3, 0, 0, 0, 0, 0, 0, 8, 0, 8};
    ok = ok && vnc_sock_write_exact(s, cut, sizeof cut) == 0 &&
         vnc_sock_write_exact(s, request, sizeof request) == 0 &&
         vnc_sock_read_exact(s, buf, 4, kStepMs) == 0 && buf[0] == 0 && buf[3] == 2;
    vnc_sock_close(s);
    return ok;
}

}  // namespace

TEST(AllocFaults, ClientSession) {
    const long points = walk(client_session);
    EXPECT_GT(points, 0);
    if (!HasFailure()) std::printf("client session: %ld allocation points, all clean\n", points);
}

TEST(AllocFaults, TestServerStartServeStop) {
    const long points = walk([] {
        if (vnc_test_server_start(0, nullptr) == 0) {
            EXPECT_TRUE(raw_client(mock_server_bound_port()));
        } else {
            EXPECT_EQ(-1, mock_server_bound_port()) << "a failed start leaves nothing running";
        }
        vnc_test_server_stop();
    });
    EXPECT_GT(points, 0);
    if (!HasFailure()) std::printf("test server: %ld allocation points, all clean\n", points);
}
