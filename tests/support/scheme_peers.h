// The server's side of Apple DH, MSLogonII and RSA-AES for scripted-server
// tests: run steps that do the server's cryptography (with libgcrypt) and
// record what the client sent, decrypted.
#ifndef QV_TEST_SCHEME_PEERS_H
#define QV_TEST_SCHEME_PEERS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scripted_server.h"

using ByteVec = std::vector<uint8_t>;

// What the server's side learned; read after the script is done.
struct PeerLog {
    std::mutex mu;
    std::string username, password;
    ByteVec client_message;  // the client's first message after the parameters
    bool has_credentials = false;
};

// AES-EAX frames as the server makes and opens them (its own counters).
class ServerFrames {
public:
    ServerFrames(const ByteVec &send_key, const ByteVec &recv_key);
    ~ServerFrames();
    ByteVec seal(const ByteVec &plain);
    // Reads frames until n plain bytes are in; false on a bad tag or the end.
    bool read(ScriptedServer::Peer &peer, size_t n, ByteVec &out, std::string &why);
    bool write(ScriptedServer::Peer &peer, const ByteVec &plain) { return peer.write(seal(plain)); }

private:
    void *send_ = nullptr, *recv_ = nullptr;
    uint64_t send_count_ = 0, recv_count_ = 0;
    ByteVec buffered_;
};

// Apple DH with the given prime (its length the key size), generator and
// our private exponent; checks nothing, records the decrypted block.
ScriptedServer::RunFn dh_server(uint16_t generator, const ByteVec &prime, const ByteVec &priv,
                                std::shared_ptr<PeerLog> log);
// MSLogonII with 8-byte values.
ScriptedServer::RunFn mslogon2_server(uint64_t generator, uint64_t modulus, uint64_t priv,
                                      std::shared_ptr<PeerLog> log);

// RSA-AES: how the server side misbehaves, if at all.
struct Ra2Options {
    uint8_t type = 5;
    unsigned bits = 2048;         // its key (1024 .. 8192 are accepted)
    uint32_t claimed_bits = 0;    // announced size if not bits
    uint8_t subtype = 1;          // 1 user name and password, 2 password
    bool bad_hash = false;        // sends a wrong hash of the keys
    bool stop_after_key = false;  // closes after its public key
    bool flip_after_auth = false; // flips a byte in the frame after ServerInit
    std::string want_user, want_password;  // for the SecurityResult
    // Once the client's set-up messages are in, in place of the one Raw
    // update: frames is null for the types that go plain.
    std::function<bool(ScriptedServer::Peer &, ServerFrames *, std::string &)> after_setup;
    int width = 4, height = 2;
};
// Plays the whole RSA-AES exchange, the SecurityResult, and for a success
// a 4 x 2 ServerInit and a Raw update of it; records the credentials.
// frames_out receives the framing (for RA2ne null after the credentials).
ScriptedServer::RunFn ra2_server(const Ra2Options &o, std::shared_ptr<PeerLog> log,
                                 std::shared_ptr<std::string> fingerprint = nullptr);

ByteVec be_bytes(uint64_t v, size_t n);
// A 1024-bit safe prime (RFC 2409's second Oakley group).
ByteVec oakley_group2();

#endif
