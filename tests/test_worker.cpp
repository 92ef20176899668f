// The receive worker against a scripted server: update requests, Raw and
// DesktopSize rectangles, the dirty rectangle, cut text, colour maps, and how
// the worker ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "test_util.h"
#include "vnc_client_internal.h"

namespace {

std::vector<uint8_t> request(int incremental, int w, int h) {
    return {3, static_cast<uint8_t>(incremental), 0, 0, 0, 0, static_cast<uint8_t>(w >> 8),
            static_cast<uint8_t>(w), static_cast<uint8_t>(h >> 8), static_cast<uint8_t>(h)};
}

Bytes update_header(int count) { return Bytes().u8(0).u8(0).u16(count); }

struct Conn {
    vnc_client_t *c = vnc_create();
    ~Conn() { vnc_destroy(c); }

    void connect(ScriptedServer &s) {
        s.start();
        ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", s.port(), nullptr));
    }
    uint32_t pixel(int x, int y) {
        void *px;
        int stride, w, h;
        uint32_t v = 0xDEADBEEF;
        if (vnc_lock_framebuffer(c, &px, &stride, &w, &h) == 0 && x < w && y < h)
            v = static_cast<uint32_t *>(px)[y * (stride / 4) + x];
        vnc_unlock_framebuffer(c);
        return v;
    }
    // Waits for a dirty rectangle and returns it as {x, y, w, h}.
    std::vector<int> dirty(int timeout_ms = 5000) {
        int x, y, w, h;
        if (!wait_until([&] { return vnc_get_dirty_rect(c, &x, &y, &w, &h) == 1; }, timeout_ms))
            return {};
        return {x, y, w, h};
    }
    std::string cut_text() {
        std::lock_guard<std::mutex> g(c->info_lock);
        return c->cut_text ? std::string(c->cut_text, c->cut_text_len) : std::string("(none)");
    }
};

uint32_t px_value(int x, int y) { return 0xFF000000u | static_cast<uint32_t>(x << 8 | y); }

Bytes raw_payload(int x0, int y0, int w, int h) {
    Bytes b;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) b.pixel(px_value(x0 + x, y0 + y));
    return b;
}

}  // namespace

TEST(Worker, RawRectangleIsStoredMarkedAndFollowedByIncrementalRequest) {
    ScriptedServer s;
    s.handshake(40, 30);
    Bytes u = update_header(1).rect(5, 6, 3, 2, 0).raw(raw_payload(5, 6, 3, 2).vec());
    s.send(u).read(10);
    Conn k;
    k.connect(s);
    EXPECT_EQ((std::vector<int>{5, 6, 3, 2}), k.dirty());
    ASSERT_TRUE(s.wait_done());
    ASSERT_TRUE(s.ok()) << s.error();
    EXPECT_EQ(request(0, 40, 30), s.read_at(5)) << "first request is a full one";
    EXPECT_EQ(request(1, 40, 30), s.read_at(6));
    for (int y = 6; y < 8; ++y)
        for (int x = 5; x < 8; ++x) EXPECT_EQ(px_value(x, y), k.pixel(x, y));
    EXPECT_EQ(0u, k.pixel(4, 6));
    EXPECT_EQ(0u, k.pixel(8, 7));
}

TEST(Worker, EmptyUpdateGetsIncrementalRequest) {
    ScriptedServer s;
    s.handshake(10, 10).send(update_header(0)).read(10).send(update_header(0)).read(10);
    Conn k;
    k.connect(s);
    ASSERT_TRUE(s.wait_done());
    ASSERT_TRUE(s.ok()) << s.error();
    EXPECT_EQ(request(1, 10, 10), s.read_at(6));
    EXPECT_EQ(request(1, 10, 10), s.read_at(7));
    int x, y, w, h;
    EXPECT_EQ(0, vnc_get_dirty_rect(k.c, &x, &y, &w, &h));
}

