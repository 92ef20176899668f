#include "scripted_server.h"

#include <chrono>
#include <cstdio>

ScriptedServer::ScriptedServer() {
    vnc_platform_net_init();
    if (vnc_sock_listen_loopback(0, &listener_) == 0) port_ = vnc_sock_local_port(listener_);
}

ScriptedServer::~ScriptedServer() {
    alive_.store(0);
    {
        std::lock_guard<std::mutex> g(mu_);
        gates_open_ = 1 << 30;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    vnc_sock_close(client_);
    vnc_sock_close(listener_);
}

ScriptedServer &ScriptedServer::send(const Bytes &b) {
    steps_.push_back({Step::kSend, b.vec(), 0, 0, {}});
    return *this;
}
ScriptedServer &ScriptedServer::send(const std::string &s) {
    steps_.push_back({Step::kSend, std::vector<uint8_t>(s.begin(), s.end()), 0, 0, {}});
    return *this;
}
ScriptedServer &ScriptedServer::read(size_t n, int timeout_ms) {
    steps_.push_back({Step::kRead, {}, n, timeout_ms, {}});
    return *this;
}
ScriptedServer &ScriptedServer::receive_once(size_t n, int timeout_ms) {
    steps_.push_back({Step::kReceiveOnce, {}, n, timeout_ms, {}});
    return *this;
}
ScriptedServer &ScriptedServer::pause(int ms) {
    steps_.push_back({Step::kPause, {}, 0, ms, {}});
    return *this;
}
ScriptedServer &ScriptedServer::gate() {
    steps_.push_back({Step::kGate, {}, 0, 0, {}});
    return *this;
}
ScriptedServer &ScriptedServer::close() {
    steps_.push_back({Step::kClose, {}, 0, 0, {}});
    return *this;
}
ScriptedServer &ScriptedServer::expect_closed(int timeout_ms) {
    steps_.push_back({Step::kExpectClosed, {}, 0, timeout_ms, {}});
    return *this;
}

ScriptedServer &ScriptedServer::run(RunFn fn) {
    Step s{Step::kRun, {}, 0, 0, {}};
    s.fn = std::move(fn);
    steps_.push_back(std::move(s));
    return *this;
}

bool ScriptedServer::Peer::read(std::vector<uint8_t> &out, size_t n, int timeout_ms) {
    out.assign(n, 0);
    return vnc_sock_read_exact_cancel(sock_, out.data(), n, timeout_ms, alive_) == 0;
}

bool ScriptedServer::Peer::write(const std::vector<uint8_t> &bytes) {
    return vnc_sock_write_exact(sock_, bytes.data(), bytes.size()) == 0;
}

ScriptedServer &ScriptedServer::handshake(int width, int height, const std::string &name,
                                          int encodings) {
    send("RFB 003.008\n").read(12);
    send(Bytes{1, 1}).read(1);
    send(Bytes().u32(0)).read(1);
    Bytes init;
    init.u16(width).u16(height);
    init.raw({32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0});
    init.u32(static_cast<uint32_t>(name.size())).str(name);
    send(init);
    read(20);                                    // SetPixelFormat
    read(4 + 4 * static_cast<size_t>(encodings));  // SetEncodings
    read(10);                                    // first FramebufferUpdateRequest
    return *this;
}

void ScriptedServer::start() { thread_ = std::thread(&ScriptedServer::play, this); }

void ScriptedServer::open_gate() {
    {
        std::lock_guard<std::mutex> g(mu_);
        ++gates_open_;
    }
    cv_.notify_all();
}

bool ScriptedServer::wait_done(int timeout_ms) {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [this] { return done_; });
}

bool ScriptedServer::ok() const {
    std::lock_guard<std::mutex> g(mu_);
    return done_ && error_.empty();
}

std::string ScriptedServer::error() const {
    std::lock_guard<std::mutex> g(mu_);
    return done_ ? error_ : "script not finished";
}

