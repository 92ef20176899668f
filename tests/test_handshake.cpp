// vnc_connect against a scripted server: version and security negotiation,
// failure texts and where they land, ServerInit and the set-up messages.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "test_util.h"
#include "vnc_client_internal.h"
#include "vnc_des.h"

namespace {

const std::vector<uint8_t> kSetPixelFormat = {0, 0, 0, 0, 32, 24, 0, 1, 0,  255,
                                              0, 255, 0, 255, 16, 8, 0, 0, 0, 0};
const std::vector<uint8_t> kSetEncodings = {2,    0,    0,    6,    0,    0,    0,
                                            16,   0,    0,    0,    5,    0,    0,
                                            0,    2,    0,    0,    0,    1,    0,
                                            0,    0,    0,    0xFF, 0xFF, 0xFF, 0x21};

std::vector<uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

Bytes server_init(int w, int h, const std::string &name) {
    Bytes b;
    b.u16(w).u16(h).raw({32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0});
    b.u32(static_cast<uint32_t>(name.size())).str(name);
    return b;
}

// The rest of a handshake once security is done: ClientInit, ServerInit,
// the two set-up messages and the first update request.
void finish_handshake(ScriptedServer &s, int w = 64, int h = 48, const std::string &name = "desk") {
    s.read(1).send(server_init(w, h, name)).read(20).read(28).read(10);
}

struct Client {
    vnc_client_t *c = vnc_create();
    ~Client() { vnc_destroy(c); }
    int connect(const ScriptedServer &s, const char *pw = nullptr) {
        return vnc_connect(c, "127.0.0.1", s.port(), pw);
    }
};

}  // namespace

TEST(Handshake, Version38NoneSendsExactSetupBytes) {
    ScriptedServer s;
    s.send("RFB 003.008\n").read(12).send(Bytes{1, 1}).read(1).send(Bytes().u32(0));
    // The three set-up messages come in one write: a server that acts on
    // the first before the next has come (a resize before SetEncodings)
    // would treat us as a client without them.
    s.read(1).send(server_init(1024, 768, "my desktop")).receive_once(256);
    s.start();
    Client cl;
    ASSERT_EQ(0, cl.connect(s));
    ASSERT_TRUE(s.wait_done()) << s.error();
    ASSERT_TRUE(s.ok()) << s.error();
    EXPECT_EQ(VNC_STATUS_CONNECTED, vnc_get_status(cl.c));
    EXPECT_EQ(bytes_of("RFB 003.008\n"), s.read_at(0));
    EXPECT_EQ(std::vector<uint8_t>{1}, s.read_at(1));  // None chosen
    EXPECT_EQ(std::vector<uint8_t>{1}, s.read_at(2));  // ClientInit, shared
    std::vector<uint8_t> setup = kSetPixelFormat;
    setup.insert(setup.end(), kSetEncodings.begin(), kSetEncodings.end());
    setup.insert(setup.end(), {3, 0, 0, 0, 0, 0, 0x04, 0x00, 0x03, 0x00});
    EXPECT_EQ(setup, s.read_at(3));
    int w = 0, h = 0;
    ASSERT_EQ(0, vnc_get_dimensions(cl.c, &w, &h));
    EXPECT_EQ(1024, w);
    EXPECT_EQ(768, h);
    EXPECT_STREQ("my desktop", cl.c->desktop_name);
    int x, y;
    EXPECT_EQ(0, vnc_get_dirty_rect(cl.c, &x, &y, &w, &h)) << "ServerInit leaves nothing dirty";
    void *px;
    int stride;
    ASSERT_EQ(0, vnc_lock_framebuffer(cl.c, &px, &stride, &w, &h));
    EXPECT_EQ(1024 * 4, stride);
    const uint32_t *p = static_cast<const uint32_t *>(px);
    EXPECT_EQ(0u, p[0]);
    EXPECT_EQ(0u, p[1024 * 768 - 1]);
    vnc_unlock_framebuffer(cl.c);
}

