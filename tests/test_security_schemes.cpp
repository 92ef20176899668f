// Apple DH (30), MSLogonII (113) and RSA-AES (5, 6, 129, 130) against
// scripted servers that do the server's cryptography: the bytes we send
// where they are fixed, the credentials the server decrypts where they are
// not, and each failure's text.
#include <gtest/gtest.h>

#ifdef QV_HAVE_GCRYPT

#include <cstring>
#include <ostream>
#include <string>

#include "quenvira_vnc.h"
#include "scheme_peers.h"
#include "scripted_server.h"
#include "test_util.h"
#include "vnc_client_internal.h"
#include "vnc_crypto.h"

namespace {

Bytes server_init(int w, int h, const std::string &name) {
    Bytes b;
    b.u16(w).u16(h).raw({32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0});
    b.u32(static_cast<uint32_t>(name.size())).str(name);
    return b;
}

// The server's greeting and type list, our choice read.
void offer(ScriptedServer &s, uint8_t type) { s.send("RFB 003.008\n").read(12).send(Bytes{1, type}).read(1); }

// The rest of a plain handshake once security is done.
void finish(ScriptedServer &s) { s.read(1).send(server_init(64, 48, "desk")).read(20).read(28).read(10); }

struct Client {
    vnc_client_t *c = vnc_create();
    ~Client() { vnc_destroy(c); }
    void set(const char *name, const char *value) { ASSERT_EQ(0, vnc_set_option(c, name, value)) << name; }
    int connect(const ScriptedServer &s, const char *pw) { return vnc_connect(c, "127.0.0.1", s.port(), pw); }
    std::string end_reason() {
        char buf[512] = {0};
        vnc_get_end_reason(c, buf, sizeof buf);
        return buf;
    }
    std::string info() {
        char buf[1024] = {0};
        vnc_get_security_info(c, buf, sizeof buf);
        return buf;
    }
};

// Seeded random bytes for the client, and the same stream for the test.
struct SeededRandom {
    explicit SeededRandom(uint64_t seed) : seed_(seed) { vnc_random_seed_for_testing(seed); }
    ~SeededRandom() { vnc_random_seed_for_testing(0); }
    // The first n bytes the client will draw, without disturbing its stream.
    ByteVec first(size_t n) {
        ByteVec out(n);
        vnc_random_seed_for_testing(seed_);
        vnc_random(out.data(), n);
        vnc_random_seed_for_testing(seed_);
        return out;
    }
    uint64_t seed_;
};

ByteVec power(const ByteVec &b, const ByteVec &e, const ByteVec &m) {
    ByteVec out(m.size());
    EXPECT_TRUE(vnc_mod_pow(b.data(), b.size(), e.data(), e.size(), m.data(), m.size(), out.data(), out.size()));
    return out;
}

class Schemes : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(vnc_crypto_init());
        vnc_rsa_reuse_key_for_testing(true);
    }
};

TEST_F(Schemes, AppleDhSendsItsValueAndTheCredentials) {
    const ByteVec prime = oakley_group2();
    SeededRandom seeded(7);
    const ByteVec x = seeded.first(64);  // our secret: the first 64 bytes drawn
    const ByteVec ours = power({0, 2}, x, prime);
    // A server secret that makes the shared secret start with a zero byte:
    // the key is the MD5 of all 128 bytes, the zero kept.
    ByteVec y{1};
    while (power(ours, y, prime)[0] != 0) ++y[0];
    auto log = std::make_shared<PeerLog>();
    ScriptedServer s;
    offer(s, 30);
    s.run(dh_server(2, prime, y, log)).send(Bytes().u32(0));
    finish(s);
    s.start();
    Client cl;
    cl.set("security", "dh");
    cl.set("username", "alice");
    ASSERT_EQ(0, cl.connect(s, "pass word")) << cl.end_reason();
    ASSERT_TRUE(s.wait_done()) << s.error();
    ASSERT_TRUE(s.ok()) << s.error();
    EXPECT_EQ(ByteVec{30}, s.read_at(1));
    EXPECT_EQ("alice", log->username);
    EXPECT_EQ("pass word", log->password);
    ASSERT_EQ(128u + prime.size(), log->client_message.size());
    EXPECT_EQ(ours, ByteVec(log->client_message.begin() + 128, log->client_message.end()))
        << "the block goes first, then our public value, padded to the key length";
    EXPECT_NE(std::string::npos, cl.info().find("type: dh"));
}

