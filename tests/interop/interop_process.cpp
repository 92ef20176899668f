#include "interop_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

extern char **environ;

namespace interop {

bool wait_until(const std::function<bool()> &cond, Millis timeout, Millis interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(interval);
    }
}

namespace {

// Process groups still alive, for the fatal-signal handler. Lock-free so the
// handler may read it.
constexpr int kMaxGroups = 512;
std::atomic<pid_t> g_groups[kMaxGroups];

void register_group(pid_t pg) {
    for (auto &slot : g_groups) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, pg)) return;
    }
}

void unregister_group(pid_t pg) {
    for (auto &slot : g_groups) {
        pid_t expected = pg;
        if (slot.compare_exchange_strong(expected, 0)) return;
    }
}

extern "C" void kill_groups_on_fatal_signal(int sig) {
    for (auto &slot : g_groups) {
        const pid_t pg = slot.load();
        if (pg > 0) kill(-pg, SIGKILL);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void install_fatal_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGTERM, SIGINT, SIGHUP}) {
            struct sigaction sa;
            std::memset(&sa, 0, sizeof sa);
            sa.sa_handler = kill_groups_on_fatal_signal;
            sigemptyset(&sa.sa_mask);
            sa.sa_flags = SA_RESETHAND;
            sigaction(sig, &sa, nullptr);
        }
    });
}

std::string find_executable(const std::string &name) {
    if (name.find('/') != std::string::npos) return name;
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

std::vector<std::string> merged_environment(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string key = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto &x : extra)
            if (x.substr(0, x.find('=')) == key) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> c_strings(std::vector<std::string> &v) {
    std::vector<char *> out;
    for (auto &s : v) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Descriptors the child gets as 0, 1 and 2 (-1: /dev/null, or the log).
struct ChildFds {
    int in = -1;
    int out = -1;
    int err = -1;
};

// Forks and execs; the child leads a new process group and dies with us.
pid_t spawn(const std::vector<std::string> &argv_in, const SpawnOptions &opts, ChildFds fds) {
    install_fatal_handlers();
    std::vector<std::string> argv = argv_in;
    const std::string exe = find_executable(argv.at(0));
    std::vector<std::string> env = merged_environment(opts.env);
    std::vector<char *> argv_c = c_strings(argv);
    std::vector<char *> env_c = c_strings(env);
    const pid_t parent = getpid();

    int log_fd = -1;
    if (!opts.log_path.empty())
        log_fd = open(opts.log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);

    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        const int null_fd = open("/dev/null", O_RDWR);
        const int sink = log_fd >= 0 ? log_fd : null_fd;
        dup2(fds.in >= 0 ? fds.in : null_fd, 0);
        dup2(fds.out >= 0 ? fds.out : sink, 1);
        dup2(fds.err >= 0 ? fds.err : sink, 2);
        syscall(SYS_close_range, 3u, ~0u, 0u);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(127);
        execve(exe.c_str(), argv_c.data(), env_c.data());
        _exit(127);
    }
    if (log_fd >= 0) close(log_fd);
    if (pid > 0) {
        setpgid(pid, pid);  // also from here, so the group exists before we kill it
        register_group(pid);
    }
    return pid;
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// True once the child has exited; it is left unreaped so that its pid, and
// with it the group id, cannot be reused yet.
bool has_exited(pid_t pid) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return true;  // not our child any more
    return info.si_pid == pid;
}

// Kills what is left of the group and reaps the leader.
int reap_group(pid_t pid) {
    kill(-pid, SIGKILL);
    int status = 0;
    int result = -1;
    if (waitpid(pid, &status, 0) == pid) result = decode_status(status);
    unregister_group(pid);
    return result;
}

}  // namespace

Process::Process(const std::vector<std::string> &argv, const SpawnOptions &opts)
    : log_path_(opts.log_path), name_(argv.empty() ? "" : argv[0]) {
    if (!argv.empty()) pid_ = spawn(argv, opts, ChildFds{});
}

Process::~Process() { stop(); }