// Each greeting and the reply the client must give.
TEST(Handshake, VersionSelection) {
    struct Case {
        const char *greeting;
        const char *reply;
    } cases[] = {
        {"RFB 003.889\n", "RFB 003.008\n"}, {"RFB 003.008\n", "RFB 003.008\n"},
        {"RFB 003.007\n", "RFB 003.007\n"}, {"RFB 003.005\n", "RFB 003.003\n"},
        {"RFB 004.001\n", "RFB 003.003\n"}, {"RFB 003.003\n", "RFB 003.003\n"},
        {"hello world\n", "RFB 003.008\n"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.greeting);
        ScriptedServer s;
        s.send(k.greeting).read(12);
        if (std::string(k.reply) == "RFB 003.003\n") {
            s.send(Bytes().u32(1));  // 3.3: the server decides, None
        } else {
            s.send(Bytes{1, 1}).read(1);
            if (std::string(k.reply) == "RFB 003.008\n") s.send(Bytes().u32(0));
        }
        finish_handshake(s);
        s.start();
        Client cl;
        EXPECT_EQ(0, cl.connect(s));
        ASSERT_TRUE(s.wait_done());
        EXPECT_TRUE(s.ok()) << s.error();
        EXPECT_EQ(bytes_of(k.reply), s.read_at(0));
    }
}

// 3.7 with None goes straight to ClientInit: a SecurityResult would be
// misread as ServerInit here, so a correct client sees the right size.
TEST(Handshake, Version37NoneSkipsSecurityResult) {
    ScriptedServer s;
    s.send("RFB 003.007\n").read(12).send(Bytes{1, 1}).read(1);
    finish_handshake(s, 300, 200);
    s.start();
    Client cl;
    ASSERT_EQ(0, cl.connect(s));
    ASSERT_TRUE(s.wait_done());
    EXPECT_TRUE(s.ok()) << s.error();
    int w, h;
    vnc_get_dimensions(cl.c, &w, &h);
    EXPECT_EQ(300, w);
    EXPECT_EQ(200, h);
}

TEST(Handshake, VncAuthResponseForEachVersion) {
    const uint8_t challenge[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    uint8_t expected[16];
    vnc_des_encrypt_challenge(challenge, "secret", expected);
    std::vector<uint8_t> want(expected, expected + 16);
    Bytes ch;
    for (uint8_t b : challenge) ch.u8(b);

    for (int version : {3, 7, 8}) {
        SCOPED_TRACE(version);
        ScriptedServer s;
        s.send("RFB 003.00" + std::to_string(version) + "\n").read(12);
        if (version == 3) {
            s.send(Bytes().u32(2));
        } else {
            s.send(Bytes{2, 1, 2}).read(1);
        }
        // The SecurityResult follows VNC auth in every version, 3.7 included.
        s.send(ch).read(16).send(Bytes().u32(0));
        finish_handshake(s);
        s.start();
        Client cl;
        ASSERT_EQ(0, cl.connect(s, "secret"));
        ASSERT_TRUE(s.wait_done());
        ASSERT_TRUE(s.ok()) << s.error();
        size_t resp = version == 3 ? 1 : 2;
        if (version != 3) {
            EXPECT_EQ(std::vector<uint8_t>{2}, s.read_at(1));
        }
        EXPECT_EQ(want, s.read_at(resp));
    }
}

// Version 3.3: only the least significant byte of the type word counts.
TEST(Handshake, Version33SecurityTypeWord) {
    struct Case {
        uint32_t word;
        bool auth;
    } cases[] = {{1, false}, {258, true}, {0x00000102u, true}, {0x0201, false}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.word);
        ScriptedServer s;
        s.send("RFB 003.003\n").read(12).send(Bytes().u32(k.word));
        if (k.auth) s.send(Bytes().fill(16, 7)).read(16).send(Bytes().u32(0));
        finish_handshake(s);
        s.start();
        Client cl;
        EXPECT_EQ(0, cl.connect(s, "pw"));
        ASSERT_TRUE(s.wait_done());
        EXPECT_TRUE(s.ok()) << s.error();
    }
}