std::vector<std::vector<uint8_t>> ScriptedServer::reads() const {
    std::lock_guard<std::mutex> g(mu_);
    return reads_;
}

std::vector<uint8_t> ScriptedServer::read_at(size_t n) const {
    std::lock_guard<std::mutex> g(mu_);
    return n < reads_.size() ? reads_[n] : std::vector<uint8_t>();
}

void ScriptedServer::fail(const std::string &why) {
    std::lock_guard<std::mutex> g(mu_);
    if (error_.empty()) error_ = why;
}

void ScriptedServer::play() {
    const int wait = vnc_sock_wait_readable(listener_, 10000, &alive_);
    if (wait > 0) client_ = vnc_sock_accept(listener_);
    if (client_ == VNC_INVALID_SOCKET) fail("no client connected");
    for (size_t i = 0; i < steps_.size() && client_ != VNC_INVALID_SOCKET; ++i) {
        const Step &s = steps_[i];
        char where[64];
        std::snprintf(where, sizeof where, "step %zu: ", i);
        bool stop = false;
        switch (s.kind) {
        case Step::kSend:
            if (vnc_sock_write_exact(client_, s.bytes.data(), s.bytes.size())) {
                fail(std::string(where) + "send failed");
                stop = true;
            }
            break;
        case Step::kRead: {
            std::vector<uint8_t> buf(s.n);
            int r = vnc_sock_read_exact_cancel(client_, buf.data(), s.n, s.ms, &alive_);
            std::lock_guard<std::mutex> g(mu_);
            if (r) {
                if (error_.empty())
                    error_ = std::string(where) + "read of " + std::to_string(s.n) + " failed";
                stop = true;
            }
            reads_.push_back(r ? std::vector<uint8_t>() : buf);
            break;
        }
        case Step::kReceiveOnce: {
            std::vector<uint8_t> buf(s.n);
            long r = vnc_sock_wait_readable(client_, s.ms, &alive_) == 1
                         ? vnc_sock_recv_some(client_, buf.data(), s.n)
                         : -1;
            std::lock_guard<std::mutex> g(mu_);
            if (r <= 0) {
                if (error_.empty()) error_ = std::string(where) + "nothing received";
                stop = true;
            }
            buf.resize(r > 0 ? static_cast<size_t>(r) : 0);
            reads_.push_back(buf);
            break;
        }
        case Step::kRun: {
            Peer peer(client_, &alive_);
            std::string why;
            if (!s.fn(peer, why)) {
                fail(std::string(where) + (why.empty() ? "run step failed" : why));
                stop = true;
            }
            break;
        }
        case Step::kPause:
            std::this_thread::sleep_for(std::chrono::milliseconds(s.ms));
            break;
        case Step::kGate: {
            std::unique_lock<std::mutex> g(mu_);
            cv_.wait(g, [this] { return gates_open_ > 0; });
            --gates_open_;
            break;
        }
        case Step::kClose:
            vnc_sock_close(client_);
            client_ = VNC_INVALID_SOCKET;
            break;
        case Step::kExpectClosed: {
            std::vector<uint8_t> got;
            uint8_t buf[65536];
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.ms);
            bool closed = false;
            while (std::chrono::steady_clock::now() < deadline && alive_.load()) {
                int w = vnc_sock_wait_readable(client_, 50, &alive_);
                if (w < 0) break;
                if (w == 0) continue;
                // Only the end of the stream counts; a reset is not a clean close.
                const long r = vnc_sock_recv_some(client_, buf, sizeof buf);
                if (r <= 0) {
                    closed = r == 0;
                    break;
                }
                got.insert(got.end(), buf, buf + r);
            }
            {
                std::lock_guard<std::mutex> g(mu_);
                reads_.push_back(got);
            }
            if (!closed) {
                fail(std::string(where) + "client did not close cleanly");
                stop = true;
            }
            break;
        }
        }
        if (stop) break;
        steps_done_.store(i + 1);
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        done_ = true;
    }
    cv_.notify_all();
}
