// src/sixel_heap.h driven directly, through paths an encode does not take
// (libsixel 1.10 never reallocates through its allocator) and with each of
// its allocations refused in turn. Every malloc, calloc, realloc and free the
// heap makes goes through the wrappers below (linked in with --wrap), which
// keep the blocks handed out and not yet freed, can refuse a chosen call,
// and count a free of anything else (a double free, a stale pointer) as a
// fault instead of passing it on. Prints one line per check; exits 1 if one
// failed.

#include "sixel_heap.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

extern "C" {
void *__real_malloc(size_t);
void *__real_calloc(size_t, size_t);
void *__real_realloc(void *, size_t);
void __real_free(void *);
}

namespace {

constexpr size_t max_live = 4096;
void *live[max_live];
size_t live_count;
long calls;        // allocation calls (malloc, calloc, realloc) so far
long refuse_call;  // the call to refuse; 0: none
long faults;       // frees and reallocations of blocks not live

bool is_live(const void *p) {
    for (size_t i = 0; i < live_count; ++i) {
        if (live[i] == p)
            return true;
    }
    return false;
}

void add_live(void *p) {
    if (!p)
        return;
    if (live_count == max_live) {
        ++faults;
        return;
    }
    live[live_count++] = p;
}

bool remove_live(const void *p) {
    for (size_t i = 0; i < live_count; ++i) {
        if (live[i] == p) {
            live[i] = live[--live_count];
            return true;
        }
    }
    return false;
}

bool refuse_now() { return ++calls == refuse_call; }

}  // namespace

extern "C" {
void *__wrap_malloc(size_t n) {
    if (refuse_now())
        return nullptr;
    void *p = __real_malloc(n);
    add_live(p);
    return p;
}

void *__wrap_calloc(size_t count, size_t n) {
    if (refuse_now())
        return nullptr;
    void *p = __real_calloc(count, n);
    add_live(p);
    return p;
}

void *__wrap_realloc(void *p, size_t n) {
    if (refuse_now())
        return nullptr;  // as a real refusal: the old block is untouched
    if (p && !is_live(p)) {
        ++faults;
        return nullptr;
    }
    void *q = __real_realloc(p, n);
    if (q) {
        remove_live(p);
        add_live(q);
    }
    return q;
}

void __wrap_free(void *p) {
    if (!p)
        return;
    if (!remove_live(p)) {
        ++faults;
        return;
    }
    __real_free(p);
}
}

namespace {

using tervalo::sixel_heap;

int failed_checks;

void check(bool ok, const char *what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        ++failed_checks;
}

void fill(void *p, size_t n, int byte) { std::memset(p, byte, n); }

bool holds(const void *p, size_t n, int byte) {
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i) {
        if (b[i] != static_cast<unsigned char>(byte))
            return false;
    }
    return true;
}

// What a run touches lives here, not in locals: a refusal leaves the run by
// longjmp, after which locals changed inside it are indeterminate.
void *g[8];

void test_allocate_and_release() {
    long faults_before = faults;
    {
        sixel_heap heap;
        long calls_before = calls;
        check(!sixel_heap::allocate(16) && !sixel_heap::allocate_zeroed(2, 8) &&
                  calls == calls_before,
              "outside a run no block is handed out, and none is allocated");
        auto steps = []() noexcept {
            g[0] = sixel_heap::allocate(24);
            g[1] = sixel_heap::allocate_zeroed(100, 8);
            g[2] = sixel_heap::allocate(0);
            g[3] = sixel_heap::allocate_zeroed(0, 0);
            sixel_heap::release(g[0]);
            sixel_heap::release(nullptr);
        };
        check(heap.run(steps), "a run without a refusal returns true");
        check(!is_live(g[0]), "a released block is freed at once");
        check(g[1] && holds(g[1], 800, 0), "allocate_zeroed gives zeroed memory");
        check(g[2] && g[3] && is_live(g[2]) && is_live(g[3]),
              "a zero-size request gets a block of its own");
        // libsixel's unref functions release after the run, while the heap lives.
        sixel_heap::release(g[2]);
        check(!is_live(g[2]), "a block released after the run is freed");
        check(!sixel_heap::reallocate(g[1], 4000) && is_live(g[1]) && holds(g[1], 800, 0),
              "outside a run no reallocation happens, and the block is kept");
    }
    check(live_count == 0 && faults == faults_before,
          "the heap frees every block still held when it goes, each once");
    live_count = 0;  // a leak is reported once, not again by the next check
}