TEST(Handshake, SecurityTypeChoice) {
    struct Case {
        std::vector<uint8_t> offered;
        const char *password;
        uint8_t chosen;
        // With password-charset utf8, the key DES gets: the Latin-1 form.
        const char *utf8_key = nullptr;
    } cases[] = {
        {{1, 2}, "pw", 2},  {{1, 2}, nullptr, 1}, {{1, 2}, "", 1},     {{2, 1}, nullptr, 1},
        {{2}, nullptr, 2},  {{1}, "pw", 1},       {{5, 2, 16}, "", 2}, {{16, 1, 2}, "x", 2},
        {{2}, "p\xC3\xA4\xE2\x82\xAC", 2},  // bytes by default: the UTF-8 as it is
        {{2}, "p\xC3\xA4\xE2\x82\xAC", 2, "p\xE4?"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string("password ") + (k.password ? k.password : "(null)"));
        ScriptedServer s;
        Bytes list;
        list.u8(static_cast<uint32_t>(k.offered.size())).raw(k.offered);
        s.send("RFB 003.008\n").read(12).send(list).read(1);
        uint8_t expected[16];
        const uint8_t zeros[16] = {0};
        if (k.chosen == 2) {
            s.send(Bytes().fill(16, 0)).read(16);
            vnc_des_encrypt_challenge(zeros, k.utf8_key ? k.utf8_key : k.password, expected);
        }
        s.send(Bytes().u32(0));
        finish_handshake(s);
        s.start();
        Client cl;
        if (k.utf8_key) {
            ASSERT_EQ(0, vnc_set_option(cl.c, "password-charset", "utf8"));
        }
        EXPECT_EQ(0, cl.connect(s, k.password));
        ASSERT_TRUE(s.wait_done());
        ASSERT_TRUE(s.ok()) << s.error();
        EXPECT_EQ(std::vector<uint8_t>{k.chosen}, s.read_at(1));
        if (k.chosen == 2) {
            // No password: the response is made with the all-zero key.
            EXPECT_EQ(std::vector<uint8_t>(expected, expected + 16), s.read_at(2));
        }
    }
}

TEST(Handshake, NoCompatibleSecurityType) {
    ScriptedServer s;
    s.send("RFB 003.008\n").read(12).send(Bytes{2, 16, 18}).expect_closed();
    s.start();
    Client cl;
    EXPECT_EQ(-1, cl.connect(s, "pw"));
    EXPECT_STREQ("No compatible RFB security type supported by server", vnc_last_error());
    EXPECT_STREQ("No compatible RFB security type supported by server", cl.c->last_error);
    EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(cl.c));
    ASSERT_TRUE(s.wait_done());
    EXPECT_TRUE(s.ok()) << "socket must be closed: " << s.error();
}

// A refusal (3.3 type word ending in 0, or a count of 0): the server's
// reason, or a fixed text when none can be read, in both buffers whatever
// they held, and nothing more is sent.
TEST(Handshake, Refusals) {
    const std::string fixed = "Server refused the connection";
    struct Case {
        const char *greeting;
        Bytes refusal;  // from the type word or count on; the connection closes after
        std::string text;
    } cases[] = {
        {"RFB 003.008\n", Bytes().u8(0).u32(20).str("too many connections"), "too many connections"},
        {"RFB 003.003\n", Bytes().u32(0).u32(26).str("Too many security failures"),
         "Too many security failures"},
        {"RFB 003.003\n", Bytes().u32(0x100).u32(4).str("busy"), "busy"},  // only the last byte
        {"RFB 003.007\n", Bytes().u8(0).u32(511).fill(511, 'r'), std::string(511, 'r')},
        {"RFB 003.008\n", Bytes().u8(0).u32(0).str("abc"), fixed},
        {"RFB 003.008\n", Bytes().u8(0).u32(512).fill(512, 'r'), fixed},
        {"RFB 003.003\n", Bytes().u32(0).u32(0xFFFFFFFFu).str("abc"), fixed},
        {"RFB 003.003\n", Bytes().u32(0).u32(10).str("cut"), fixed},  // reason cut short
        {"RFB 003.008\n", Bytes().u8(0).u8(0), fixed},                // length cut short
        {"RFB 003.003\n", Bytes().u32(0).u32(3).fill(3, 0), fixed},   // empty as a text
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.text);
        vnc_connect(nullptr, "x", 1, nullptr);  // a stale global text
        ScriptedServer s;
        s.send(k.greeting).read(12).send(k.refusal).close();
        s.start();
        Client cl;
        std::strcpy(cl.c->last_error, "stale");
        EXPECT_EQ(-1, cl.connect(s, "pw"));
        EXPECT_EQ(k.text, vnc_last_error());
        EXPECT_EQ(k.text, cl.c->last_error);
        EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(cl.c));
        EXPECT_EQ(VNC_INVALID_SOCKET, cl.c->sock);
        ASSERT_TRUE(s.wait_done());
    }
}

