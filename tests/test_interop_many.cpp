// Many handles at once: sixteen clients of one Xvnc, all connected at the
// same time, each with the correct picture, through a change, and each
// leaving without disturbing the others.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "interop_client.h"
#include "interop_peers.h"
#include "interop_session.h"

namespace {

using namespace interop;

constexpr int kClients = 16;
constexpr int kWidth = 400, kHeight = 300;
const Millis kUpdateTimeout(30000);

TEST(ManyClients, SixteenHandlesOnOneServerEachSeeTheScreen) {
    PeerSession peers;
    std::string err;
    ASSERT_TRUE(peers.start_server(ServerKind::kXvnc, kWidth, kHeight, &err)) << err;
    ASSERT_TRUE(show_on_root(peers.display(), picture_file(Picture::kPhoto, kWidth, kHeight), &err))
        << err;

    std::vector<ClientPtr> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(make_client());
        ASSERT_EQ(vnc_connect(clients.back().get(), "127.0.0.1", peers.port(), nullptr), 0)
            << "client " << i << ": " << vnc_last_error();
    }
    Image screen;
    ASSERT_TRUE(grab_root(peers.display(), &screen, &err)) << err;
    for (int i = 0; i < kClients; ++i) {
        const Match m = wait_image_match(clients[i].get(), screen, kUpdateTimeout);
        EXPECT_TRUE(m.ok) << "client " << i << ": " << m.str();
    }

    // A change reaches every one of them.
    ASSERT_TRUE(show_on_root(peers.display(), picture_file(Picture::kFlat, kWidth, kHeight), &err))
        << err;
    ASSERT_TRUE(grab_root(peers.display(), &screen, &err)) << err;
    for (int i = 0; i < kClients; ++i) {
        const Match m = wait_image_match(clients[i].get(), screen, kUpdateTimeout);
        EXPECT_TRUE(m.ok) << "client " << i << " after the change: " << m.str();
    }

    // Half of them leave; the rest stay connected and still follow the screen.
    for (int i = 0; i < kClients; i += 2) ASSERT_EQ(vnc_disconnect(clients[i].get()), 0);
    ASSERT_TRUE(show_on_root(peers.display(), picture_file(Picture::kPhoto, kWidth, kHeight), &err))
        << err;
    ASSERT_TRUE(grab_root(peers.display(), &screen, &err)) << err;
    for (int i = 1; i < kClients; i += 2) {
        EXPECT_EQ(vnc_get_status(clients[i].get()), VNC_STATUS_CONNECTED) << "client " << i;
        const Match m = wait_image_match(clients[i].get(), screen, kUpdateTimeout);
        EXPECT_TRUE(m.ok) << "client " << i << " after others left: " << m.str();
    }
}

}  // namespace
