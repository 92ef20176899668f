// The opt-in extensions against a scripted server: what each option adds to
// the set-up, the exact bytes of every new message both ways, and the
// getters' conventions.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "test_util.h"
#include "vnc_client_internal.h"
#include "vnc_jpeg.h"

namespace {

using ByteVec = std::vector<uint8_t>;

struct Conn {
    vnc_client_t *c = vnc_create();
    ~Conn() { vnc_destroy(c); }
};

ByteVec be32(uint32_t v) { return Bytes().u32(v).vec(); }

// An Extended Clipboard message: the cut-text head of type `type` with its
// length negated, then flags and body.
Bytes ext_clip(uint8_t type, uint32_t flags, const ByteVec &body = {}) {
    return Bytes().u8(type).fill(3, 0).u32(static_cast<uint32_t>(-static_cast<int32_t>(4 + body.size())))
        .u32(flags).raw(body);
}

ByteVec deflated(const ByteVec &raw) {
    uLongf n = compressBound(static_cast<uLong>(raw.size()));
    ByteVec out(n);
    EXPECT_EQ(Z_OK, compress(out.data(), &n, raw.data(), static_cast<uLong>(raw.size())));
    out.resize(n);
    return out;
}

ByteVec inflated(const ByteVec &packed) {
    ByteVec out(4096);
    uLongf n = out.size();
    EXPECT_EQ(Z_OK, uncompress(out.data(), &n, packed.data(), static_cast<uLong>(packed.size())));
    out.resize(n);
    return out;
}

// A provide of text: its size with the NUL, the text, the NUL.
ByteVec provide_body(const std::string &text) {
    return deflated(Bytes().u32(static_cast<uint32_t>(text.size() + 1)).str(text).u8(0).vec());
}

constexpr uint32_t kCapsAll = 0x1F000001;  // caps, every action, text
const ByteVec kUpdateRequest = {3, 1, 0, 0, 0, 0, 0, 10, 0, 10};

}  // namespace

// What each option adds to SetEncodings (or ClientInit); every list ends
// in the pseudo-encodings, and with no option it is exactly the old one.
TEST(Options, SetUpBytes) {
    struct Case {
        std::vector<std::pair<const char *, const char *>> options;
        std::vector<int32_t> encodings;
        uint8_t shared;
    };
    const int32_t clip = kEncodingExtClipboard;
    std::vector<Case> cases = {
        {{}, {16, 5, 2, 1, 0, -223}, 1},
        // Tight's levels and LastRect come with Tight only.
        {{{"encodings", "tight, copyrect"}, {"compress-level", "2"}}, {7, 1, -254, -223, -224}, 1},
        {{{"compress-level", "9"}, {"jpeg-quality", "off"}}, {16, 5, 2, 1, 0, -223}, 1},
        {{{"encodings", "raw, zrle"}}, {0, 16, -223}, 1},
        {{{"cursor", "local"}, {"desktop-size", "extended"}}, {16, 5, 2, 1, 0, -223, -308, -239}, 1},
        {{{"qemu-keys", "on"}, {"clipboard", "utf8"}, {"shared", "off"}},
         {16, 5, 2, 1, 0, -223, -258, clip},
         0},
        {{{"cursor", "local"}, {"cursor", "server"}, {"shared", "on"}}, {16, 5, 2, 1, 0, -223}, 1},
        {{{"desktop-name", "on"}}, {16, 5, 2, 1, 0, -223, -307}, 1},
        {{{"continuous-updates", "on"}}, {16, 5, 2, 1, 0, -223, -312, -313}, 1},
    };
    if (vnc_jpeg_available())
        cases.push_back({{{"jpeg-quality", "8"}, {"encodings", "tight"}}, {7, -24, -223, -224}, 1});
    for (const Case &k : cases) {
        ScriptedServer s;
        s.send("RFB 003.008\n").read(12).send(Bytes{1, 1}).read(1).send(Bytes().u32(0)).read(1);
        s.send(Bytes().u16(10).u16(10).raw({32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0})
                   .u32(1).str("n"));
        s.read(20).read(4 + 4 * k.encodings.size());
        s.start();
        Conn cl;
        for (const auto &o : k.options) ASSERT_EQ(0, vnc_set_option(cl.c, o.first, o.second));
        ASSERT_EQ(0, vnc_connect(cl.c, "127.0.0.1", s.port(), nullptr));
        ASSERT_TRUE(s.wait_done());
        ASSERT_TRUE(s.ok()) << s.error();
        EXPECT_EQ(ByteVec{k.shared}, s.read_at(2));
        Bytes want;
        want.u8(2).u8(0).u16(static_cast<uint32_t>(k.encodings.size()));
        for (int32_t e : k.encodings) want.s32(e);
        EXPECT_EQ(want.vec(), s.read_at(4)) << "case with " << k.options.size() << " options";
    }
}