// After a refusal the client sends nothing more (no ClientInit) and closes.
TEST(Handshake, NothingSentAfterRefusal) {
    for (const char *greeting : {"RFB 003.003\n", "RFB 003.008\n"}) {
        SCOPED_TRACE(greeting);
        const bool v33 = greeting[10] == '3';
        ScriptedServer s;
        Bytes refusal = v33 ? Bytes().u32(0) : Bytes().u8(0);
        s.send(greeting).read(12).send(refusal.u32(2).str("no")).read(1, 2000);
        s.start();
        Client cl;
        EXPECT_EQ(-1, cl.connect(s));
        ASSERT_TRUE(s.wait_done());
        EXPECT_FALSE(s.ok()) << "the client sent a byte after the refusal";
        EXPECT_TRUE(s.read_at(1).empty());
    }
}

// Each step that can fail by the server going silent or away, and its text.
TEST(Handshake, FailureTexts) {
    struct Case {
        const char *text;
        std::function<void(ScriptedServer &)> script;
    } cases[] = {
        {"Failed to read RFB protocol version from server",
         [](ScriptedServer &s) { s.send("RFB 003").close(); }},
        {"Failed to read RFB 3.3 security type",
         [](ScriptedServer &s) { s.send("RFB 003.003\n").read(12).send(Bytes{0, 0}).close(); }},
        {"Failed to read security types count",
         [](ScriptedServer &s) { s.send("RFB 003.008\n").read(12).close(); }},
        {"Failed to read VNC auth challenge",
         [](ScriptedServer &s) {
             s.send("RFB 003.008\n").read(12).send(Bytes{1, 2}).read(1).send(Bytes().fill(8, 1)).close();
         }},
        {"Failed to read SecurityResult",
         [](ScriptedServer &s) {
             s.send("RFB 003.008\n").read(12).send(Bytes{1, 1}).read(1).send(Bytes{0, 0}).close();
         }},
        {"VNC Authentication failed",
         [](ScriptedServer &s) {
             s.send("RFB 003.008\n").read(12).send(Bytes{1, 2}).read(1);
             s.send(Bytes().fill(16, 3)).read(16).send(Bytes().u32(1).u32(4).str("nope"));
         }},
        {"VNC Authentication failed",  // a failed result after None, too
         [](ScriptedServer &s) {
             s.send("RFB 003.008\n").read(12).send(Bytes{1, 1}).read(1).send(Bytes().u32(2));
         }},
        {"Failed to read ServerInit header",
         [](ScriptedServer &s) {
             s.send("RFB 003.008\n").read(12).send(Bytes{1, 1}).read(1).send(Bytes().u32(0));
             s.read(1).send(Bytes().fill(10, 0)).close();
         }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.text);
        ScriptedServer s;
        k.script(s);
        s.start();
        Client cl;
        EXPECT_EQ(-1, cl.connect(s, "password"));
        EXPECT_STREQ(k.text, vnc_last_error());
        EXPECT_STREQ(k.text, cl.c->last_error);
        EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(cl.c));
        EXPECT_EQ(VNC_INVALID_SOCKET, cl.c->sock);
        ASSERT_TRUE(s.wait_done());
    }
}

