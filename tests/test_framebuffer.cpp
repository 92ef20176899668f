// The framebuffer exports, the dirty-rectangle merge and the handle's lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <future>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "test_util.h"
#include "vnc_client_internal.h"

namespace {

using namespace std::chrono_literals;

struct Handle {
    vnc_client_t *c = vnc_create();
    ~Handle() { vnc_destroy(c); }
    // Gives the handle a framebuffer as ServerInit would.
    void resize(int w, int h) {
        std::lock_guard<std::recursive_mutex> g(c->lock);
        vnc_framebuffer_resize(c, w, h);
        c->dirty = 0;
    }
    void mark(int x, int y, int w, int h) {
        std::lock_guard<std::recursive_mutex> g(c->lock);
        mark_dirty_region(c, x, y, w, h);
    }
};

struct Rect {
    int x = -7, y = -7, w = -7, h = -7;
    bool operator==(const Rect &o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};
std::ostream &operator<<(std::ostream &os, const Rect &r) {
    return os << "(" << r.x << "," << r.y << " " << r.w << "x" << r.h << ")";
}

// Runs vnc_get_dimensions on another thread; the future is ready once that
// thread got the lock.
std::future<int> dimensions_elsewhere(vnc_client_t *c) {
    return std::async(std::launch::async, [c] {
        int w = -1, h = -1;
        return vnc_get_dimensions(c, &w, &h);
    });
}

// ---- the dirty rectangle ---------------------------------------------------

TEST(DirtyRect, ClipsAtTheRightAndBottomEdges) {
    Handle h;
    h.resize(200, 100);
    Rect r;
    h.mark(200 - 10, 0, 50, 5);
    ASSERT_EQ(1, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h));
    EXPECT_EQ((Rect{190, 0, 10, 5}), r);

    h.mark(3, 100 - 4, 8, 60);
    ASSERT_EQ(1, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h));
    EXPECT_EQ((Rect{3, 96, 8, 4}), r);
}

TEST(DirtyRect, RectangleOutsideOrEmptyLeavesStateUnchanged) {
    Handle h;
    h.resize(200, 100);
    Rect r;
    h.mark(200, 0, 10, 10);  // just right of the edge
    h.mark(500, 5, 10, 10);
    h.mark(0, 100, 10, 10);  // just below
    h.mark(5, 5, 0, 10);
    h.mark(5, 5, 10, 0);
    h.mark(5, 5, -3, 10);
    EXPECT_EQ(0, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h));
    EXPECT_EQ(Rect{}, r) << "outputs untouched when nothing is dirty";

    // Nor does it grow a rectangle already held.
    h.mark(10, 20, 30, 40);
    h.mark(250, 90, 10, 10);
    h.mark(10, 150, 10, 10);
    ASSERT_EQ(1, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h));
    EXPECT_EQ((Rect{10, 20, 30, 40}), r);
}

TEST(DirtyRect, TwoMarksMergeIntoTheirBoundingBoxDeliveredOnce) {
    Handle h;
    h.resize(120, 120);
    h.mark(0, 0, 10, 10);
    h.mark(100, 100, 10, 10);
    Rect r;
    ASSERT_EQ(1, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h));
    EXPECT_EQ((Rect{0, 0, 110, 110}), r);
    Rect second;
    EXPECT_EQ(0, vnc_get_dirty_rect(h.c, &second.x, &second.y, &second.w, &second.h));
    EXPECT_EQ(Rect{}, second);

    // The box grows in each direction separately, and a mark inside it changes nothing.
    h.mark(50, 40, 10, 10);
    h.mark(30, 60, 5, 30);
    h.mark(52, 45, 2, 2);
    ASSERT_EQ(1, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h));
    EXPECT_EQ((Rect{30, 40, 30, 50}), r);
}

TEST(DirtyRect, HugeSizesDoNotOverflow) {
    Handle h;
    h.resize(64, 48);
    Rect r;
    h.mark(5, 6, INT_MAX, INT_MAX);
    ASSERT_EQ(1, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h));
    EXPECT_EQ((Rect{5, 6, 59, 42}), r);

    h.mark(63, 47, INT_MAX, INT_MAX);
    ASSERT_EQ(1, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h));
    EXPECT_EQ((Rect{63, 47, 1, 1}), r);

    // Largest wire coordinates with large sizes: still outside, still no wrap.
    h.mark(65535, 65535, INT_MAX, INT_MAX);
    h.mark(65535, 0, 65535, 10);
    EXPECT_EQ(0, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h));
}

TEST(DirtyRect, NothingIsMarkedWithoutAFramebuffer) {
    Handle h;
    h.mark(0, 0, 10, 10);
    Rect r;
    EXPECT_EQ(0, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h));
}