TEST_F(Schemes, MsLogonIISendsItsValueAndTheCredentials) {
    // A password given as UTF-8 goes out in its Latin-1 form, as with VNC
    // authentication; given as bytes, as it is.
    const struct {
        const char *charset, *given, *sent;
    } rows[] = {{"bytes", "hunter2", "hunter2"},
                {"bytes", "h\xC3\xBCnter", "h\xC3\xBCnter"},
                {"utf8", "h\xC3\xBCnter", "h\xFCnter"}};
    for (const auto &k : rows) {
        SCOPED_TRACE(std::string(k.charset) + " " + k.given);
        SeededRandom seeded(11);
        const ByteVec x = seeded.first(8);
        const uint64_t gen = 5, mod = 4294967291ull;  // a prime below 2^32
        auto log = std::make_shared<PeerLog>();
        ScriptedServer s;
        offer(s, 113);
        s.run(mslogon2_server(gen, mod, 123456789, log)).send(Bytes().u32(0));
        finish(s);
        s.start();
        Client cl;
        cl.set("security", "mslogon2");
        cl.set("username", "DOMAIN\\bob");
        cl.set("password-charset", k.charset);
        ASSERT_EQ(0, cl.connect(s, k.given)) << cl.end_reason();
        ASSERT_TRUE(s.wait_done()) << s.error();
        ASSERT_TRUE(s.ok()) << s.error();
        EXPECT_EQ(ByteVec{113}, s.read_at(1));
        EXPECT_EQ("DOMAIN\\bob", log->username);
        EXPECT_EQ(k.sent, log->password);
        ASSERT_EQ(8u + 256 + 64, log->client_message.size());
        EXPECT_EQ(power(be_bytes(gen, 8), x, be_bytes(mod, 8)),
                  ByteVec(log->client_message.begin(), log->client_message.begin() + 8));
    }
}