void test_reallocate() {
    long faults_before = faults;
    {
        sixel_heap heap;
        auto steps = []() noexcept {
            g[0] = sixel_heap::allocate(16);
            fill(g[0], 16, 0xA1);
            g[1] = sixel_heap::reallocate(g[0], 1 << 20);  // growing, out of place
            g[2] = sixel_heap::reallocate(nullptr, 40);    // as allocate
            fill(g[2], 40, 0xB2);
            g[3] = sixel_heap::reallocate(g[2], 8);  // shrinking
            g[4] = sixel_heap::allocate(32);
            g[5] = sixel_heap::reallocate(g[4], 0);  // zero size: still a block
            g[6] = sixel_heap::allocate(48);
            fill(g[6], 48, 0xD4);
            g[6] = sixel_heap::reallocate(g[6], 96);
        };
        check(heap.run(steps), "reallocations in a run return true");
        check(g[1] && holds(g[1], 16, 0xA1), "growing keeps the contents");
        check(g[3] && holds(g[3], 8, 0xB2), "shrinking keeps what still fits");
        check(g[5] && is_live(g[5]), "reallocating to size 0 gives a block");
        check(g[6] && holds(g[6], 48, 0xD4), "a reallocated block reallocates again");
        sixel_heap::release(g[3]);
        check(!is_live(g[3]), "a reallocated block can be released");
    }
    check(live_count == 0 && faults == faults_before,
          "reallocated blocks are released once, their old addresses never");
    live_count = 0;
}

void test_refused_reallocate() {
    long faults_before = faults;
    {
        sixel_heap heap;
        g[1] = g[2] = nullptr;
        auto steps = []() noexcept {
            g[0] = sixel_heap::allocate(64);
            fill(g[0], 64, 0xC3);
            refuse_call = calls + 1;
            g[1] = sixel_heap::reallocate(g[0], 1 << 16);
            g[2] = g[0];  // not reached
        };
        bool finished = heap.run(steps);
        refuse_call = 0;
        check(!finished && !g[1] && !g[2],
              "a refused reallocation leaves the run, which returns false");
        check(is_live(g[0]) && holds(g[0], 64, 0xC3), "the old block stays, unchanged");
    }
    check(live_count == 0 && faults == faults_before,
          "the heap releases the block whose reallocation was refused");
    live_count = 0;
}

// Enough blocks to grow the slot table five times, released out of order so
// that deletions open holes inside probe chains, some reallocated, then more
// allocated into the holes.
constexpr int first_blocks = 300;
constexpr int more_blocks = 100;
constexpr int script_blocks = first_blocks + more_blocks;
void *blocks[script_blocks];
size_t sizes[script_blocks];

int byte_of(int i) { return 1 + i % 251; }

void script() noexcept {
    for (int i = 0; i < first_blocks; ++i) {
        sizes[i] = 8 + static_cast<size_t>(i * 37 % 200);
        blocks[i] = i % 3 == 0 ? sixel_heap::allocate_zeroed(1, sizes[i])
                               : sixel_heap::allocate(sizes[i]);
        fill(blocks[i], sizes[i], byte_of(i));
    }
    for (int k = 0; k < first_blocks; ++k) {
        int i = k * 7919 % first_blocks;  // 7919 is prime to 300: a permutation
        if (i % 3 == 0) {
            sixel_heap::release(blocks[i]);
            blocks[i] = nullptr;
        } else if (i % 3 == 1) {
            size_t n = i % 2 ? sizes[i] * 3 : sizes[i] / 2 + 1;
            blocks[i] = sixel_heap::reallocate(blocks[i], n);
            if (n < sizes[i])
                sizes[i] = n;
        }
    }
    for (int i = first_blocks; i < script_blocks; ++i) {
        sizes[i] = 16 + static_cast<size_t>(i % 50);
        blocks[i] = sixel_heap::allocate(sizes[i]);
        fill(blocks[i], sizes[i], byte_of(i));
    }
}

void reset_script() {
    for (int i = 0; i < script_blocks; ++i) {
        blocks[i] = nullptr;
        sizes[i] = 0;
    }
}

void test_refusal_walk() {
    long faults_before = faults;
    long allocations;
    {
        reset_script();
        sixel_heap heap;
        long calls_before = calls;
        auto steps = []() noexcept { script(); };
        check(heap.run(steps), "the script runs through without a refusal");
        allocations = calls - calls_before;
        bool intact = true;
        for (int i = 0; i < script_blocks; ++i) {
            if (blocks[i])
                intact = intact && is_live(blocks[i]) && holds(blocks[i], sizes[i], byte_of(i));
        }
        check(intact, "every block the script holds is live and keeps its contents");
    }
    check(live_count == 0 && faults == faults_before, "the script's blocks are released once");
    live_count = 0;

    long refused_runs = 0, leaks = 0, extra_faults = 0;
    for (long k = 1; k <= allocations; ++k) {
        reset_script();
        long faults_at = faults;
        {
            sixel_heap heap;
            refuse_call = calls + k;
            auto steps = []() noexcept { script(); };
            refused_runs += !heap.run(steps);
            refuse_call = 0;
        }
        leaks += live_count != 0;
        extra_faults += faults != faults_at;
        live_count = 0;  // forget a leak so that the next run starts clean
    }
    std::printf("walk: %ld allocations, each refused in turn\n", allocations);
    check(refused_runs == allocations, "each refusal ends its run with false");
    check(leaks == 0, "no refusal leaves a block unreleased");
    check(extra_faults == 0, "no refusal makes the heap free a block twice or a stale one");
}

}  // namespace

int main() {
    test_allocate_and_release();
    test_reallocate();
    test_refused_reallocate();
    test_refusal_walk();
    std::printf("%s\n", failed_checks ? "FAILED" : "all checks passed");
    return failed_checks ? 1 : 0;
}