Process::Process(Process &&other) noexcept { *this = std::move(other); }

Process &Process::operator=(Process &&other) noexcept {
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        exit_status_ = other.exit_status_;
        log_path_ = std::move(other.log_path_);
        name_ = std::move(other.name_);
        other.pid_ = -1;
    }
    return *this;
}

bool Process::running() { return pid_ > 0 && !has_exited(pid_); }

int Process::wait_exit(Millis timeout) {
    if (pid_ <= 0) return exit_status_;
    if (!wait_until([&] { return has_exited(pid_); }, timeout, Millis(10))) return -1;
    exit_status_ = reap_group(pid_);
    pid_ = -1;
    return exit_status_;
}

void Process::stop(Millis grace) {
    if (pid_ <= 0) return;
    if (!has_exited(pid_)) {
        kill(-pid_, SIGTERM);
        wait_until([&] { return has_exited(pid_); }, grace, Millis(10));
    }
    exit_status_ = reap_group(pid_);
    pid_ = -1;
}

std::string Process::log() const {
    return log_path_.empty() ? std::string() : read_file(log_path_);
}

CommandResult run_command(const std::vector<std::string> &argv, const SpawnOptions &opts,
                          Millis timeout, const std::string *input) {
    CommandResult result;
    int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    if (input && pipe2(in_pipe, O_CLOEXEC) != 0) in_pipe[0] = in_pipe[1] = -1;

    ChildFds fds{in_pipe[0], out_pipe[1], err_pipe[1]};
    const pid_t pid = spawn(argv, opts, fds);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (in_pipe[0] >= 0) close(in_pipe[0]);
    if (pid <= 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (in_pipe[1] >= 0) close(in_pipe[1]);
        return result;
    }
    if (in_pipe[1] >= 0) {
        // Small inputs only (clipboard text): written before reading.
        size_t done = 0;
        while (done < input->size()) {
            const ssize_t n = write(in_pipe[1], input->data() + done, input->size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(in_pipe[1]);
    }

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    struct pollfd pfd[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
        const auto left =
            std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            break;
        }
        const int r = poll(pfd, 2, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (pfd[i].fd < 0 || !(pfd[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = read(pfd[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(pfd[i].fd);
                pfd[i].fd = -1;
                --open_count;
            }
        }
    }
    for (auto &p : pfd)
        if (p.fd >= 0) close(p.fd);

    if (!result.timed_out) {
        // Output closed; give the process the rest of the time to exit.
        const auto left =
            std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        if (!wait_until([&] { return has_exited(pid); }, std::max(left, Millis(0)), Millis(5)))
            result.timed_out = true;
    }
    if (result.timed_out) kill(-pid, SIGKILL);
    const int code = reap_group(pid);
    result.exit_code = result.timed_out ? -1 : code;
    return result;
}

bool on_path(const std::string &name) {
    const std::string exe = find_executable(name);
    return exe != name && access(exe.c_str(), X_OK) == 0;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/qv-interop-XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
}

TempDir::~TempDir() {
    // QV_INTEROP_KEEP=1 keeps logs and failure pictures for a closer look.
    if (path_.empty() || std::getenv("QV_INTEROP_KEEP")) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool write_file(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

std::string tail_lines(const std::string &text, size_t max_lines) {
    size_t pos = text.size();
    size_t lines = 0;
    while (pos > 0) {
        const size_t nl = text.rfind('\n', pos - 1);
        if (nl == std::string::npos) return text;
        if (nl + 1 < text.size() && ++lines > max_lines) return text.substr(nl + 1);
        pos = nl;
    }
    return text;
}

bool tcp_listening(int port) {
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state != "0A") continue;  // LISTEN
        const size_t colon = local.find(':');
        if (colon == std::string::npos || local.substr(colon) != wanted) continue;
        const std::string addr = local.substr(0, colon);
        if (addr == "0100007F" || addr == "00000000") return true;
    }
    return false;
}

bool tcp_port_free(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(s);
    return ok;
}

}  // namespace interop