TEST(Handshake, ResolveAndConnectFailures) {
    Client cl;
    EXPECT_EQ(-1, vnc_connect(cl.c, "no-such-host.invalid", 5900, nullptr));
    EXPECT_STREQ("Failed to resolve host", vnc_last_error());
    EXPECT_STREQ("Failed to resolve host", cl.c->last_error);
    EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(cl.c));

    // A port nobody listens on: take one from a listener, then close it.
    vnc_socket_t l;
    ASSERT_EQ(0, vnc_sock_listen_loopback(0, &l));
    int port = vnc_sock_local_port(l);
    vnc_sock_close(l);
    EXPECT_EQ(-1, vnc_connect(cl.c, "127.0.0.1", port, nullptr));
    EXPECT_STREQ("Could not connect to VNC server", vnc_last_error());
    EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(cl.c));
}

TEST(Handshake, InvalidArguments) {
    Client cl;
    for (int port : {0, -1, 65536, 70000}) {
        std::strcpy(cl.c->last_error, "");
        EXPECT_EQ(-1, vnc_connect(cl.c, "127.0.0.1", port, nullptr));
        EXPECT_STREQ("Invalid connection arguments", cl.c->last_error);
        EXPECT_STREQ("Invalid connection arguments", vnc_last_error());
        EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(cl.c)) << "status unchanged";
    }
    EXPECT_EQ(-1, vnc_connect(cl.c, nullptr, 5900, nullptr));
    EXPECT_EQ(VNC_STATUS_DISCONNECTED, vnc_get_status(cl.c));
}

// 200-byte name: 127 kept, 73 drained, so what follows is read in step.
TEST(Handshake, LongDesktopNameIsCutAndDrained) {
    std::string name;
    for (int i = 0; i < 200; ++i) name += static_cast<char>('a' + i % 26);
    ScriptedServer s;
    s.send("RFB 003.008\n").read(12).send(Bytes{1, 1}).read(1).send(Bytes().u32(0));
    s.read(1).send(server_init(20, 10, name)).read(20).read(28).read(10);
    // A ServerCutText right after: only readable if the name was drained exactly.
    s.send(Bytes().u8(3).fill(3, 0).u32(5).str("hello"));
    s.start();
    Client cl;
    ASSERT_EQ(0, cl.connect(s));
    EXPECT_EQ(name.substr(0, 127), std::string(cl.c->desktop_name));
    char text[8] = {0};
    ASSERT_TRUE(wait_until([&] { return vnc_get_cut_text(cl.c, text, sizeof text, nullptr) > 0; }));
    EXPECT_STREQ("hello", text);
}

// A server that announces a huge name and stalls: the handshake fails at the
// first failed wait instead of waiting a second per 64 bytes.
TEST(Handshake, StalledLongNameFailsTheHandshake) {
    ScriptedServer s;
    s.send("RFB 003.008\n").read(12).send(Bytes{1, 1}).read(1).send(Bytes().u32(0));
    Bytes init;
    init.u16(20).u16(10).raw({32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0});
    init.u32(0xFFFFFFF0u).fill(200, 'n');
    s.read(1).send(init).gate();
    s.start();
    Client cl;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, cl.connect(s));
    auto spent = std::chrono::steady_clock::now() - t0;
    s.open_gate();
    EXPECT_STREQ("Failed to read ServerInit desktop name", vnc_last_error());
    EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(cl.c));
    // Bounded by one drain wait, not by the announced length.
    EXPECT_LT(spent, std::chrono::seconds(30));
}

// However slowly a server trickles its bytes, vnc_connect ends within one
// limit for the whole handshake.
TEST(Handshake, TricklingServerIsBoundedByTheHandshakeLimit) {
    vnc_set_handshake_timeout_for_testing(600);
    ScriptedServer s;
    s.send("RFB 003.008\n").read(12).send(Bytes{1, 1}).read(1).send(Bytes().u32(0));
    Bytes init;
    init.u16(20).u16(10).raw({32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0});
    s.read(1).send(init.u32(400).fill(127, 'n'));
    for (int i = 0; i < 40; ++i) s.send(Bytes{'n'}).pause(100);
    s.start();
    Client cl;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, cl.connect(s));
    const auto spent = std::chrono::steady_clock::now() - t0;
    vnc_set_handshake_timeout_for_testing(0);
    EXPECT_EQ(VNC_STATUS_ERROR, vnc_get_status(cl.c));
    EXPECT_LT(spent, std::chrono::milliseconds(2500));
}

