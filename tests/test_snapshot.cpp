// vnc-snapshot end to end: the built tool run as a child process against the
// library's test server, its PNG decoded and its exit statuses checked.
#include <gtest/gtest.h>

#ifdef VNC_SNAPSHOT_PATH

#include <sys/stat.h>
#ifdef _WIN32
// The tool under Wine or Windows: started with CreateProcess, its PNG read
// back through WIC, a decoder other than the tool's own writer.
#include <objbase.h>
#include <wincodec.h>
#include <windows.h>

#include <filesystem>
#else
#include <fcntl.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "quenvira_vnc.h"
#include "scripted_server.h"
#include "vnc_mock_server.h"
#include "vnc_socket.h"

#ifndef _WIN32
extern char **environ;
#endif

namespace {

// Exit statuses the tool documents.
constexpr int kExitUsage = 2;
constexpr int kExitConnect = 3;
constexpr int kExitAuth = 4;
constexpr int kExitTimeout = 5;
constexpr int kExitOutput = 6;

struct ToolRun {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// A scratch directory per test, also the tool's working directory.
class Snapshot : public ::testing::Test {
protected:
#ifdef _WIN32
    void SetUp() override {
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
        ASSERT_FALSE(ec) << ec.message();
        for (unsigned n = GetTickCount(); dir_.empty(); ++n) {
            const std::filesystem::path d =
                base / ("qv-snapshot-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(n));
            if (std::filesystem::create_directory(d, ec)) dir_ = d.generic_string();
            ASSERT_FALSE(ec) << ec.message();
        }
    }
    void TearDown() override {
        vnc_test_server_stop();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
#else
    void SetUp() override {
        char tmpl[] = "/tmp/qv-snapshot-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(tmpl));
        dir_ = tmpl;
    }
    void TearDown() override {
        vnc_test_server_stop();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
#endif

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Runs the tool with args; env holds extra NAME=VALUE entries. The
    // inherited environment loses VNC_PASSWORD so that only the test's own
    // setting counts.
#ifdef _WIN32
    ToolRun run(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
        // Quoted as the C runtime splits a command line: backslashes count
        // only before a quote.
        std::string line;
        std::vector<std::string> all = {VNC_SNAPSHOT_PATH};
        all.insert(all.end(), args.begin(), args.end());
        for (const std::string &a : all) {
            line += line.empty() ? "\"" : " \"";
            size_t slashes = 0;
            for (char ch : a) {
                if (ch == '\\') {
                    ++slashes;
                    continue;
                }
                line.append(ch == '"' ? slashes * 2 + 1 : slashes, '\\');
                slashes = 0;
                line += ch;
            }
            line.append(slashes * 2, '\\');
            line += '"';
        }
        std::string block;
        if (char *strings = GetEnvironmentStringsA()) {
            for (const char *e = strings; *e; e += std::strlen(e) + 1)
                if (_strnicmp(e, "VNC_PASSWORD=", 13) != 0) block.append(e).push_back('\0');
            FreeEnvironmentStringsA(strings);
        }
        for (const std::string &e : env) block.append(e).push_back('\0');
        block.push_back('\0');
        const std::string out_path = path(".stdout"), err_path = path(".stderr");
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE out = CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        HANDLE err = CreateFileA(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ToolRun r;
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out;
        si.hStdError = err;
        PROCESS_INFORMATION pi = {};
        if (out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
            CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, &block[0], dir_.c_str(), &si,
                           &pi)) {
            DWORD code = 0;
            if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0 &&
                GetExitCodeProcess(pi.hProcess, &code))
                r.status = static_cast<int>(code);
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
        if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
        if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
        // Text mode on the other side: lines end in CR LF.
        for (auto *text : {&r.out, &r.err}) {
            *text = slurp(text == &r.out ? out_path : err_path);
            text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
        }
        return r;
    }
#else
    ToolRun run(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
        std::vector<std::string> argv_s = {VNC_SNAPSHOT_PATH};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : argv_s) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> env_s;
        for (char **e = environ; *e; ++e)
            if (std::strncmp(*e, "VNC_PASSWORD=", 13) != 0) env_s.push_back(*e);
        env_s.insert(env_s.end(), env.begin(), env.end());
        std::vector<char *> envp;
        for (auto &e : env_s) envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        const std::string out_path = path(".stdout"), err_path = path(".stderr");
        const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ToolRun r;
        if (out_fd < 0 || err_fd < 0) return r;
        // Only async-signal-safe calls in the child: the test process has
        // threads (the test server).
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out_fd, 1);
            ::dup2(err_fd, 2);
            if (::chdir(dir_.c_str()) != 0) ::_exit(127);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out_fd);
        ::close(err_fd);
        int wstatus = 0;
        if (pid > 0 && ::waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus))
            r.status = WEXITSTATUS(wstatus);
        r.out = slurp(out_path);
        r.err = slurp(err_path);
        return r;
    }
#endif

