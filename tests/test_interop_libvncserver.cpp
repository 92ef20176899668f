// Against libvncserver, through a small server of our own (lvs_server) whose
// framebuffer dumps are the ground truth: every encoding the library offers,
// pictures after changes, CopyRect and a resize; RFB 3.3, 3.7 and 3.8 with
// VNC authentication; a clean disconnect.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "interop_client.h"
#include "interop_peers.h"

namespace {

using namespace interop;

const Millis kArrival(10000);

#ifdef LVS_SERVER_PATH
const char *const kServer = LVS_SERVER_PATH;
#else
const char *const kServer = nullptr;
#endif

#define SKIP_WITHOUT_SERVER() \
    if (!kServer) GTEST_SKIP() << "lvs_server not built: libvncserver not found (scripts/setup installs libvncserver-dev)"

ClientPtr connect_to(const LvsServer &server, const char *encodings, const char *password,
                     int *result) {
    ClientPtr c(vnc_create());
    if (encodings) {
        EXPECT_EQ(vnc_set_option(c.get(), "encodings", encodings), 0) << encodings;
    }
    *result = vnc_connect(c.get(), "127.0.0.1", server.port(), password);
    return c;
}

// Waits until the handle shows the server's framebuffer as it is once every
// command sent before is done; "" when it does, else what differs.
std::string shows_server(vnc_client_t *c, LvsServer &server, DirtyLog *log = nullptr,
                         Image *before = nullptr) {
    Image truth;
    std::string err;
    if (!server.dump(&truth, &err)) return err;
    const Match m = wait_image_match(c, truth, kArrival, log);
    if (!m.ok) return m.str();
    if (log && before) {
        const long uncovered = log->uncovered_changes(*before, truth);
        if (uncovered != 0)
            return std::to_string(uncovered) + " changed pixels outside the " + log->str();
    }
    if (before) *before = truth;
    return "";
}

std::pair<int, int> dimensions(vnc_client_t *c) {
    int w = 0, h = 0;
    vnc_get_dimensions(c, &w, &h);
    return {w, h};
}

struct EncodingCase {
    const char *offer;                // the encodings option
    std::set<std::string> must_send;  // what the server's statistics must list
};

void PrintTo(const EncodingCase &k, std::ostream *os) { *os << k.offer; }

class LvsEncodings : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(LvsEncodings, PicturesFollowChangesCopiesAndAResize) {
    SKIP_WITHOUT_SERVER();
    const EncodingCase &k = GetParam();
    TempDir dir;
    LvsServer server;
    std::string err;
    ASSERT_TRUE(server.start(kServer, dir.path(), LvsOptions{}, &err)) << err;
    int rc = -1;
    ClientPtr client = connect_to(server, k.offer, nullptr, &rc);
    vnc_client_t *c = client.get();
    ASSERT_EQ(rc, 0) << vnc_last_error();
    char name[64] = "";
    vnc_get_desktop_name(c, name, sizeof name);
    EXPECT_STREQ(name, "quenvira-lvs");

    DirtyLog log;
    Image before;
    ASSERT_EQ(shows_server(c, server, &log, nullptr), "") << "first picture";
    ASSERT_TRUE(server.dump(&before, &err)) << err;
    struct Step {
        const char *command;
        int w, h;  // the size after it
    };
    const Step steps[] = {{"change", 320, 240},
                          {"change", 320, 240},
                          {"copy 8 8 96 64 180 140", 320, 240},
                          {"copy 150 100 120 90 20 30", 320, 240},
                          {"resize 400 300", 400, 300},
                          {"change", 400, 300},
                          {"copy 0 0 200 150 150 120", 400, 300},
                          {"resize 200 120", 200, 120},
                          {"change", 200, 120}};
    for (const Step &s : steps) {
        SCOPED_TRACE(s.command);
        ASSERT_TRUE(server.command(s.command));
        log.clear();
        const bool resize = std::string(s.command).rfind("resize", 0) == 0;
        // A resize replaces everything: only the pixels are compared.
        EXPECT_EQ(shows_server(c, server, &log, resize ? nullptr : &before), "");
        if (resize) {
            ASSERT_TRUE(server.dump(&before, &err)) << err;
        }
        EXPECT_EQ(dimensions(c), std::make_pair(s.w, s.h));
    }