// The pixel count is limited before anything is allocated; a long thin strip
// within it is fine.
TEST(Handshake, FramebufferSizeLimit) {
    const struct {
        int w, h;
        bool ok;
    } sizes[] = {{65535, 65535, false}, {16384, 8193, false}, {65535, 2, true}, {16384, 8192, true}};
    for (const auto &z : sizes) {
        SCOPED_TRACE(testing::Message() << z.w << "x" << z.h);
        ScriptedServer s;
        s.send("RFB 003.008\n").read(12).send(Bytes{1, 1}).read(1).send(Bytes().u32(0));
        s.read(1).send(server_init(z.w, z.h, "big")).read(z.ok ? 58 : 0);
        s.start();
        Client cl;
        ASSERT_EQ(z.ok ? 0 : -1, cl.connect(s));
        if (!z.ok) {
            EXPECT_STREQ("Server framebuffer is too large", vnc_last_error());
        }
        int w = -1, h = -1;
        vnc_get_dimensions(cl.c, &w, &h);
        EXPECT_EQ(z.ok ? z.w : 0, w);
    }
}

TEST(Handshake, EmptyNameKeepsPreviousName) {
    Client cl;
    {
        ScriptedServer s;
        s.handshake(8, 8, "first");
        s.start();
        ASSERT_EQ(0, cl.connect(s));
        ASSERT_TRUE(s.wait_done());
    }
    ScriptedServer s2;
    s2.handshake(8, 8, "");
    s2.start();
    ASSERT_EQ(0, cl.connect(s2));
    ASSERT_TRUE(s2.wait_done());
    EXPECT_STREQ("first", cl.c->desktop_name);
}

// Connecting a connected handle closes the first connection before the second.
TEST(Handshake, ConnectOnConnectedHandleDisconnectsFirst) {
    ScriptedServer a;
    a.handshake(16, 16).expect_closed();
    a.start();
    Client cl;
    ASSERT_EQ(0, cl.connect(a));
    // The worker's first request goes out on its own thread: let it pass first.
    ASSERT_TRUE(wait_until([&] { return a.reads().size() >= 6; }));
    ScriptedServer b;
    b.handshake(32, 8);
    b.start();
    ASSERT_EQ(0, cl.connect(b));
    ASSERT_TRUE(a.wait_done());
    EXPECT_TRUE(a.ok()) << "first connection must be closed: " << a.error();
    ASSERT_TRUE(b.wait_done());
    EXPECT_TRUE(b.ok()) << b.error();
    int w, h;
    vnc_get_dimensions(cl.c, &w, &h);
    EXPECT_EQ(32, w);
    EXPECT_EQ(8, h);
}

// The custom encoding list seam used by the interop tests.
TEST(Handshake, EncodingListSeam) {
    ScriptedServer s;
    s.send("RFB 003.008\n").read(12).send(Bytes{1, 1}).read(1).send(Bytes().u32(0));
    s.read(1).send(server_init(8, 8, "x")).read(20).read(12).read(10);
    s.start();
    Client cl;
    const int32_t list[] = {5, -223};
    vnc_set_encodings_for_testing(cl.c, list, 2);
    ASSERT_EQ(0, cl.connect(s));
    ASSERT_TRUE(s.wait_done());
    ASSERT_TRUE(s.ok()) << s.error();
    EXPECT_EQ((std::vector<uint8_t>{2, 0, 0, 2, 0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0x21}), s.read_at(4));
}