// Failures of the two Diffie-Hellman schemes: each ends the connect with
// its text and sends nothing after what it had to.
TEST_F(Schemes, DiffieHellmanFailures) {
    const ByteVec prime = oakley_group2();
    struct Case {
        const char *name;
        uint8_t type;
        Bytes server;       // what the server sends after our choice
        bool close;         // then it closes
        bool wrong_result;  // answers the credentials with a failure
        const char *reason;
    };
    Bytes short_key = Bytes().u16(2).u16(127), long_key = Bytes().u16(2).u16(1025);
    Bytes half = Bytes().u16(2).u16(128).raw(ByteVec(prime.begin(), prime.begin() + 60));
    Bytes unity = Bytes().u16(2).u16(128).raw(prime).raw(be_bytes(1, 128));
    Bytes zero_mod = Bytes().raw(be_bytes(5, 8)).raw(be_bytes(0, 8)).raw(be_bytes(3, 8));
    const Case cases[] = {
        {"dh key below 128 bytes", 30, short_key, false, false, "key length of 127 bytes is outside 128..1024"},
        {"dh key above 1024 bytes", 30, long_key, false, false, "key length of 1025 bytes is outside 128..1024"},
        {"dh public value 1", 30, unity, false, false, "unusable Diffie-Hellman parameters"},
        {"dh server stops half way", 30, half, true, false, "the Diffie-Hellman parameters"},
        {"dh wrong password", 30, Bytes(), false, true, "Apple Diffie-Hellman authentication failed"},
        {"mslogon2 modulus 0", 113, zero_mod, false, false, "unusable MSLogonII parameters"},
        {"mslogon2 server stops half way", 113, Bytes().raw(be_bytes(5, 8)), true, false,
         "the MSLogonII parameters"},
        {"mslogon2 wrong password", 113, Bytes(), false, true, "MSLogonII authentication failed"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        auto log = std::make_shared<PeerLog>();
        ScriptedServer s;
        offer(s, k.type);
        if (k.wrong_result) {
            if (k.type == 30)
                s.run(dh_server(2, prime, {9}, log));
            else
                s.run(mslogon2_server(5, 4294967291ull, 77, log));
            s.send(Bytes().u32(1).u32(12).str("bad password")).expect_closed();
        } else {
            s.send(k.server);
            if (k.close)
                s.close();
            else
                s.expect_closed();
        }
        s.start();
        Client cl;
        cl.set("security", k.type == 30 ? "dh" : "mslogon2");
        cl.set("username", "u");
        EXPECT_NE(0, cl.connect(s, "pw"));
        ASSERT_TRUE(s.wait_done()) << s.error();
        EXPECT_TRUE(s.ok()) << s.error();
        EXPECT_NE(std::string::npos, cl.end_reason().find(k.reason)) << cl.end_reason();
        if (!k.close && !k.wrong_result) {
            EXPECT_TRUE(s.reads().back().empty()) << "sent after the failure";
        }
        EXPECT_EQ(std::string::npos, cl.end_reason().find("pw")) << "no password in the reason";
    }
}

struct Ra2Case {
    const char *option;
    uint8_t type;
};
void PrintTo(const Ra2Case &c, std::ostream *os) { *os << c.option; }

class Ra2 : public Schemes, public ::testing::WithParamInterface<Ra2Case> {};

// The whole exchange and a first update, with user name and password and
// with the password alone; the fingerprint shown and pinned.
TEST_P(Ra2, LogsInAndShowsTheFirstUpdate) {
    for (uint8_t subtype : {1, 2}) {
        SCOPED_TRACE(subtype);
        Ra2Options o;
        o.type = GetParam().type;
        o.subtype = subtype;
        o.want_user = subtype == 1 ? "carol" : "";
        o.want_password = "sesame";
        auto log = std::make_shared<PeerLog>();
        auto print = std::make_shared<std::string>();
        ScriptedServer s;
        offer(s, o.type);
        s.run(ra2_server(o, log, print));
        s.start();
        Client cl;
        cl.set("security", GetParam().option);
        cl.set("username", "carol");
        ASSERT_EQ(0, cl.connect(s, "sesame")) << cl.end_reason();
        EXPECT_EQ(ByteVec{o.type}, s.read_at(1));
        ASSERT_TRUE(wait_until([&] { return vnc_get_update_count(cl.c) >= 1; })) << cl.end_reason();
        void *px;
        int stride, w, h;
        ASSERT_EQ(0, vnc_lock_framebuffer(cl.c, &px, &stride, &w, &h));
        EXPECT_EQ(4, w);
        EXPECT_EQ(2, h);
        const uint8_t *p = static_cast<const uint8_t *>(px);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(i * 30, p[(i / 4) * stride + (i % 4) * 4]) << i;
        vnc_unlock_framebuffer(cl.c);
        EXPECT_EQ(o.want_user, log->username);
        EXPECT_EQ("sesame", log->password);
        EXPECT_NE(std::string::npos, cl.info().find(std::string("type: ") + GetParam().option + "\n"));
        EXPECT_NE(std::string::npos, cl.info().find("rsa-sha256: " + *print + "\n")) << cl.info();
        vnc_disconnect(cl.c);
        ASSERT_TRUE(s.wait_done()) << s.error();
        EXPECT_TRUE(s.ok()) << s.error();
    }
}

// Each refusal and failure ends the connect with its text.
TEST_P(Ra2, Failures) {
    struct Case {
        const char *name;
        Ra2Options o;
        const char *pin;
        const char *reason;
    };
    auto with = [&](auto change) {
        Ra2Options o;
        o.type = GetParam().type;
        o.want_user = "carol";
        o.want_password = "sesame";
        change(o);
        return o;
    };
    const Case cases[] = {
        {"key of 512 bits", with([](Ra2Options &o) { o.bits = 512; }), nullptr,
         "RSA key of 512 bits is outside 1024..8192"},
        {"key claiming 9000 bits", with([](Ra2Options &o) { o.claimed_bits = 9000; }), nullptr,
         "RSA key of 9000 bits is outside 1024..8192"},
        {"key smaller than it claims", with([](Ra2Options &o) { o.bits = 1024; o.claimed_bits = 1032; }),
         nullptr, "malformed"},
        {"bad hash", with([](Ra2Options &o) { o.bad_hash = true; }), nullptr,
         "hash of the keys does not match"},
        {"stops after its key", with([](Ra2Options &o) { o.stop_after_key = true; }), nullptr,
         "the server's random"},
        {"wrong password", with([](Ra2Options &o) { o.want_password = "other"; }), nullptr,
         "RSA-AES authentication failed: Authentication failed"},
        {"pin mismatch", with([](Ra2Options &) {}),
         "sha256:0000000000000000000000000000000000000000000000000000000000000000",
         "does not match rsa-pin"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        auto log = std::make_shared<PeerLog>();
        ScriptedServer s;
        offer(s, k.o.type);
        s.run(ra2_server(k.o, log)).close();
        s.start();
        Client cl;
        cl.set("security", GetParam().option);
        cl.set("username", "carol");
        if (k.pin) cl.set("rsa-pin", k.pin);
        EXPECT_NE(0, cl.connect(s, "sesame"));
        EXPECT_NE(std::string::npos, cl.end_reason().find(k.reason)) << cl.end_reason();
        EXPECT_EQ(std::string::npos, cl.end_reason().find("sesame"));
        vnc_disconnect(cl.c);
        s.wait_done();
        // A refused key is still shown, so that a host can offer to pin it.
        if (k.pin) {
            EXPECT_NE(std::string::npos, cl.info().find("rsa-sha256: "));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Types, Ra2,
                         ::testing::Values(Ra2Case{"ra2", 5}, Ra2Case{"ra2ne", 6}, Ra2Case{"ra2-256", 129},
                                           Ra2Case{"ra2ne-256", 130}),
                         [](const ::testing::TestParamInfo<Ra2Case> &i) { return std::to_string(i.param.type); });

// One flipped bit in a frame after the handshake: the connection ends, and
// the end reason says that a frame failed its check.
TEST_F(Schemes, AlteredRa2FrameEndsTheConnection) {
    for (uint8_t type : {5, 129}) {
        SCOPED_TRACE(type);
        Ra2Options o;
        o.type = type;
        o.want_user = "carol";
        o.want_password = "sesame";
        o.flip_after_auth = true;
        auto log = std::make_shared<PeerLog>();
        ScriptedServer s;
        offer(s, type);
        s.run(ra2_server(o, log));
        s.start();
        Client cl;
        cl.set("security", type == 5 ? "ra2" : "ra2-256");
        cl.set("username", "carol");
        ASSERT_EQ(0, cl.connect(s, "sesame")) << cl.end_reason();
        ASSERT_TRUE(wait_until([&] { return vnc_get_status(cl.c) != VNC_STATUS_CONNECTED; }))
            << "the altered frame was taken";
        EXPECT_NE(std::string::npos, cl.end_reason().find("failed its integrity check")) << cl.end_reason();
        vnc_disconnect(cl.c);
        s.wait_done();
    }
}

TEST_F(Schemes, RsaPinOption) {
    Client cl;
    EXPECT_EQ(0, vnc_set_option(cl.c, "rsa-pin", ("sha256:" + std::string(64, 'A')).c_str()));
    EXPECT_EQ(0, vnc_set_option(cl.c, "rsa-pin", ("sha256:" + std::string(32, 'b') + ":" + std::string(32, 'c')).c_str()));
    EXPECT_EQ(0, vnc_set_option(cl.c, "rsa-pin", ""));
    for (const char *bad : {"sha1:abcd", "sha256:", "sha256:xyz", "abc"}) EXPECT_EQ(-1, vnc_set_option(cl.c, "rsa-pin", bad)) << bad;
}

}  // namespace

#endif