TEST(DirtyRect, NullArgumentsReturnZeroAndKeepTheRectangle) {
    Handle h;
    h.resize(32, 32);
    h.mark(1, 2, 3, 4);
    int x, y, w, hh;
    EXPECT_EQ(0, vnc_get_dirty_rect(nullptr, &x, &y, &w, &hh));
    EXPECT_EQ(0, vnc_get_dirty_rect(h.c, nullptr, &y, &w, &hh));
    EXPECT_EQ(0, vnc_get_dirty_rect(h.c, &x, nullptr, &w, &hh));
    EXPECT_EQ(0, vnc_get_dirty_rect(h.c, &x, &y, nullptr, &hh));
    EXPECT_EQ(0, vnc_get_dirty_rect(h.c, &x, &y, &w, nullptr));
    Rect r;
    ASSERT_EQ(1, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h))
        << "rejected calls cleared nothing";
    EXPECT_EQ((Rect{1, 2, 3, 4}), r);
}

TEST(DirtyRect, ConcurrentMarksAreNeverLost) {
    // A writer marks single pixels under the lock while the host polls; every
    // pixel must fall inside some delivered rectangle.
    Handle h;
    const int W = 97, H = 61;
    h.resize(W, H);
    const int kMarks = 3000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < kMarks; ++i) {
            h.mark((i * 31) % W, (i * 17) % H, 1, 1);
            if (i % 64 == 0) std::this_thread::yield();
        }
        done.store(true);
    });
    std::vector<Rect> delivered;
    for (;;) {
        const bool finished = done.load();
        Rect r;
        if (vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h)) delivered.push_back(r);
        if (finished) break;
    }
    writer.join();
    Rect r;
    if (vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h)) delivered.push_back(r);
    for (int i = 0; i < kMarks; ++i) {
        const int px = (i * 31) % W, py = (i * 17) % H;
        bool covered = false;
        for (const Rect &d : delivered)
            covered |= px >= d.x && px < d.x + d.w && py >= d.y && py < d.y + d.h;
        ASSERT_TRUE(covered) << "pixel " << px << "," << py << " lost";
    }
    for (const Rect &d : delivered) {
        EXPECT_TRUE(d.x >= 0 && d.y >= 0 && d.w > 0 && d.h > 0 && d.x + d.w <= W && d.y + d.h <= H)
            << d;
    }
}

// ---- dimensions and the framebuffer lock ------------------------------------

TEST(Framebuffer, BeforeAnyConnection) {
    Handle h;
    int w = -1, hh = -1;
    ASSERT_EQ(0, vnc_get_dimensions(h.c, &w, &hh));
    EXPECT_EQ(0, w);
    EXPECT_EQ(0, hh);

    void *pixels = &w;
    int stride = -1;
    w = hh = -1;
    EXPECT_EQ(-1, vnc_lock_framebuffer(h.c, &pixels, &stride, &w, &hh));
    EXPECT_EQ(nullptr, pixels);
    EXPECT_EQ(0, stride);
    EXPECT_EQ(0, w);
    EXPECT_EQ(0, hh);

    // The lock is held although the call failed: another thread must wait.
    auto other = dimensions_elsewhere(h.c);
    EXPECT_EQ(std::future_status::timeout, other.wait_for(300ms)) << "lock was not held";
    vnc_unlock_framebuffer(h.c);
    ASSERT_EQ(std::future_status::ready, other.wait_for(10s)) << "unlock did not release it";
    EXPECT_EQ(0, other.get());
}

TEST(Framebuffer, LockWithANullArgumentTakesNothing) {
    Handle h;
    h.resize(8, 8);
    void *pixels = nullptr;
    int stride = 0, w = 0, hh = 0;
    EXPECT_EQ(-1, vnc_lock_framebuffer(nullptr, &pixels, &stride, &w, &hh));
    const int results[] = {
        vnc_lock_framebuffer(h.c, nullptr, &stride, &w, &hh),
        vnc_lock_framebuffer(h.c, &pixels, nullptr, &w, &hh),
        vnc_lock_framebuffer(h.c, &pixels, &stride, nullptr, &hh),
        vnc_lock_framebuffer(h.c, &pixels, &stride, &w, nullptr),
    };
    for (int r : results) EXPECT_EQ(-1, r);
    EXPECT_EQ(nullptr, pixels) << "no output written";

    auto other = dimensions_elsewhere(h.c);
    if (other.wait_for(10s) != std::future_status::ready) {
        // Taken by mistake: release it so the test ends instead of hanging.
        for (int i = 0; i < 4; ++i) vnc_unlock_framebuffer(h.c);
        other.wait();
        FAIL() << "a rejected vnc_lock_framebuffer kept the lock";
    }
    EXPECT_EQ(0, other.get());
    vnc_unlock_framebuffer(nullptr);  // ignored
}