// The security option and VeNCrypt's negotiation up to where TLS would
// begin: the bytes the client sends, its choice by the host's order, and
// each refusal, after which nothing more is sent.
TEST(Handshake, SecurityOptionAndVeNCryptNegotiation) {
    const char *const kNoType = "No compatible RFB security type supported by server";
    struct Case {
        const char *name;
        std::vector<std::pair<const char *, const char *>> options;
        const char *greeting;
        Bytes offered;  // from the type count (or 3.3 word) on
        // VeNCrypt: the version the server speaks, its answer to ours,
        // the subtypes, its answer to the choice; empty version: no VeNCrypt.
        Bytes version, version_ack;
        std::vector<uint32_t> subtypes;
        int subtype_ack;  // -1: none (Plain, or no choice made)
        std::vector<uint8_t> sent;  // everything the client sends after its version
        const char *error;          // null: the handshake completes
        const char *info_type;
    } cases[] = {
        {"plain when listed, with its username",
         {{"security", "plain"}, {"username", "user"}}, "RFB 003.008\n", Bytes{2, 19, 2},
         Bytes{0, 2}, Bytes{0}, {257, 256}, -1,
         Bytes().u8(19).u8(0).u8(2).u32(256).u32(4).u32(2).str("user").str("pw").vec(), nullptr,
         "plain"},
        {"the host's order decides, then a refused subtype", {{"security", "x509none,plain,tlsnone"}},
         "RFB 003.008\n", Bytes{1, 19}, Bytes{0, 2}, Bytes{0}, {256, 257, 260}, 0,
         Bytes().u8(19).u8(0).u8(2).u32(260).vec(), "Server refused the VeNCrypt subtype",
         "x509none"},
        {"an older VeNCrypt", {{"security", "x509vnc"}}, "RFB 003.008\n", Bytes{1, 19},
         Bytes{0, 1}, Bytes(), {}, -1, {19}, "Server's VeNCrypt version is not supported", ""},
        {"version refused", {{"security", "tlsvnc"}}, "RFB 003.008\n", Bytes{1, 19}, Bytes{0, 2},
         Bytes{1}, {}, -1, {19, 0, 2}, "Server refused VeNCrypt version 0.2", ""},
        {"no subtypes", {{"security", "tlsvnc"}}, "RFB 003.008\n", Bytes{1, 19}, Bytes{0, 2},
         Bytes{0}, {}, -1, {19, 0, 2}, "Server offers no VeNCrypt subtype", ""},
        {"anonymous only to a host of X.509 only", {{"security", "x509vnc,x509none"}},
         "RFB 003.008\n", Bytes{1, 19}, Bytes{0, 2}, Bytes{0}, {257, 258, 259}, -1, {19, 0, 2},
         "No compatible VeNCrypt subtype: add one the server offers to the security option", ""},
        {"a listed type the server lacks", {{"security", "x509none"}}, "RFB 003.008\n",
         Bytes{2, 1, 2}, Bytes(), Bytes(), {}, -1, {}, kNoType, ""},
        {"plain is not taken unless listed", {}, "RFB 003.008\n", Bytes{1, 19}, Bytes(), Bytes(),
         {}, -1, {}, kNoType, ""},
        {"a 3.3 server's type must be listed", {{"security", "vncauth"}}, "RFB 003.003\n",
         Bytes().u32(1), Bytes(), Bytes(), {}, -1, {}, kNoType, ""},
        {"vncauth listed first", {{"security", "vncauth,none"}}, "RFB 003.008\n", Bytes{3, 19, 1, 2},
         Bytes(), Bytes(), {}, -1, {2}, nullptr, "vncauth"},
        {"default stays as it was beside VeNCrypt", {}, "RFB 003.008\n", Bytes{3, 19, 2, 1},
         Bytes(), Bytes(), {}, -1, {2}, nullptr, "vncauth"},
#ifdef _WIN32
        // SChannel has no anonymous TLS: refused where it would begin.
        {"anonymous TLS on Windows", {{"security", "tlsnone"}}, "RFB 003.008\n", Bytes{1, 19},
         Bytes{0, 2}, Bytes{0}, {257}, 1, Bytes().u8(19).u8(0).u8(2).u32(257).vec(),
         "This build's TLS (Windows SChannel) has no anonymous TLS", "tlsnone"},
#endif
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedServer s;
        s.send(k.greeting).read(12).send(k.offered);
        const bool vencrypt = k.version.size() != 0;
        const bool v33 = k.greeting[10] == '3';
        if (!v33 && !k.sent.empty()) s.read(1);
        if (vencrypt) {
            s.send(k.version);
            if (k.version.vec()[1] >= 2) {
                s.read(2).send(k.version_ack);
                if (!k.subtypes.empty()) {
                    Bytes list;
                    list.u8(static_cast<uint32_t>(k.subtypes.size()));
                    for (uint32_t t : k.subtypes) list.u32(t);
                    s.send(list);
                } else if (k.version_ack.vec()[0] == 0) {
                    s.send(Bytes{0});
                }
            }
        }
        const bool chose = k.sent.size() > 3 && vencrypt;
        if (chose) s.read(4);
        if (k.subtype_ack >= 0) s.send(Bytes().u8(static_cast<uint32_t>(k.subtype_ack)));
        const bool plain = chose && k.sent.size() > 7;
        if (plain) s.read(k.sent.size() - 7);
        if (!k.error) {
            if (k.sent == std::vector<uint8_t>{2}) s.send(Bytes().fill(16, 0)).read(16);
            s.send(Bytes().u32(0));
            finish_handshake(s);
        } else {
            s.expect_closed();
        }
        s.start();
        Client cl;
        for (const auto &o : k.options) ASSERT_EQ(0, vnc_set_option(cl.c, o.first, o.second));
        const int r = cl.connect(s, "pw");
        ASSERT_TRUE(s.wait_done());
        EXPECT_TRUE(s.ok()) << s.error();
        std::vector<uint8_t> sent;
        const auto reads = s.reads();
        for (size_t i = 1; i < reads.size(); ++i) {
            // The VNC response, ClientInit and the set-up messages are not
            // the negotiation's.
            if (!k.error && k.sent == std::vector<uint8_t>{2} && i > 1) break;
            if (!k.error && i + 4 >= reads.size() && vencrypt) break;
            if (k.error && i + 1 == reads.size()) {
                EXPECT_TRUE(reads[i].empty()) << "the client sent more after the refusal";
                break;
            }
            sent.insert(sent.end(), reads[i].begin(), reads[i].end());
        }
        EXPECT_EQ(k.sent, sent);
        char info[256] = "";
        vnc_get_security_info(cl.c, info, sizeof info);
        if (k.error) {
            EXPECT_EQ(-1, r);
            EXPECT_STREQ(k.error, vnc_last_error());
            EXPECT_EQ(VNC_INVALID_SOCKET, cl.c->sock);
        } else {
            EXPECT_EQ(0, r) << vnc_last_error();
        }
        EXPECT_EQ(k.info_type[0] ? std::string("type: ") + k.info_type + "\n" : std::string(),
                  std::string(info));
    }
}