// Two rectangles in one update merge into their bounding box.
TEST(Worker, DirtyRectangleIsBoundingBoxOfUpdate) {
    ScriptedServer s;
    s.handshake(100, 100);
    Bytes u = update_header(2);
    u.rect(1, 2, 1, 1, 0).pixel(1).rect(50, 60, 2, 1, 0).pixel(2).pixel(3);
    s.send(u).read(10);
    Conn k;
    k.connect(s);
    ASSERT_TRUE(s.wait_done());
    EXPECT_EQ((std::vector<int>{1, 2, 51, 59}), k.dirty());
    EXPECT_EQ(3u, k.pixel(51, 60));
}

TEST(Worker, DesktopSizeResizesAndMarksAll) {
    ScriptedServer s;
    s.handshake(20, 10);
    // x and y of the pseudo-rectangle have no effect.
    s.send(update_header(1).rect(7, 9, 300, 200, -223)).read(10);
    s.send(update_header(1).rect(299, 199, 1, 1, 0).pixel(0xFF123456)).read(10);
    Conn k;
    k.connect(s);
    ASSERT_TRUE(s.wait_done());
    ASSERT_TRUE(s.ok()) << s.error();
    int w, h;
    ASSERT_EQ(0, vnc_get_dimensions(k.c, &w, &h));
    EXPECT_EQ(300, w);
    EXPECT_EQ(200, h);
    EXPECT_EQ(request(1, 300, 200), s.read_at(6)) << "requests cover the new size";
    EXPECT_EQ((std::vector<int>{0, 0, 300, 200}), k.dirty());
    EXPECT_EQ(0xFF123456u, k.pixel(299, 199));
    void *px;
    int stride;
    vnc_lock_framebuffer(k.c, &px, &stride, &w, &h);
    EXPECT_EQ(1200, stride);
    vnc_unlock_framebuffer(k.c);
}

// A shrink while a larger dirty rectangle is pending: what the host gets lies
// inside the new framebuffer.
TEST(Worker, DirtyRectangleAfterShrinkLiesInside) {
    ScriptedServer s;
    s.handshake(200, 200);
    Bytes u = update_header(2);
    u.rect(150, 150, 1, 1, 0).pixel(1).rect(0, 0, 50, 40, -223);
    s.send(u).read(10);
    Conn k;
    k.connect(s);
    ASSERT_TRUE(s.wait_done());
    std::vector<int> d = k.dirty();
    ASSERT_EQ(4u, d.size());
    EXPECT_LE(d[0] + d[2], 50);
    EXPECT_LE(d[1] + d[3], 40);
    EXPECT_EQ((std::vector<int>{0, 0, 50, 40}), d);
}

// Raw rectangles reaching past the framebuffer: the visible part is drawn,
// nothing outside is touched, and the stream stays in step.
TEST(Worker, RawOutsideFramebufferIsClippedAndStreamStaysInStep) {
    ScriptedServer s;
    s.handshake(8, 4);
    Bytes u = update_header(3);
    u.rect(6, 2, 4, 3, 0).raw(raw_payload(6, 2, 4, 3).vec());   // partly outside
    u.rect(100, 100, 2, 2, 0).raw(raw_payload(0, 0, 2, 2).vec());  // wholly outside
    u.rect(0, 0, 1, 1, 0).pixel(0xFF0000AA);
    s.send(u).read(10);
    Conn k;
    k.connect(s);
    ASSERT_TRUE(s.wait_done());
    ASSERT_TRUE(s.ok()) << s.error();
    EXPECT_EQ(0xFF0000AAu, k.pixel(0, 0)) << "third rectangle read in step";
    EXPECT_EQ(px_value(6, 2), k.pixel(6, 2));
    EXPECT_EQ(px_value(7, 3), k.pixel(7, 3));
    EXPECT_EQ((std::vector<int>{0, 0, 8, 4}), k.dirty());
}