    std::string dir_;
};

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

#ifdef _WIN32
// Decodes an 8-bit RGB PNG through WIC; false when the file is not one.
bool read_png(const std::string &file, Image *img, std::string *why) {
    const std::string data = slurp(file);
    if (data.empty()) {
        *why = "cannot read " + file;
        return false;
    }
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IWICImagingFactory *wic = nullptr;
    IWICStream *stream = nullptr;
    IWICBitmapDecoder *decoder = nullptr;
    IWICBitmapFrameDecode *frame = nullptr;
    GUID container = {}, format = {};
    UINT w = 0, h = 0;
    bool ok = SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IWICImagingFactory, reinterpret_cast<void **>(&wic))) &&
              SUCCEEDED(wic->CreateStream(&stream)) &&
              SUCCEEDED(stream->InitializeFromMemory(
                  reinterpret_cast<BYTE *>(const_cast<char *>(data.data())), static_cast<DWORD>(data.size()))) &&
              SUCCEEDED(wic->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand, &decoder)) &&
              SUCCEEDED(decoder->GetContainerFormat(&container)) && container == GUID_ContainerFormatPng &&
              SUCCEEDED(decoder->GetFrame(0, &frame)) && SUCCEEDED(frame->GetSize(&w, &h)) &&
              SUCCEEDED(frame->GetPixelFormat(&format));
    *why = ok ? "not an 8-bit RGB PNG" : "WIC rejected " + file;
    // An 8-bit RGB PNG comes as 24-bit RGB, or, from Wine, as 24-bit BGR.
    const bool bgr = format == GUID_WICPixelFormat24bppBGR;
    ok = ok && (bgr || format == GUID_WICPixelFormat24bppRGB);
    if (ok) {
        img->width = static_cast<int>(w);
        img->height = static_cast<int>(h);
        img->rgb.assign(static_cast<size_t>(w) * h * 3, 0);
        ok = SUCCEEDED(frame->CopyPixels(nullptr, w * 3, static_cast<UINT>(img->rgb.size()), img->rgb.data()));
        if (bgr)
            for (size_t i = 0; i < img->rgb.size(); i += 3) std::swap(img->rgb[i], img->rgb[i + 2]);
    }
    if (frame) frame->Release();
    if (decoder) decoder->Release();
    if (stream) stream->Release();
    if (wic) wic->Release();
    if (SUCCEEDED(init)) CoUninitialize();
    return ok;
}
#else
// Decodes an 8-bit RGB PNG; false when the file is not one.
bool read_png(const std::string &file, Image *img, std::string *why) {
    std::FILE *f = std::fopen(file.c_str(), "rb");
    if (!f) {
        *why = "cannot open " + file;
        return false;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        *why = "libpng rejected " + file;
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    const bool rgb8 = png_get_bit_depth(png, info) == 8 &&
                      png_get_color_type(png, info) == PNG_COLOR_TYPE_RGB;
    if (rgb8) {
        img->width = static_cast<int>(png_get_image_width(png, info));
        img->height = static_cast<int>(png_get_image_height(png, info));
        img->rgb.assign(static_cast<size_t>(img->width) * img->height * 3, 0);
        for (int y = 0; y < img->height; ++y)
            png_read_row(png, img->rgb.data() + static_cast<size_t>(y) * img->width * 3, nullptr);
        png_read_end(png, nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    if (!rgb8) *why = "not an 8-bit RGB PNG";
    return rgb8;
}
#endif

// The test server's picture as R, G, B.
void expected_rgb(int x, int y, uint8_t out[3]) {
    out[0] = out[1] = out[2] = 0;
    if (x < 32 && y < 32) {
        out[0] = static_cast<uint8_t>(y * 8);
        out[1] = static_cast<uint8_t>(x * 8);
        out[2] = 255;
    } else if (x >= 44 && x < 68 && y >= 44 && y < 68) {
        out[0] = 255;
    } else if (x >= 40 && x < 72 && y >= 40 && y < 72) {
        out[1] = 255;
    }
}

// Number of pixels that differ from the test server's picture; the first
// difference goes to *first.
int count_wrong_pixels(const Image &img, std::string *first) {
    int wrong = 0;
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            uint8_t want[3];
            expected_rgb(x, y, want);
            const uint8_t *got = img.rgb.data() + (static_cast<size_t>(y) * img.width + x) * 3;
            if (std::memcmp(got, want, 3) != 0 && wrong++ == 0) {
                char text[128];
                std::snprintf(text, sizeof text, "(%d,%d) is %d,%d,%d, expected %d,%d,%d", x, y,
                              got[0], got[1], got[2], want[0], want[1], want[2]);
                *first = text;
            }
        }
    }
    return wrong;
}

void expect_canned_picture(const std::string &file) {
    Image img;
    std::string why;
    ASSERT_TRUE(read_png(file, &img, &why)) << why;
    EXPECT_EQ(640, img.width);
    EXPECT_EQ(480, img.height);
    std::string first;
    EXPECT_EQ(0, count_wrong_pixels(img, &first)) << first;
}

int start_test_server(const char *password) {
    if (vnc_test_server_start(0, password) != 0) return -1;
    return mock_server_bound_port();
}

std::string loopback(int port) { return "127.0.0.1::" + std::to_string(port); }

}  // namespace