TEST(Framebuffer, LockedFramebufferAndRecursiveUse) {
    Handle h;
    h.resize(64, 48);
    h.mark(1, 1, 2, 2);
    void *pixels = nullptr;
    int stride = 0, w = 0, hh = 0;
    ASSERT_EQ(0, vnc_lock_framebuffer(h.c, &pixels, &stride, &w, &hh));
    EXPECT_EQ(h.c->framebuffer, pixels);
    EXPECT_EQ(64 * 4, stride);
    EXPECT_EQ(64, w);
    EXPECT_EQ(48, hh);
    const uint32_t *px = static_cast<const uint32_t *>(pixels);
    bool all_zero = true;
    for (int i = 0; i < 64 * 48; ++i) all_zero &= px[i] == 0;
    EXPECT_TRUE(all_zero) << "a new framebuffer starts zero-filled";

    // The holder may use the other lock-taking exports without blocking
    // (a non-recursive lock would hang here).
    int dw = 0, dh = 0;
    EXPECT_EQ(0, vnc_get_dimensions(h.c, &dw, &dh));
    EXPECT_EQ(64, dw);
    Rect r;
    EXPECT_EQ(1, vnc_get_dirty_rect(h.c, &r.x, &r.y, &r.w, &r.h));
    EXPECT_EQ((Rect{1, 1, 2, 2}), r);
    // Nested lock: two locks need two unlocks.
    ASSERT_EQ(0, vnc_lock_framebuffer(h.c, &pixels, &stride, &w, &hh));
    vnc_unlock_framebuffer(h.c);
    auto other = dimensions_elsewhere(h.c);
    EXPECT_EQ(std::future_status::timeout, other.wait_for(200ms))
        << "one unlock of two released it";
    vnc_unlock_framebuffer(h.c);
    ASSERT_EQ(std::future_status::ready, other.wait_for(10s));
    EXPECT_EQ(0, other.get());
}

TEST(Framebuffer, DimensionsRejectNullArguments) {
    Handle h;
    int w = 5, hh = 6;
    EXPECT_EQ(-1, vnc_get_dimensions(nullptr, &w, &hh));
    EXPECT_EQ(-1, vnc_get_dimensions(h.c, nullptr, &hh));
    EXPECT_EQ(-1, vnc_get_dimensions(h.c, &w, nullptr));
    EXPECT_EQ(5, w);
    EXPECT_EQ(6, hh);
}

TEST(Framebuffer, ResizeReplacesTheArray) {
    // The large sizes are faulted in on a helper thread, which an array
    // replaced at once must survive.
    const struct {
        int w0, h0, w1, h1;
    } cases[] = {{16, 16, 40, 10}, {1920, 1080, 2048, 1536}, {2048, 1536, 16, 16}};
    for (const auto &k : cases) {
        SCOPED_TRACE(std::to_string(k.w0) + "x" + std::to_string(k.h0));
        Handle h;
        h.resize(k.w0, k.h0);
        vnc_back_drawn(h.c, 0, 0, k.w0, k.h0);  // starts the helper
        {
            std::lock_guard<std::recursive_mutex> g(h.c->lock);
            std::fill_n(h.c->framebuffer, static_cast<size_t>(k.w0) * k.h0, 0xFFFFFFFFu);
        }
        h.resize(k.w1, k.h1);
        void *pixels = nullptr;
        int stride = 0, w = 0, hh = 0;
        ASSERT_EQ(0, vnc_lock_framebuffer(h.c, &pixels, &stride, &w, &hh));
        EXPECT_EQ(k.w1 * 4, stride);
        EXPECT_EQ(k.w1, w);
        EXPECT_EQ(k.h1, hh);
        const uint32_t *px = static_cast<const uint32_t *>(pixels);
        bool all_zero = true;
        for (int i = 0; i < k.w1 * k.h1; ++i) all_zero &= px[i] == 0;
        EXPECT_TRUE(all_zero) << "no pixels carried over";
        vnc_unlock_framebuffer(h.c);
    }
}

#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
// Once an eighth of the picture has been drawn, the helper faults in the
// whole of the host's array; before, a size alone costs no memory.
TEST(Framebuffer, LargeArrayIsFaultedInOnceThePictureComes) {
    void *probe = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, probe);
    const bool populates = madvise(probe, 4096, MADV_POPULATE_WRITE) == 0;
    munmap(probe, 4096);
    if (!populates) GTEST_SKIP() << "this kernel cannot populate";
    for (int rows : {0, 100, 135}) {
        SCOPED_TRACE(rows);
        Handle h;
        h.resize(1920, 1080);
        if (rows) vnc_back_drawn(h.c, 0, 0, 1920, rows);
        uint32_t *fb = h.c->framebuffer;
        const bool faulted = rows >= 1080 / 8;
        if (faulted)
            ASSERT_TRUE(wait_until([&] { return vnc_pixels_prefault_done_for_testing(fb); }, 10000));
        else
            std::this_thread::sleep_for(200ms);
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t bytes = size_t{1920} * 1080 * 4, pages = (bytes + page - 1) / page;
        std::vector<unsigned char> resident(pages);
        ASSERT_EQ(0, mincore(fb, bytes, resident.data()));
        EXPECT_EQ(faulted ? pages : 0, static_cast<size_t>(std::count_if(
                                           resident.begin(), resident.end(),
                                           [](unsigned char r) { return r & 1; })));
    }
}
#endif

}  // namespace