    const size_t mark = server.server_log().size();
    ASSERT_EQ(vnc_disconnect(c), 0);
    EXPECT_EQ(vnc_get_status(c), VNC_STATUS_DISCONNECTED);
    const std::set<std::string> sent = server.encodings_reported(mark, kArrival);
    // Raw is every server's fallback (libvncserver's when RRE comes out
    // larger); NewFBSize is the resize; LastRect comes offered with Tight.
    const std::string offer = k.offer;
    const std::string allowed =
        offer + (offer.find("tight") != std::string::npos ? ",lastrect" : "") + ",raw,newfbsize,";
    for (const std::string &e : sent)
        EXPECT_NE(allowed.find(e + ","), std::string::npos) << e << " sent but not offered";
    for (const std::string &e : k.must_send) EXPECT_EQ(sent.count(e), 1u) << e << " never sent";

    // The server takes a new client after the clean close.
    ClientPtr again = connect_to(server, k.offer, nullptr, &rc);
    ASSERT_EQ(rc, 0) << vnc_last_error();
    EXPECT_EQ(shows_server(again.get(), server), "") << "after reconnecting";
}

INSTANTIATE_TEST_SUITE_P(Lvs, LvsEncodings,
                         ::testing::Values(EncodingCase{"zrle", {"zrle"}},
                                           EncodingCase{"hextile", {"hextile"}},
                                           EncodingCase{"rre", {"rre"}},
                                           EncodingCase{"copyrect,raw", {"copyrect", "raw"}},
                                           EncodingCase{"raw", {"raw"}},
                                           EncodingCase{"tight", {"tight"}}),
                         [](const ::testing::TestParamInfo<EncodingCase> &i) {
                             std::string n = i.param.offer;
                             for (char &ch : n)
                                 if (ch == ',') ch = '_';
                             return n;
                         });

class LvsAuth : public ::testing::TestWithParam<const char *> {};

TEST_P(LvsAuth, RightPasswordInWrongOneOut) {
    SKIP_WITHOUT_SERVER();
    const std::string version = GetParam();
    TempDir dir;
    LvsServer server;
    LvsOptions opts;
    opts.password = "quen-pw";
    opts.version = version;
    std::string err;
    ASSERT_TRUE(server.start(kServer, dir.path(), opts, &err)) << err;
    struct Case {
        const char *password;
        bool ok;
    };
    const Case cases[] = {{"wrong-pw", false}, {"quen-pw", true}, {nullptr, false},
                          {"quen-pwX", false}, {"quen-pw", true}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.password ? k.password : "(none)");
        const size_t mark = server.server_log().size();
        int rc = 0;
        ClientPtr c = connect_to(server, nullptr, k.password, &rc);
        if (!k.ok) {
            EXPECT_EQ(rc, -1);
            EXPECT_NE(vnc_get_status(c.get()), VNC_STATUS_CONNECTED);
            continue;
        }
        ASSERT_EQ(rc, 0) << vnc_last_error();
        EXPECT_EQ(shows_server(c.get(), server), "");
        const std::string log = server.server_log().substr(mark);
        EXPECT_NE(log.find("Protocol Version " + version), std::string::npos)
            << tail_lines(log, 10);
        EXPECT_EQ(vnc_disconnect(c.get()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Lvs, LvsAuth, ::testing::Values("3.3", "3.7", "3.8"),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             std::string n = std::string("rfb") + i.param;
                             n.erase(n.find('.'), 1);
                             return n;
                         });

}  // namespace