TEST(Worker, ServerCutTextIsStored) {
    ScriptedServer s;
    s.handshake(4, 4);
    s.send(Bytes().u8(3).fill(3, 0).u32(11).str("hello world")).gate();
    s.send(Bytes().u8(3).fill(3, 0).u32(0)).gate();
    Conn k;
    k.connect(s);
    EXPECT_TRUE(wait_until([&] { return k.cut_text() == "hello world"; }));
    s.open_gate();
    EXPECT_TRUE(wait_until([&] { return k.cut_text().empty(); })) << "length 0 stores empty text";
    s.open_gate();
}

// A text over the limit is not kept; its bytes are skipped so the next
// message is still understood.
TEST(Worker, OverlongCutTextIsIgnoredButSkipped) {
    ScriptedServer s;
    s.handshake(4, 4);
    const uint32_t len = kMaxCutTextLength + 1;
    s.send(Bytes().u8(3).fill(3, 0).u32(len).fill(len, 0x03));
    s.send(Bytes().u8(3).fill(3, 0).u32(2).str("ok"));
    Conn k;
    k.connect(s);
    EXPECT_TRUE(wait_until([&] { return k.cut_text() == "ok"; })) << k.cut_text();
}

// Messages beside the updates, each followed by a one-pixel update: read
// in step whether asked for or not; a fence request is answered in kind.
TEST(Worker, OtherMessagesKeepStreamInStep) {
    const struct {
        const char *what;
        Bytes message;
        std::vector<uint8_t> answer;  // what the client sends before the request
    } cases[] = {
        {"colour map and bell", Bytes().u8(1).u8(0).u16(0).u16(3).fill(18, 0xAB).u8(2), {}},
        {"fence", Bytes().u8(248).fill(3, 0).u32(0x00000003).u8(2).u8(7).u8(8), {}},
        {"fence request", Bytes().u8(248).fill(3, 0).u32(0x80000007).u8(3).str("abc"),
         {248, 0, 0, 0, 0, 0, 0, 7, 3, 'a', 'b', 'c'}},
        {"fence request with unknown flags", Bytes().u8(248).fill(3, 0).u32(0x80000F01).u8(0),
         {248, 0, 0, 0, 0, 0, 0, 1, 0}},
        {"end of continuous updates", Bytes().u8(150), {}},
        {"xvp", Bytes().u8(250).u8(0).u8(1).u8(1), {}},
        {"cursor not asked for", update_header(1).rect(0, 0, 2, 1, -239).pixel(1).pixel(2).u8(0x80),
         request(1, 4, 4)},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        ScriptedServer s;
        s.handshake(4, 4);
        s.send(Bytes(k.message).raw(update_header(1).rect(0, 0, 1, 1, 0).pixel(0xFF010203).vec()));
        if (!k.answer.empty()) s.read(k.answer.size());
        s.read(10);
        Conn c;
        c.connect(s);
        ASSERT_TRUE(s.wait_done());
        ASSERT_TRUE(s.ok()) << s.error();
        if (!k.answer.empty()) {
            EXPECT_EQ(k.answer, s.read_at(6));
        }
        EXPECT_EQ(0xFF010203u, c.pixel(0, 0));
        EXPECT_EQ((std::vector<int>{0, 0, 1, 1}), c.dirty());
        EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(c.c));
    }
}

// What has no known length ends the connection at once, with a reason;
// what was finished before it is shown, nothing after it.
TEST(Worker, UnreadableMessageEndsTheConnection) {
    const struct {
        Bytes message;
        const char *reason;
    } cases[] = {
        {Bytes().u8(77).fill(20, 0), "Server sent a message of type 77, which this client does not know"},
        {update_header(3).rect(3, 3, 1, 1, 0).pixel(9).rect(0, 0, 2, 2, 6).rect(0, 0, 1, 1, 0).pixel(5),
         "Server sent a rectangle of encoding 6, which this client cannot decode"},
        {update_header(2).rect(3, 3, 1, 1, 0).pixel(9).rect(0, 0, 2, 2, 7).u8(0).u8(40).fill(40, 0xFF),
         "Protocol error in a rectangle of encoding 7 at 0,0 size 2 x 2: Tight's zlib stream 0 "
         "cannot continue"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.reason);
        ScriptedServer s;
        s.handshake(20, 20).send(k.message).pause(300);
        Conn c;
        c.connect(s);
        ASSERT_TRUE(wait_until([&] { return vnc_get_status(c.c) == VNC_STATUS_DISCONNECTED; }, 2000));
        char reason[128] = "";
        vnc_get_end_reason(c.c, reason, sizeof reason);
        EXPECT_STREQ(k.reason, reason);
        const bool drew = k.message.vec()[0] == 0;
        const std::vector<int> shown = drew ? std::vector<int>{3, 3, 1, 1} : std::vector<int>();
        EXPECT_EQ(shown, c.dirty(100));
        EXPECT_EQ(drew ? 9u : 0u, c.pixel(3, 3));
        EXPECT_EQ(0u, c.pixel(0, 0));
    }
}