TEST(Handshake, SecurityOptionValues) {
    Client cl;
    for (const char *good : {"x509vnc, x509plain,x509none,tlsvnc,tlsplain,tlsnone,anontls,plain,vncauth,none",
                             "none", "default"})
        EXPECT_EQ(0, vnc_set_option(cl.c, "security", good)) << good;
    for (const char *bad : {"", "vnc", "none,none", "none,", "tls"})
        EXPECT_EQ(-1, vnc_set_option(cl.c, "security", bad)) << bad;
    EXPECT_EQ(0, vnc_set_option(cl.c, "tls-pin", ("sha256:" + std::string(64, 'A')).c_str()));
    EXPECT_EQ(0, vnc_set_option(cl.c, "tls-pin", ""));
    EXPECT_EQ(-1, vnc_set_option(cl.c, "tls-pin", ("sha256:" + std::string(63, 'a')).c_str()));
    EXPECT_EQ(-1, vnc_set_option(cl.c, "tls-pin", ("sha1:" + std::string(64, 'a')).c_str()));
    EXPECT_EQ(0, vnc_set_option(cl.c, "tls-verify", "off"));
    EXPECT_EQ(-1, vnc_set_option(cl.c, "tls-verify", "no"));
    EXPECT_EQ(0, vnc_set_option(cl.c, "password-charset", "utf8"));
    EXPECT_EQ(0, vnc_set_option(cl.c, "password-charset", "bytes"));
    EXPECT_EQ(-1, vnc_set_option(cl.c, "password-charset", "latin1"));
}