TEST(Options, RefusedNamesAndValues) {
    Conn cl;
    const std::pair<const char *, const char *> bad[] = {
        {"colour", "on"},           {"cursor", "yes"},   {"encodings", ""},
        {"encodings", "raw,raw"},   {"encodings", "zlib"}, {"encodings", "raw,"},
        {"jpeg-quality", "10"},     {"compress-level", "high"}, {"jpeg-quality", "-1"},
        {"shared", "ON"},           {nullptr, "on"},     {"shared", nullptr},
    };
    for (const auto &b : bad) {
        EXPECT_EQ(-1, vnc_set_option(cl.c, b.first, b.second)) << (b.first ? b.first : "null");
        EXPECT_NE('\0', vnc_last_error()[0]);
    }
    EXPECT_EQ(-1, vnc_set_option(nullptr, "shared", "on"));
    EXPECT_EQ(0, vnc_set_option(cl.c, "encodings", "hextile"));
}

// Each case: the options, what the server sends after the handshake (and
// the update request that follows its update, if any), what the host does
// once `ready` holds, and the bytes the server must then receive.
TEST(Extensions, MessageBytes) {
    struct Case {
        const char *name;
        std::vector<std::pair<const char *, const char *>> options;
        Bytes server;
        bool update;  // server sends a FramebufferUpdate: a request follows
        std::function<bool(vnc_client_t *)> ready;
        std::function<void(vnc_client_t *)> host;
        ByteVec want;
    };
    const auto always = [](vnc_client_t *) { return true; };
    const auto qemu_ack = Bytes().u8(0).u8(0).u16(1).rect(0, 0, 10, 10, kEncodingQemuKeys);
    // The answer to an earlier request: reason 1, status 0.
    const auto layout = Bytes().u8(0).u8(0).u16(1).rect(1, 0, 10, 10, kEncodingExtDesktopSize)
                            .u8(1).fill(3, 0).u32(0x12345678).u16(0).u16(0).u16(10).u16(10).u32(7);
    const auto caps = ext_clip(3, kCapsAll, be32(1000));
    const ByteVec our_caps = ext_clip(6, kCapsAll, be32(0xFFFFF)).vec();
    const Case cases[] = {
        {"qemu key with scancode", {{"qemu-keys", "on"}}, qemu_ack, true,
         [](vnc_client_t *c) { return c->qemu_keys_ok.load() == 1; },
         [](vnc_client_t *c) { vnc_send_key(c, 'A', 1); },
         {255, 0, 0, 1, 0, 0, 0, 'A', 0, 0, 0, 0x1E}},
        {"qemu extended key", {{"qemu-keys", "on"}}, qemu_ack, true,
         [](vnc_client_t *c) { return c->qemu_keys_ok.load() == 1; },
         [](vnc_client_t *c) { vnc_send_key(c, 0xFF52, 0); },  // Up: E0 48
         {255, 0, 0, 0, 0, 0, 0xFF, 0x52, 0, 0, 0, 0xC8}},
        {"key without scancode stays a KeyEvent", {{"qemu-keys", "on"}}, qemu_ack, true,
         [](vnc_client_t *c) { return c->qemu_keys_ok.load() == 1; },
         [](vnc_client_t *c) { vnc_send_key(c, 0x20AC, 1); },
         {4, 1, 0, 0, 0, 0, 0x20, 0xAC}},
        {"no acknowledgement, no QEMU key", {{"qemu-keys", "on"}}, Bytes(), false, always,
         [](vnc_client_t *c) { vnc_send_key(c, 'a', 1); },
         {4, 1, 0, 0, 0, 0, 0, 'a'}},
        {"SetDesktopSize keeps the screen's id and flags", {{"desktop-size", "extended"}}, layout,
         true, [](vnc_client_t *c) { return vnc_get_desktop_size_status(c, nullptr) == 0; },
         [](vnc_client_t *c) {
             EXPECT_EQ(0, vnc_request_desktop_size(c, 800, 600));
             EXPECT_EQ(-1, vnc_get_desktop_size_status(c, nullptr)) << "no answer to this one yet";
         },
         {251, 0, 3, 0x20, 2, 0x58, 1, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 0, 0, 3, 0x20, 2, 0x58,
          0, 0, 0, 7}},
        {"caps answered with ours", {{"clipboard", "utf8"}}, caps, false, always, nullptr,
         our_caps},
        {"notify answered with a request", {{"clipboard", "utf8"}},
         Bytes(caps).raw(ext_clip(3, 0x08000001).vec()), false, always, nullptr,
         Bytes().raw(our_caps).raw(ext_clip(6, 0x02000001).vec()).vec()},
        {"peek answered with a notify", {{"clipboard", "utf8"}},
         Bytes(caps).raw(ext_clip(3, 0x04000001).vec()), false, always, nullptr,
         Bytes().raw(our_caps).raw(ext_clip(6, 0x08000000).vec()).vec()},
        {"utf8 text to a plain server goes as Latin-1", {{"clipboard", "utf8"}},
         Bytes().u8(0).u8(0).u16(0), true, always,
         [](vnc_client_t *c) { EXPECT_EQ(0, vnc_send_client_cut_text(c, "caf\xC3\xA9\xE2\x82\xAC", 8)); },
         {6, 0, 0, 0, 0, 0, 0, 5, 'c', 'a', 'f', 0xE9, '?'}},
        {"invalid UTF-8 is refused", {{"clipboard", "utf8"}}, Bytes(), false, always,
         [](vnc_client_t *c) {
             EXPECT_EQ(-1, vnc_send_client_cut_text(c, "\xC3", 1));
             vnc_send_key(c, 'z', 1);
         },
         {4, 1, 0, 0, 0, 0, 0, 'z'}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedServer s;
        s.handshake(10, 10, "test", 6 + static_cast<int>(k.options.size()));
        if (k.server.size()) s.send(k.server);
        if (k.update) s.read(10);
        s.read(k.want.size());
        s.start();
        Conn cl;
        for (const auto &o : k.options) ASSERT_EQ(0, vnc_set_option(cl.c, o.first, o.second));
        ASSERT_EQ(0, vnc_connect(cl.c, "127.0.0.1", s.port(), nullptr));
        ASSERT_TRUE(wait_until([&] { return k.ready(cl.c); }));
        // The worker's request after the update goes first.
        if (k.update) {
            ASSERT_TRUE(wait_until([&] { return s.steps_done() >= 12; }));
        }
        if (k.host) k.host(cl.c);
        ASSERT_TRUE(s.wait_done());
        ASSERT_TRUE(s.ok()) << s.error();
        if (k.update) {
            EXPECT_EQ(kUpdateRequest, s.read_at(6));
        }
        EXPECT_EQ(k.want, s.reads().back());
    }
}

// Text both ways through Extended Clipboard: the host's, sent before the
// server has shown its caps, waits for them; it is announced and goes out
// as a provide (CRLF, NUL), a request is answered with it, and the
// server's provide reaches vnc_get_cut_text with its line ends back.
TEST(Extensions, ClipboardTextBothWays) {
    const std::string text = "a\nGr\xC3\xBC\xC3\x9F" "e \xE6\x9D\xB1";
    ScriptedServer s;
    s.handshake(10, 10, "test", 7).pause(300).send(ext_clip(3, kCapsAll, be32(1000))).read(16);
    s.gate().read(12).read(12).receive_once(512);
    s.send(ext_clip(3, 0x02000001)).read(12).receive_once(512);
    s.send(ext_clip(3, 0x10000001, provide_body("x\r\n\xE2\x9C\x93 y")));
    s.send(ext_clip(3, 0x10000001, deflated(Bytes().u32(900).str("short").vec())));  // lies
    s.send(Bytes().u8(3).fill(3, 0).u32(4).str("caf\xE9"));
    s.pause(200);
    s.start();
    Conn cl;
    ASSERT_EQ(0, vnc_set_option(cl.c, "clipboard", "utf8"));
    ASSERT_EQ(0, vnc_connect(cl.c, "127.0.0.1", s.port(), nullptr));
    ASSERT_EQ(0, vnc_send_client_cut_text(cl.c, text.data(), static_cast<int>(text.size())));
    s.open_gate();
    ASSERT_TRUE(s.wait_done());
    ASSERT_TRUE(s.ok()) << s.error();
    const auto reads = s.reads();
    // Head and flags, then the zlib stream; the request gets the same text.
    std::string sent_text = "a\r\nGr\xC3\xBC\xC3\x9F" "e \xE6\x9D\xB1";
    const ByteVec want_raw = Bytes().u32(static_cast<uint32_t>(sent_text.size() + 1)).str(sent_text).u8(0).vec();
    ASSERT_EQ(12u, reads.size());
    EXPECT_EQ(ext_clip(6, 0x08000001).vec(), reads[7]) << "announced first";
    for (size_t i : {8, 10}) {
        const ByteVec &head = reads[i], &body = reads[i + 1];
        EXPECT_EQ(ext_clip(6, 0x10000001, ByteVec(body.size(), 0)).vec(),
                  Bytes().raw(head).fill(body.size(), 0).vec());
        EXPECT_EQ(want_raw, inflated(body));
    }

    char buf[64];
    unsigned serial = 0;
    // The lying provide is dropped; the Latin-1 text after it arrives.
    ASSERT_TRUE(wait_until([&] { return vnc_get_cut_text(cl.c, buf, sizeof buf, &serial) == 5; }));
    EXPECT_STREQ("caf\xC3\xA9", buf);
    EXPECT_EQ(2u, serial);
}

// The Cursor shape, ExtendedDesktopSize answers, the update count, and the
// getters' buffer convention.
TEST(Extensions, ServerStateGetters) {
    ScriptedServer s;
    // 2 x 2 cursor, hot spot (1, 0): mask rows 10, 01.
    Bytes update = Bytes().u8(0).u8(0).u16(3).rect(1, 0, 2, 2, kEncodingCursor);
    update.pixel(0x112233).pixel(0x445566).pixel(0x778899).pixel(0xAABBCC).u8(0x80).u8(0x40);
    update.rect(1, 3, 20, 20, kEncodingExtDesktopSize).u8(0).fill(3, 0);  // refused: size kept
    update.rect(0, 0, 10, 10, kEncodingExtDesktopSize).u8(0).fill(3, 0);  // layout, same size
    s.handshake(10, 10, "old", 9).send(update).read(10).gate();
    // The new size, renamed, and a shape over the limit, which clears the old one.
    Bytes second = Bytes().u8(0).u8(0).u16(3).rect(1, 0, 20, 12, kEncodingExtDesktopSize).u8(0).fill(3, 0);
    second.rect(0, 0, 0, 0, kEncodingDesktopName).u32(7).str("Gr\xC3\xBC\xC3\x9F" "e");
    second.rect(0, 0, 600, 600, kEncodingCursor).fill(600 * 600 * 4 + 75 * 600, 0xFF);
    s.send(second).read(10).close();
    s.start();
    Conn cl;
    ASSERT_EQ(0, vnc_set_option(cl.c, "cursor", "local"));
    ASSERT_EQ(0, vnc_set_option(cl.c, "desktop-size", "extended"));
    ASSERT_EQ(0, vnc_set_option(cl.c, "desktop-name", "on"));
    ASSERT_EQ(0, vnc_connect(cl.c, "127.0.0.1", s.port(), nullptr));
    ASSERT_TRUE(wait_until([&] { return s.steps_done() >= 12; }));

    uint8_t shape[16];
    int w = 0, h = 0, hx = -1, hy = -1;
    unsigned serial = 0;
    EXPECT_EQ(16, vnc_get_cursor(cl.c, nullptr, 0, &w, &h, &hx, &hy, &serial));
    EXPECT_EQ(16, vnc_get_cursor(cl.c, shape, sizeof shape, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(2, w);
    EXPECT_EQ(2, h);
    EXPECT_EQ(1, hx);
    EXPECT_EQ(0, hy);
    EXPECT_GE(serial, 1u);
    const ByteVec want = {0x33, 0x22, 0x11, 255, 0x66, 0x55, 0x44, 0,
                          0x99, 0x88, 0x77, 0,   0xCC, 0xBB, 0xAA, 255};
    EXPECT_EQ(want, ByteVec(shape, shape + 16));

    s.open_gate();
    ASSERT_TRUE(s.wait_done());
    ASSERT_TRUE(s.ok()) << s.error();
    ASSERT_TRUE(wait_until([&] { return vnc_get_status(cl.c) == VNC_STATUS_DISCONNECTED; }));
    EXPECT_EQ(0u, vnc_get_update_count(cl.c)) << "no pixel was ever drawn";
    unsigned serial2 = 0;
    EXPECT_EQ(0, vnc_get_cursor(cl.c, nullptr, 0, &w, &h, nullptr, nullptr, &serial2));
    EXPECT_EQ(0, w);
    EXPECT_EQ(0, h);
    EXPECT_GT(serial2, serial);

    unsigned rs = 0;
    EXPECT_EQ(0, vnc_get_desktop_size_status(cl.c, &rs)) << "the last answer was a success";
    EXPECT_EQ(2u, rs);
    ASSERT_EQ(0, vnc_get_dimensions(cl.c, &w, &h));
    EXPECT_EQ(20, w);
    EXPECT_EQ(12, h);

    char name[8];
    EXPECT_EQ(7, vnc_get_desktop_name(cl.c, nullptr, 0));
    EXPECT_EQ(7, vnc_get_desktop_name(cl.c, name, 5));
    EXPECT_STREQ("Gr\xC3\xBC", name);
    EXPECT_EQ(7, vnc_get_desktop_name(cl.c, name, 4)) << "cut before a character that does not fit";
    EXPECT_STREQ("Gr", name);
    EXPECT_EQ(-1, vnc_get_desktop_name(cl.c, nullptr, 4));
    EXPECT_EQ(-1, vnc_get_cut_text(cl.c, name, -1, nullptr));
    EXPECT_EQ(-1, vnc_get_cursor(nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, vnc_get_update_count(nullptr));
    EXPECT_EQ(-1, vnc_request_desktop_size(cl.c, 640, 480)) << "not connected";
    char reason[128];
    ASSERT_GT(vnc_get_end_reason(cl.c, reason, sizeof reason), 0);
    EXPECT_STREQ("Server closed the connection", reason);
}

// Why a connect failed or a connection ended, with the detail the fixed
// texts of vnc_last_error leave out.
TEST(Extensions, EndReasons) {
    char reason[256];
    {
        // A port nobody listens on.
        vnc_socket_t l;
        ASSERT_EQ(0, vnc_sock_listen_loopback(0, &l));
        const int port = vnc_sock_local_port(l);
        vnc_sock_close(l);
        Conn cl;
        ASSERT_EQ(-1, vnc_connect(cl.c, "127.0.0.1", port, nullptr));
        EXPECT_STREQ("Could not connect to VNC server", vnc_last_error());
        vnc_get_end_reason(cl.c, reason, sizeof reason);
        EXPECT_NE(nullptr, std::strstr(reason, "Connection refused")) << reason;
    }
    // Refusals in the handshake: the server's own reason where it gives
    // one (a NUL inside, as QEMU sends it), what it offered where nothing fits.
    const struct {
        Bytes after_version;
        int reads;
        const char *reason;
    } refusals[] = {
        {Bytes{1, 2}.fill(16, 7).u32(1).u32(22).str("Authentication failed").u8(0), 2,
         "VNC Authentication failed: Authentication failed (SecurityResult 1)"},
        {Bytes{1, 2}.fill(16, 7).u32(2).u32(0), 2, "VNC Authentication failed (SecurityResult 2)"},
        {Bytes{2, 19, 16}, 0, "No compatible RFB security type: the server offers 19 (VeNCrypt), 16 (Tight)"},
    };
    for (const auto &r : refusals) {
        ScriptedServer s;
        s.send("RFB 003.008\n").read(12).send(r.after_version);
        for (int i = 0; i < r.reads; ++i) s.read(i == 0 ? 1 : 16);
        s.start();
        Conn cl;
        ASSERT_EQ(-1, vnc_connect(cl.c, "127.0.0.1", s.port(), "pw"));
        vnc_get_end_reason(cl.c, reason, sizeof reason);
        EXPECT_STREQ(r.reason, reason);
    }
    {
        // A rectangle cut off by the server, then a connection closed by us.
        ScriptedServer s;
        s.handshake(10, 10).send(Bytes().u8(0).u8(0).u16(1).rect(0, 0, 4, 4, 0).fill(10, 1)).close();
        s.start();
        Conn cl;
        ASSERT_EQ(0, vnc_connect(cl.c, "127.0.0.1", s.port(), nullptr));
        ASSERT_TRUE(wait_until([&] { return vnc_get_status(cl.c) == VNC_STATUS_DISCONNECTED; }));
        vnc_get_end_reason(cl.c, reason, sizeof reason);
        EXPECT_STREQ("Server closed the connection while sending a rectangle of encoding 0", reason);
        ScriptedServer t;
        t.handshake(10, 10).gate();
        t.start();
        ASSERT_EQ(0, vnc_connect(cl.c, "127.0.0.1", t.port(), nullptr));
        EXPECT_EQ(0, vnc_get_end_reason(cl.c, reason, sizeof reason)) << "empty while connected";
        vnc_disconnect(cl.c);
        t.open_gate();
        vnc_get_end_reason(cl.c, reason, sizeof reason);
        EXPECT_STREQ("Closed by vnc_disconnect", reason);
    }
}

// vnc_wait_event: each cause raises its bit; a disconnect or a destroy from
// another thread wakes a waiter at once.
TEST(Events, EachCauseWakesTheWaiter) {
    const struct {
        const char *what;
        Bytes server;
        int bit;
    } cases[] = {
        {"update", Bytes().u8(0).u8(0).u16(1).rect(0, 0, 1, 1, 0).pixel(7), VNC_EVENT_UPDATE},
        {"bell", Bytes().u8(2), VNC_EVENT_BELL},
        {"clipboard", Bytes().u8(3).fill(3, 0).u32(1).str("x"), VNC_EVENT_CLIPBOARD},
        {"cursor", Bytes().u8(0).u8(0).u16(1).rect(0, 0, 0, 0, kEncodingCursor), VNC_EVENT_CURSOR},
        {"resize", Bytes().u8(0).u8(0).u16(1).rect(0, 0, 4, 4, kEncodingDesktopSize),
         VNC_EVENT_DESKTOP_SIZE | VNC_EVENT_UPDATE},
        {"resize answer", Bytes().u8(0).u8(0).u16(1).rect(1, 1, 10, 10, kEncodingExtDesktopSize).u8(0).fill(3, 0),
         VNC_EVENT_DESKTOP_SIZE},
        {"server gone", Bytes(), VNC_EVENT_STATUS},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        ScriptedServer s;
        s.handshake(10, 10).gate().send(k.server).pause(100).close();
        s.start();
        Conn cl;
        ASSERT_EQ(0, vnc_connect(cl.c, "127.0.0.1", s.port(), nullptr));
        EXPECT_EQ(VNC_EVENT_STATUS, vnc_wait_event(cl.c, 0)) << "connected";
        EXPECT_EQ(0, vnc_wait_event(cl.c, 50));
        s.open_gate();
        int got = 0;
        ASSERT_TRUE(wait_until([&] { return ((got |= vnc_wait_event(cl.c, 1000)) & k.bit) == k.bit; }));
    }
    EXPECT_EQ(-1, vnc_wait_event(nullptr, 0));
    for (const bool destroy : {false, true}) {
        ScriptedServer s;
        s.handshake(10, 10).gate();
        s.start();
        vnc_client_t *c = vnc_create();
        ASSERT_EQ(0, vnc_connect(c, "127.0.0.1", s.port(), nullptr));
        vnc_wait_event(c, 0);
        std::thread waiter([c] { vnc_wait_event(c, -1); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        destroy ? vnc_destroy(c) : (void)vnc_disconnect(c);
        waiter.join();  // returned: woken
        if (!destroy) vnc_destroy(c);
        s.open_gate();
    }
}

// vnc_sync through a fence (with continuous updates, which then replace
// the update requests until the close ends them) and through a request for
// the top-left pixel; the update before the answer is in by then.
TEST(Events, SyncAndContinuousUpdates) {
    for (const bool fences : {true, false}) {
        SCOPED_TRACE(fences ? "fence" : "request");
        ScriptedServer s;
        const ByteVec payload = Bytes().str("qvsy").u32(1).vec();
        if (fences) {
            s.handshake(10, 10, "test", 8).send(Bytes{248, 0, 0, 0, 0x80, 0, 0, 0, 1, 0, 150});
            s.read(10).read(10).gate().read(17);
            s.send(Bytes().u8(0).u8(0).u16(1).rect(5, 5, 1, 1, 0).pixel(0xFF123456));
            s.send(Bytes{248, 0, 0, 0, 0, 0, 0, 1, 8}.raw(payload)).read(10).expect_closed();
        } else {
            s.handshake(10, 10).gate().read(10);
            s.send(Bytes().u8(0).u8(0).u16(1).rect(0, 0, 1, 1, 0).pixel(0xFF123456)).read(10);
        }
        s.start();
        Conn cl;
        if (fences) {
            ASSERT_EQ(0, vnc_set_option(cl.c, "continuous-updates", "on"));
        }
        ASSERT_EQ(0, vnc_connect(cl.c, "127.0.0.1", s.port(), nullptr));
        ASSERT_TRUE(wait_until([&] { return s.steps_done() >= (fences ? 13u : 10u); }));
        auto sync = std::async(std::launch::async, [&] { return vnc_sync(cl.c, 5000); });
        s.open_gate();
        ASSERT_EQ(fences ? VNC_SYNC_FENCE : VNC_SYNC_UPDATE, sync.get());
        EXPECT_TRUE(vnc_wait_event(cl.c, 0) & VNC_EVENT_SYNC);
        void *px;
        int stride, w, h;
        ASSERT_EQ(0, vnc_lock_framebuffer(cl.c, &px, &stride, &w, &h));
        EXPECT_EQ(0xFF123456u, static_cast<uint32_t *>(px)[fences ? 55 : 0]);
        vnc_unlock_framebuffer(cl.c);
        if (fences) {
            EXPECT_EQ((ByteVec{248, 0, 0, 0, 0, 0, 0, 0, 1, 0}), s.read_at(6)) << "the server's fence answered";
            EXPECT_EQ((ByteVec{150, 1, 0, 0, 0, 0, 0, 10, 0, 10}), s.read_at(7)) << "enabled";
            const ByteVec sync_fence = Bytes{248, 0, 0, 0, 0x80, 0, 0, 1, 8}.raw(payload).vec();
            EXPECT_EQ(sync_fence, s.read_at(8));
            vnc_disconnect(cl.c);
            EXPECT_EQ((ByteVec{150, 0, 0, 0, 0, 0, 0, 10, 0, 10}), s.read_at(9))
                << "no update request while continuous, and ended at the close";
        } else {
            EXPECT_EQ((ByteVec{3, 0, 0, 0, 0, 0, 0, 1, 0, 1}), s.read_at(6));
        }
        ASSERT_TRUE(s.wait_done());
        EXPECT_TRUE(s.ok()) << s.error();
    }
}

// What the server may have in flight follows the host: a server fence
// behind an update is answered only once that update is handed over, so a
// host that holds the framebuffer lock holds the answer (and a server that
// paces by its fences) back.
TEST(Events, FenceAnswerWaitsForTheHandOver) {
    ScriptedServer s;
    s.handshake(10, 10).gate();
    s.send(Bytes().u8(0).u8(0).u16(1).rect(0, 0, 1, 1, 0).pixel(0xFF00FF00));
    s.send(Bytes{248, 0, 0, 0, 0x80, 0, 0, 1, 2, 'h', 'i'}).read(10).read(11);
    s.start();
    Conn cl;
    ASSERT_EQ(0, vnc_connect(cl.c, "127.0.0.1", s.port(), nullptr));
    ASSERT_TRUE(wait_until([&] { return s.steps_done() >= 10; }));
    void *px;
    int stride, w, h;
    vnc_lock_framebuffer(cl.c, &px, &stride, &w, &h);
    s.open_gate();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(13u, s.steps_done()) << "no request and no answer while the host holds the lock";
    vnc_unlock_framebuffer(cl.c);
    ASSERT_TRUE(s.wait_done());
    ASSERT_TRUE(s.ok()) << s.error();
    EXPECT_EQ((ByteVec{248, 0, 0, 0, 0, 0, 0, 1, 2, 'h', 'i'}), s.read_at(7));
}
