// Child processes for the interop tests: real VNC servers, X servers,
// viewers and the X command-line tools that inspect them.
//
// Every long-running child gets its own process group and is killed as a
// group by the owning Process object, so nothing outlives a test even when it
// fails half-way; a crash of the test program itself is covered by a parent
// death signal and a fatal-signal handler that kills all live groups.
#ifndef QV_INTEROP_PROCESS_H
#define QV_INTEROP_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace interop {

using Millis = std::chrono::milliseconds;

// Polls cond until it holds or timeout passes; returns whether it held.
bool wait_until(const std::function<bool()> &cond, Millis timeout, Millis interval = Millis(20));

struct SpawnOptions {
    std::vector<std::string> env;  // NAME=VALUE, added to (or replacing in) the environment
    std::string cwd;               // empty: inherit
    std::string log_path;          // stdout and stderr go here; empty: /dev/null
};

class Process {
public:
    Process() = default;
    Process(const std::vector<std::string> &argv, const SpawnOptions &opts);
    ~Process();
    Process(Process &&other) noexcept;
    Process &operator=(Process &&other) noexcept;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // True while the child has not exited (reaps it when it has).
    bool running();
    // Waits up to timeout for the child to exit by itself; its exit code,
    // 128 + signal when killed, or -1 when it is still running.
    int wait_exit(Millis timeout);
    // Kills the whole process group (TERM, then KILL after grace) and reaps
    // the child. Harmless when already stopped.
    void stop(Millis grace = Millis(3000));
    // Everything the child wrote so far (empty without a log file).
    std::string log() const;
    const std::string &log_path() const { return log_path_; }
    const std::string &name() const { return name_; }

private:
    pid_t pid_ = -1;
    int exit_status_ = -1;
    std::string log_path_;
    std::string name_;
};

struct CommandResult {
    int exit_code = -1;  // 128 + signal when killed; -1 when it could not run
    bool timed_out = false;
    std::string out;  // stdout
    std::string err;  // stderr
};

// Runs a short command to completion (killed after timeout) and captures its
// output. stdin is /dev/null unless input is given.
CommandResult run_command(const std::vector<std::string> &argv, const SpawnOptions &opts = {},
                          Millis timeout = Millis(20000), const std::string *input = nullptr);

// Whether name is an executable file on PATH.
bool on_path(const std::string &name);

// A private directory removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
bool write_file(const std::string &path, const std::string &data);
// The last max_lines lines of text, for failure messages.
std::string tail_lines(const std::string &text, size_t max_lines);

// True when a TCP socket is listening on 127.0.0.1:port (or on all
// addresses) according to the kernel's socket table; nothing connects.
bool tcp_listening(int port);
// True when a TCP port on 127.0.0.1 can be bound right now.
bool tcp_port_free(int port);

}  // namespace interop

#endif