// The update count starts with the first update that draws after the
// connect (the answer to its full request), or after a resize once every
// pixel has been drawn, and counts only updates that drew something.
TEST(Worker, UpdateCountWaitsForTheWholePicture) {
    const struct {
        Bytes update;
        unsigned count;
    } steps[] = {
        {update_header(1).rect(0, 0, 8, 4, -258), 0},  // QEMU's answer to its key event
        {update_header(1).rect(0, 0, 8, 2, 0).raw(raw_payload(0, 0, 8, 2).vec()), 1},
        {update_header(0), 1},
        {update_header(1).rect(0, 0, 1, 1, 0).pixel(1), 2},
        {update_header(1).rect(0, 0, 4, 4, -223), 2},  // a resize: the new size is not drawn yet
        {update_header(1).rect(0, 0, 4, 2, 0).raw(raw_payload(0, 0, 4, 2).vec()), 2},
        {update_header(2).rect(0, 2, 3, 2, 0).raw(raw_payload(0, 2, 3, 2).vec())
             .rect(2, 2, 2, 2, 0).raw(raw_payload(2, 2, 2, 2).vec()), 3},
    };
    ScriptedServer s;
    s.handshake(8, 4);
    for (const auto &k : steps) s.send(k.update).read(10).gate();
    Conn c;
    c.connect(s);
    size_t done = 10;
    for (const auto &k : steps) {
        done += 2;
        ASSERT_TRUE(wait_until([&] { return s.steps_done() >= done; }));
        EXPECT_EQ(k.count, vnc_get_update_count(c.c)) << "after step " << (done - 10) / 3;
        s.open_gate();
        ++done;
    }
    ASSERT_TRUE(s.wait_done());
}

// A server that goes away ends the worker promptly; the status says so, and a
// new vnc_connect releases what the ended connection held.
TEST(Worker, ClosedConnectionEndsWorker) {
    void *px;
    int stride, w, h;
    ScriptedServer s;
    s.handshake(4, 4).close();
    Conn k;
    k.connect(s);
    ASSERT_TRUE(wait_until([&] { return vnc_get_status(k.c) == VNC_STATUS_DISCONNECTED; }));
    EXPECT_EQ(-1, vnc_send_key(k.c, 0x61, 1)) << "no input once the worker ended";
    // Only the host's framebuffer outlives the connection.
    EXPECT_EQ(nullptr, k.c->back.pixels);
    EXPECT_EQ(nullptr, k.c->reader.get());
    EXPECT_EQ(nullptr, k.c->inflater.get());
    EXPECT_EQ(0, vnc_lock_framebuffer(k.c, &px, &stride, &w, &h));
    vnc_unlock_framebuffer(k.c);

    ScriptedServer s2;
    s2.handshake(6, 6);
    s2.start();
    ASSERT_EQ(0, vnc_connect(k.c, "127.0.0.1", s2.port(), nullptr));
    ASSERT_TRUE(s2.wait_done());
    EXPECT_TRUE(s2.ok()) << s2.error();
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(k.c));
}

