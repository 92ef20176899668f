// An in-process RFB peer for tests: listens on 127.0.0.1 (port 0), accepts
// one client and plays a script of steps (send bytes, read and record N
// bytes, pause, wait for the test, close), so tests can drive every branch of
// the client and check the exact bytes it sends.
#ifndef QV_TEST_SCRIPTED_SERVER_H
#define QV_TEST_SCRIPTED_SERVER_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vnc_socket.h"

// Big-endian message builder.
class Bytes {
public:
    Bytes() = default;
    Bytes(std::initializer_list<uint8_t> init) : data_(init) {}
    Bytes &u8(uint32_t v) {
        data_.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    Bytes &u16(uint32_t v) { return u8(v >> 8).u8(v); }
    Bytes &u32(uint32_t v) { return u16(v >> 16).u16(v); }
    Bytes &s32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    // A pixel as it travels in the client's format: B, G, R, X.
    Bytes &pixel(uint32_t v) { return u8(v).u8(v >> 8).u8(v >> 16).u8(v >> 24); }
    Bytes &str(const std::string &s) {
        data_.insert(data_.end(), s.begin(), s.end());
        return *this;
    }
    Bytes &raw(const std::vector<uint8_t> &v) {
        data_.insert(data_.end(), v.begin(), v.end());
        return *this;
    }
    Bytes &fill(size_t n, uint8_t v) {
        data_.insert(data_.end(), n, v);
        return *this;
    }
    // Rectangle header of a FramebufferUpdate.
    Bytes &rect(int x, int y, int w, int h, int32_t encoding) {
        return u16(x).u16(y).u16(w).u16(h).s32(encoding);
    }
    const std::vector<uint8_t> &vec() const { return data_; }
    size_t size() const { return data_.size(); }

private:
    std::vector<uint8_t> data_;
};

class ScriptedServer {
public:
    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    int port() const { return port_; }

    // Script steps, played in order once a client connects.
    ScriptedServer &send(const Bytes &b);
    ScriptedServer &send(const std::string &s);
    ScriptedServer &read(size_t n, int timeout_ms = 5000);  // recorded as one entry
    // One receive of at most n bytes, once some have come: what one write
    // of the client's delivers. Recorded as a read.
    ScriptedServer &receive_once(size_t n, int timeout_ms = 5000);
    ScriptedServer &pause(int ms);
    ScriptedServer &gate();   // waits until the test calls open_gate()
    ScriptedServer &close();  // closes the client connection
    // Reads until the client closes (fails after timeout_ms, or on a reset),
    // recording what came as one read.
    ScriptedServer &expect_closed(int timeout_ms = 5000);

    // What a run step's callback talks to the client through.
    class Peer {
    public:
        // Reads exactly n bytes; false on a timeout, the end or an error.
        bool read(std::vector<uint8_t> &out, size_t n, int timeout_ms = 5000);
        bool write(const std::vector<uint8_t> &bytes);
        vnc_socket_t socket() const { return sock_; }

    private:
        friend class ScriptedServer;
        Peer(vnc_socket_t sock, const std::atomic<int> *alive) : sock_(sock), alive_(alive) {}
        vnc_socket_t sock_;
        const std::atomic<int> *alive_;
    };
    // Runs fn in the script's thread (a server's side of a cryptographic
    // exchange, say); a false return fails the step with what fn put in why.
    using RunFn = std::function<bool(Peer &peer, std::string &why)>;
    ScriptedServer &run(RunFn fn);

    // The standard 3.8 None handshake up to and including the client's
    // SetPixelFormat, SetEncodings (of `encodings` entries) and first request.
    ScriptedServer &handshake(int width, int height, const std::string &name = "test",
                              int encodings = 6);

    // Starts the thread that accepts one client and plays the script.
    void start();
    void open_gate();
    // Waits for the script to finish; false on timeout.
    bool wait_done(int timeout_ms = 10000);
    // After wait_done: whether every step succeeded, and what failed.
    bool ok() const;
    std::string error() const;
    // Bytes recorded by the read steps, one entry per step.
    std::vector<std::vector<uint8_t>> reads() const;
    // Number of steps completed so far.
    size_t steps_done() const { return steps_done_.load(); }
    // Steps in the script so far (a mark to wait for with steps_done).
    size_t steps_scripted() const { return steps_.size(); }
    // Recorded read n (0-based); empty when missing.
    std::vector<uint8_t> read_at(size_t n) const;

private:
    struct Step {
        enum Kind { kSend, kRead, kReceiveOnce, kPause, kGate, kClose, kExpectClosed, kRun } kind;
        std::vector<uint8_t> bytes;
        size_t n = 0;
        int ms = 0;
        RunFn fn;
    };
    void play();
    void fail(const std::string &why);

    std::vector<Step> steps_;
    vnc_socket_t listener_ = VNC_INVALID_SOCKET;
    vnc_socket_t client_ = VNC_INVALID_SOCKET;
    int port_ = 0;
    std::thread thread_;
    std::atomic<int> alive_{1};
    std::atomic<size_t> steps_done_{0};

    mutable std::mutex mu_;
    std::condition_variable cv_;
    int gates_open_ = 0;
    bool done_ = false;
    std::string error_;
    std::vector<std::vector<uint8_t>> reads_;
};

#endif