TEST_F(Snapshot, HelpExitsZeroAndDescribesTheTool) {
    const ToolRun r = run({"--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("Usage:"));
    EXPECT_NE(std::string::npos, r.out.find("--password-env"));
    EXPECT_NE(std::string::npos, r.out.find("--demo"));
    EXPECT_EQ("", r.err);
}

TEST_F(Snapshot, DemoWritesTheTestServersPicture) {
    const ToolRun r = run({"--demo"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("127.0.0.1:")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("640x480")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("quenvira-demo.png")) << r.out;
    expect_canned_picture(path("quenvira-demo.png"));

    const ToolRun named = run({"--demo", "named.png"});
    ASSERT_EQ(0, named.status) << named.err;
    expect_canned_picture(path("named.png"));

    // libpng's smaller file holds the same picture.
    const ToolRun best = run({"--demo", "--compress=best", "best.png"});
    ASSERT_EQ(0, best.status) << best.err;
    expect_canned_picture(path("best.png"));
}

TEST_F(Snapshot, PasswordFromEnvironmentFileOrArgument) {
    const int port = start_test_server("s3cret!x");
    ASSERT_GT(port, 0);
    {
        const ToolRun r = run({loopback(port), "default-env.png"}, {"VNC_PASSWORD=s3cret!x"});
        ASSERT_EQ(0, r.status) << r.err;
        expect_canned_picture(path("default-env.png"));
    }
    {
        const ToolRun r = run({"--password-env", "MY_PW", loopback(port), "named-env.png"},
                          {"MY_PW=s3cret!x", "VNC_PASSWORD=wrong"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(exists(path("named-env.png")));
    }
    {
        std::ofstream(path("pw.txt")) << "s3cret!x\n";
        const ToolRun r = run({"--password-file", path("pw.txt"), loopback(port), "file.png"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(exists(path("file.png")));
    }
    {
        const ToolRun r = run({"-p", "s3cret!x", loopback(port), "arg.png"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(exists(path("arg.png")));
    }
}

TEST_F(Snapshot, WrongOrMissingPasswordIsAnAuthenticationFailure) {
    const int port = start_test_server("s3cret!x");
    ASSERT_GT(port, 0);
    const ToolRun wrong = run({loopback(port), "wrong.png"}, {"VNC_PASSWORD=guess"});
    EXPECT_EQ(kExitAuth, wrong.status);
    EXPECT_NE(std::string::npos, wrong.err.find("VNC Authentication failed")) << wrong.err;
    EXPECT_FALSE(exists(path("wrong.png")));

    const ToolRun none = run({loopback(port), "none.png"});
    EXPECT_EQ(kExitAuth, none.status) << none.err;
    EXPECT_FALSE(exists(path("none.png")));
}

TEST_F(Snapshot, DisplayNumberCountsFrom5900) {
    const int port = start_test_server(nullptr);
    ASSERT_GT(port, 0);
    if (port < 5900) GTEST_SKIP() << "system chose port " << port << ", below display 0";
    const ToolRun r = run({"127.0.0.1:" + std::to_string(port - 5900), "display.png"});
    EXPECT_EQ(0, r.status) << r.err;
    expect_canned_picture(path("display.png"));
    EXPECT_NE(std::string::npos, r.out.find(":" + std::to_string(port))) << r.out;
}

TEST_F(Snapshot, RefusedConnectionReportsTheLibrarysText) {
    vnc_socket_t s = VNC_INVALID_SOCKET;
    ASSERT_EQ(0, vnc_sock_listen_loopback(0, &s));
    const int port = vnc_sock_local_port(s);
    vnc_sock_close(s);  // nobody listens there now
    const ToolRun r = run({loopback(port), "refused.png"});
    EXPECT_EQ(kExitConnect, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Could not connect to VNC server")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("refused")) << r.err;  // the system's reason
    EXPECT_FALSE(exists(path("refused.png")));

    // Only TightVNC's type: the message says what the server offers.
    ScriptedServer tight;
    tight.send("RFB 003.008\n").read(12).send(Bytes().u8(1).u8(16)).expect_closed();
    tight.start();
    const ToolRun v = run({loopback(tight.port()), "tight.png"});
    EXPECT_EQ(kExitConnect, v.status);
    EXPECT_NE(std::string::npos, v.err.find("the server offers 16")) << v.err;
}

TEST_F(Snapshot, SilentServerTimesOut) {
    // Connections complete in the backlog, but nothing is ever said.
    vnc_socket_t s = VNC_INVALID_SOCKET;
    ASSERT_EQ(0, vnc_sock_listen_loopback(0, &s));
    const ToolRun r = run({"--timeout", "1", loopback(vnc_sock_local_port(s)), "silent.png"});
    vnc_sock_close(s);
    EXPECT_EQ(kExitTimeout, r.status);
    EXPECT_NE(std::string::npos, r.err.find("timed out")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("Failed to read RFB protocol version")) << r.err;
    EXPECT_FALSE(exists(path("silent.png")));

    // A server that trickles its first update byte by byte: the tool still
    // ends at its timeout, not when the server is done.
    ScriptedServer trickle;
    trickle.handshake(64, 64).send(Bytes().u8(0).u8(0).u16(1).rect(0, 0, 64, 64, 0));
    for (int i = 0; i < 300; ++i) trickle.send(Bytes().u8(7)).pause(10);
    trickle.start();
    const auto t0 = std::chrono::steady_clock::now();
    const ToolRun t = run({"--timeout", "1", loopback(trickle.port()), "trickle.png"});
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(kExitTimeout, t.status) << t.err;
    EXPECT_LT(took, 2.5) << "the timeout waited for the server";

    // Part of the screen after a resize (the same size), then nothing (or
    // the end): no file, and why.
    for (const bool close : {false, true}) {
        ScriptedServer part;
        part.handshake(64, 64).send(
            Bytes().u8(0).u8(0).u16(2).rect(0, 0, 64, 64, -223).rect(0, 0, 8, 8, 0).fill(256, 0xFF));
        if (close) part.read(10).close();
        part.gate();
        part.start();
        const ToolRun p = run({"--timeout", "1", loopback(part.port()), "part.png"});
        part.open_gate();
        SCOPED_TRACE(p.err);
        EXPECT_EQ(close ? kExitConnect : kExitTimeout, p.status);
        EXPECT_NE(std::string::npos, p.err.find(close ? "ended before the whole screen arrived: "
                                                      : "only part of it was drawn"));
        EXPECT_FALSE(exists(path("part.png")));
    }
}

// Checked before connecting: the server named here does not even exist.
TEST_F(Snapshot, UnwritableOutputFails) {
    const std::string target = path("no-such-dir/out.png");
    const ToolRun r = run({"no-such-host.invalid", target});
    EXPECT_EQ(kExitOutput, r.status);
    EXPECT_NE(std::string::npos, r.err.find(target)) << r.err;
    EXPECT_FALSE(exists(target));
}

TEST_F(Snapshot, BadCommandLinesAreUsageErrors) {
    std::ofstream(path("pw.txt")) << "x\n";
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"host-only"},
        {"host", "a.png", "b.png"},
        {"--no-such-option", "host", "out.png"},
        {"[::1", "out.png"},
        {"[::1]x", "out.png"},
        {"fe80::1::5900", "out.png"},
        {":1", "out.png"},
        {"host:60000", "out.png"},
        {"host::0", "out.png"},
        {"host::65536", "out.png"},
        {"host:x", "out.png"},
        {"--timeout", "0", "host", "out.png"},
        {"--timeout", "soon", "host", "out.png"},
        {"--timeout"},
        {"--password-env", "QV_SURELY_UNSET_VARIABLE", "host", "out.png"},
        {"--password-file", path("missing.txt"), "host", "out.png"},
        {"--password-file", path("pw.txt"), "-p", "x", "host", "out.png"},
        {"--demo", "a.png", "b.png"},
        {"host", "a.jpg"},
        {"--demo", "shot.PNG.gif"},
        {"--security"},
        {"--security", "rot13", "host", "out.png"},
        {"--pin", "md5:00", "host", "out.png"},
        {"--pin", "sha256:00", "--insecure", "host", "out.png"},
        {"--demo", "--compress", "small", "out.png"},
        {"--demo", "--compress"},
    };
    for (const auto &args : bad) {
        std::string joined;
        for (const auto &a : args) joined += a + " ";
        SCOPED_TRACE(joined);
        const ToolRun r = run(args);
        EXPECT_EQ(kExitUsage, r.status) << r.err;
        EXPECT_NE("", r.err);
    }
}

#else

TEST(Snapshot, ToolNotBuilt) { GTEST_SKIP() << "vnc-snapshot is not part of this build"; }

#endif