// A message header cut short ends the worker as well.
TEST(Worker, TruncatedHeaderEndsWorker) {
    for (uint8_t type : {0, 1, 3}) {
        SCOPED_TRACE(static_cast<int>(type));
        ScriptedServer s;
        s.handshake(4, 4).send(Bytes().u8(type).u8(0)).close();
        Conn k;
        k.connect(s);
        EXPECT_TRUE(wait_until([&] { return vnc_get_status(k.c) == VNC_STATUS_DISCONNECTED; }));
    }
}

// A quiet server is normal: the worker waits, and disconnect stops it.
TEST(Worker, IdleConnectionStaysUpUntilDisconnect) {
    ScriptedServer s;
    s.handshake(4, 4).gate();
    Conn k;
    k.connect(s);
    ASSERT_TRUE(wait_until([&] { return s.reads().size() >= 6; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(450));  // several idle waits
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(k.c));
    EXPECT_EQ(0, vnc_disconnect(k.c));
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(k.c));
    s.open_gate();
}

// ---- handing updates over to the host ---------------------------------------

// Calls every host function that takes the lock, over and over, until stop;
// returns the slowest call in milliseconds. progress counts dirty rectangles.
static double poll_host(vnc_client_t *c, const std::atomic<bool> &stop, std::atomic<int> *progress) {
    double worst = 0;
    while (!stop.load()) {
        const auto t0 = std::chrono::steady_clock::now();
        int x, y, w, h, stride;
        void *px;
        if (vnc_get_dirty_rect(c, &x, &y, &w, &h)) ++*progress;
        vnc_get_dimensions(c, &w, &h);
        vnc_lock_framebuffer(c, &px, &stride, &w, &h);
        vnc_unlock_framebuffer(c);
        worst = std::max(
            worst, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                       .count());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return worst;
}

// A server that trickles a rectangle and then stalls in its middle: no host
// call waits for it, and what has arrived is shown before the update ends.
TEST(Publishing, HostNeverWaitsForATrickledPayloadAndSeesProgress) {
    ScriptedServer s;
    s.handshake(64, 64);
    const Bytes payload = raw_payload(0, 0, 32, 64);
    const std::vector<uint8_t> &p = payload.vec();
    s.send(update_header(1).rect(0, 0, 32, 64, 0));
    size_t at = 0;
    for (int i = 0; i < 40; ++i, at += 64)
        s.send(Bytes().raw({p.begin() + at, p.begin() + at + 64})).pause(20);
    s.gate().send(Bytes().raw({p.begin() + at, p.end()})).read(10);
    Conn k;
    std::atomic<bool> stop{false};
    std::atomic<int> progress{0};
    k.connect(s);
    auto worst = std::async(std::launch::async, [&] { return poll_host(k.c, stop, &progress); });
    EXPECT_TRUE(wait_until([&] { return progress.load() > 0; }, 3000))
        << "nothing of a stalled update was shown";
    EXPECT_EQ(px_value(3, 1), k.pixel(3, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // stalled at the gate
    s.open_gate();
    ASSERT_TRUE(s.wait_done());
    EXPECT_TRUE(wait_until([&] { return k.pixel(31, 63) == px_value(31, 63); }));
    stop = true;
    EXPECT_LT(worst.get(), 500.0) << "a host call waited for the network";
}

// An update that finishes within the interim period is seen whole or not at
// all, however the host polls: its two rectangles change together.
TEST(Publishing, QuickUpdateIsNeverSeenHalfDrawn) {
    ScriptedServer s;
    s.handshake(32, 8);
    for (int round = 1; round <= 5; ++round) {
        Bytes u = update_header(2).rect(0, 0, 1, 1, 0).pixel(0xFF000000u + round);
        s.send(u).pause(30).send(Bytes().rect(31, 7, 1, 1, 0).pixel(0xFF000000u + round)).read(10);
    }
    Conn k;
    k.connect(s);
    int torn = 0, seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((!s.wait_done(0) || seen == 0) && std::chrono::steady_clock::now() < deadline) {
        void *px;
        int stride, w, h;
        if (vnc_lock_framebuffer(k.c, &px, &stride, &w, &h) == 0) {
            const uint32_t *p = static_cast<uint32_t *>(px);
            torn += p[0] != p[7 * (stride / 4) + 31];
            seen += p[0] != 0;
        }
        vnc_unlock_framebuffer(k.c);
    }
    EXPECT_GT(seen, 0);
    EXPECT_EQ(0, torn) << "a host saw one rectangle of an update without the other";
}

// ---- faults: the stream stays in step or the connection ends ---------------

namespace {

// Shortens every wait of the client's socket readers while a test runs.
struct ReadTimeoutCap {
    explicit ReadTimeoutCap(int ms) { vnc_set_read_timeout_cap_for_testing(ms); }
    ~ReadTimeoutCap() { vnc_set_read_timeout_cap_for_testing(0); }
};

std::vector<int> take_dirty(vnc_client_t *c) {
    int x, y, w, h;
    if (vnc_get_dirty_rect(c, &x, &y, &w, &h) != 1) return {};
    return {x, y, w, h};
}

}  // namespace

// A message whose body stalls past the read timeout, or is cut by a close:
// the connection ends (the rest would be read out of step), and what was
// finished before the failure, and only that, reaches the host and is
// reported.
TEST(Faults, ReadFailingMidMessageEndsTheConnection) {
    const Bytes raw_head = update_header(1).rect(0, 0, 4, 2, 0);
    const Bytes row0 = raw_payload(0, 0, 4, 1), row1 = raw_payload(0, 1, 4, 1);
    const Bytes first = update_header(2).rect(0, 0, 1, 1, 0).pixel(0xFF0000AAu);
    const struct {
        const char *what;
        Bytes head, rest;
        bool close;
        std::vector<int> dirty;
    } cases[] = {
        {"raw payload stalls", Bytes(raw_head).raw(row0.vec()), row1, false, {0, 0, 4, 1}},
        {"raw payload cut", Bytes(raw_head).raw(row0.vec()), Bytes(), true, {0, 0, 4, 1}},
        {"rectangle header stalls", Bytes(first).u16(1).u16(1).u16(1),
         Bytes().u16(1).s32(0).pixel(0xFF0000BBu), false, {0, 0, 1, 1}},
        {"cut text stalls", Bytes().u8(3).fill(3, 0).u32(10).str("hello"), Bytes().str("world"),
         false, {}},
        {"colour map stalls", Bytes().u8(1).u8(0).u16(0).u16(2).fill(6, 1), Bytes().fill(6, 2),
         false, {}},
    };
    ReadTimeoutCap cap(150);
    for (const auto &t : cases) {
        SCOPED_TRACE(t.what);
        ScriptedServer s;
        s.handshake(8, 4).send(t.head);
        if (t.close)
            s.close();
        else
            s.pause(600).send(t.rest).send(update_header(1).rect(0, 3, 1, 1, 0).pixel(7)).gate();
        Conn k;
        k.connect(s);
        EXPECT_TRUE(wait_until([&] { return vnc_get_status(k.c) == VNC_STATUS_DISCONNECTED; }, 3000));
        std::this_thread::sleep_for(std::chrono::milliseconds(t.close ? 0 : 700));
        EXPECT_EQ(t.dirty, take_dirty(k.c));
        EXPECT_EQ(0u, k.pixel(0, 1)) << "an unfinished row reached the host";
        EXPECT_EQ(0u, k.pixel(0, 3)) << "bytes after the failure were decoded";
        EXPECT_EQ("(none)", k.cut_text());
        EXPECT_EQ(t.dirty.empty(), k.pixel(0, 0) == 0) << "what finished was not shown";
        s.open_gate();
    }
}

// A host that holds the lock through a slow update neither stalls the
// worker's reads into a timeout nor breaks the stream.
TEST(Faults, HostHoldingTheLockDoesNotBreakTheStream) {
    ReadTimeoutCap cap(300);
    ScriptedServer s;
    // A finished rectangle gives the interim hand-overs something to do.
    s.handshake(32, 8).send(update_header(2).rect(0, 0, 1, 1, 0).pixel(1).rect(0, 1, 32, 7, 0));
    for (int y = 1; y < 8; ++y) s.pause(150).send(raw_payload(0, y, 32, 1));
    s.read(10);
    Conn k;
    k.connect(s);
    void *px;
    int stride, w, h;
    vnc_lock_framebuffer(k.c, &px, &stride, &w, &h);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    vnc_unlock_framebuffer(k.c);
    ASSERT_TRUE(s.wait_done());
    EXPECT_TRUE(s.ok()) << s.error();
    EXPECT_TRUE(wait_until([&] { return k.pixel(31, 7) == px_value(31, 7); }));
    EXPECT_EQ(px_value(0, 1), k.pixel(0, 1));
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(k.c));
}

// While a rectangle is still arriving, interim hand-overs show the finished
// rectangles around it but no byte of it: not where an earlier rectangle
// overlaps it, not inside areas merged into one box, not after a resize.
TEST(Faults, InterimHandOverShowsOnlyFinishedPixels) {
    const uint32_t A = 0xFF0000AAu, B = 0xFF00BB00u;
    Bytes overlap = update_header(2).rect(0, 0, 16, 20, 0);
    for (int i = 0; i < 16 * 20; ++i) overlap.pixel(A);
    Bytes merged = update_header(67);
    for (int i = 0; i < 66; ++i) merged.rect(i % 16, i < 33 ? 0 : 19, 1, 1, 0).pixel(A);
    Bytes resized = update_header(3).rect(0, 0, 16, 20, -223).rect(0, 0, 16, 20, 0);
    for (int i = 0; i < 16 * 20; ++i) resized.pixel(A);
    const struct {
        const char *what;
        int fb_w, fb_h;
        Bytes before;
    } cases[] = {{"overlapping", 16, 20, overlap}, {"merged", 16, 20, merged},
                 {"after a resize", 8, 8, resized}};
    for (const auto &t : cases) {
        SCOPED_TRACE(t.what);
        Bytes second = Bytes(t.before).rect(0, 0, 16, 12, 0);
        for (int i = 0; i < 16 * 10 + 8; ++i) second.pixel(B);
        second.u8(0x00).u8(0xBB);  // half a pixel
        Bytes rest = Bytes().u8(0x00).u8(0xFF);
        for (int i = 0; i < 16 * 2 - 9; ++i) rest.pixel(B);
        ScriptedServer s;
        s.handshake(t.fb_w, t.fb_h).send(second).pause(400).send(rest).read(10);
        Conn k;
        k.connect(s);
        int wrong = 0, shown = 0;
        // Looked at while the server pauses (steps 10 and 11: the first part
        // and the pause), not once the rest may have arrived.
        while (s.steps_done() < 12) {
            void *px;
            int stride, w, h, bad = 0, good = 0;
            if (vnc_lock_framebuffer(k.c, &px, &stride, &w, &h) == 0 && w == 16 && h == 20) {
                const uint32_t *p = static_cast<const uint32_t *>(px);
                // Rows 0-9 are finished and may show; row 10 has half its
                // pixels and a half one, row 11 nothing yet.
                for (int i = 16 * 10; i < 16 * 12; ++i) bad += p[i] != 0 && p[i] != A;
                good = p[19 * 16] == A;
            }
            vnc_unlock_framebuffer(k.c);
            if (s.steps_done() < 12) wrong += bad, shown += good;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_TRUE(s.wait_done());
        EXPECT_EQ(0, wrong) << "pixels of the rectangle still arriving were shown";
        EXPECT_GT(shown, 0) << "finished rectangles were not shown meanwhile";
        EXPECT_TRUE(wait_until([&] { return k.pixel(15, 11) == B; }));
        EXPECT_EQ(B, k.pixel(0, 0));
    }
}

// What the worker draws is what the host is shown: an RRE subrectangle
// outside its rectangle is not drawn, so a CopyRect from there copies what
// the host sees there.
TEST(Faults, HostPictureIsTheWorkers) {
    ScriptedServer s;
    s.handshake(20, 10);
    Bytes u = update_header(2).rect(0, 0, 4, 4, 2).u32(1).pixel(0xFF000001u);
    u.pixel(0xFF000002u).u16(8).u16(0).u16(2).u16(2);
    u.rect(12, 0, 2, 2, 1).u16(8).u16(0);
    s.send(u).read(10);
    Conn k;
    k.connect(s);
    ASSERT_TRUE(s.wait_done());
    EXPECT_TRUE(wait_until([&] { return k.pixel(0, 0) == 0xFF000001u; }));
    EXPECT_EQ(0u, k.pixel(8, 0));
    EXPECT_EQ(0u, k.pixel(12, 0)) << "copied pixels the host was never shown";
}

// A send that fails ends the connection, but an update finished while the
// host held the lock still reaches it.
TEST(Faults, FailedSendDoesNotLoseAFinishedUpdate) {
    vnc_set_send_stall_timeout_for_testing(300);
    ScriptedServer s;
    s.handshake(8, 8).send(update_header(1).rect(2, 3, 1, 1, 0).pixel(0xFF0000CCu)).gate();
    Conn k;
    k.connect(s);
    void *px;
    int stride, w, h;
    vnc_lock_framebuffer(k.c, &px, &stride, &w, &h);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the update is in
    const std::string big(64u << 20, 'x');  // more than the socket buffers take
    EXPECT_EQ(-1, vnc_send_client_cut_text(k.c, big.data(), static_cast<int>(big.size())));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the connection has ended
    vnc_unlock_framebuffer(k.c);
    vnc_set_send_stall_timeout_for_testing(0);
    EXPECT_TRUE(wait_until([&] { return k.pixel(2, 3) == 0xFF0000CCu; }));
    EXPECT_EQ((std::vector<int>{2, 3, 1, 1}), take_dirty(k.c));
    EXPECT_TRUE(wait_until([&] { return vnc_get_status(k.c) == VNC_STATUS_DISCONNECTED; }));
    s.open_gate();
}

// A DesktopSize beyond the pixel limit ends the connection before anything
// is allocated; a long thin strip within it is followed.
TEST(Faults, DesktopSizeLimit) {
    const struct {
        int w, h;
        bool ok;
    } sizes[] = {{65535, 65535, false}, {16384, 8193, false}, {65535, 2, true}};
    for (const auto &z : sizes) {
        SCOPED_TRACE(testing::Message() << z.w << "x" << z.h);
        ScriptedServer s;
        s.handshake(8, 8).send(update_header(1).rect(0, 0, z.w, z.h, -223)).gate();
        Conn k;
        k.connect(s);
        int w = 0, h = 0;
        EXPECT_TRUE(wait_until([&] {
            return z.ok ? vnc_get_dimensions(k.c, &w, &h) == 0 && w == z.w
                        : vnc_get_status(k.c) == VNC_STATUS_DISCONNECTED;
        }));
        vnc_get_dimensions(k.c, &w, &h);
        EXPECT_EQ(z.ok ? z.h : 8, h);
        s.open_gate();
    }
}

// A quiet handle gives its back buffer back, and the next update, a CopyRect
// from what the host was shown included, decodes as if it had never gone.
TEST(Publishing, IdleHandleGivesItsBackBufferBack) {
    ScriptedServer s;
    s.handshake(16, 16).send(update_header(1).rect(0, 0, 2, 1, 0).pixel(7).pixel(8)).read(10);
    s.gate().send(update_header(1).rect(5, 5, 2, 1, 1).u16(0).u16(0)).read(10);
    Conn k;
    k.connect(s);
    ASSERT_TRUE(wait_until([&] { return s.steps_done() >= 12; }));
    const long busy = vnc_alloc_live_blocks_for_testing();
    EXPECT_TRUE(wait_until([&] { return vnc_alloc_live_blocks_for_testing() < busy; }, 4000));
    s.open_gate();
    EXPECT_TRUE(wait_until([&] { return k.pixel(6, 5) == 8u; }));
    EXPECT_EQ(7u, k.pixel(5, 5));
    EXPECT_EQ(7u, k.pixel(0, 0));
}
