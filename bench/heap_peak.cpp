// Preloaded (LD_PRELOAD) into the benchmark's peak-memory probe: counts the
// bytes of live C-heap blocks, as malloc_usable_size reports them, and the
// highest count since the last reset. Exact where resident-memory figures
// move with where the allocator happened to place blocks.

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t) noexcept;
void *__libc_calloc(size_t, size_t) noexcept;
void *__libc_realloc(void *, size_t) noexcept;
void __libc_free(void *) noexcept;
void *__libc_memalign(size_t, size_t) noexcept;
size_t malloc_usable_size(void *) noexcept;
}

namespace {

std::atomic<long long> live{0};
std::atomic<long long> peak{0};

void *counted(void *p) noexcept {
    if (p) {
        auto n = static_cast<long long>(malloc_usable_size(p));
        long long now = live.fetch_add(n, std::memory_order_relaxed) + n;
        long long seen = peak.load(std::memory_order_relaxed);
        while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
        }
    }
    return p;
}

void uncount(void *p) noexcept {
    if (p)
        live.fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void *malloc(size_t n) noexcept { return counted(__libc_malloc(n)); }

void *calloc(size_t count, size_t n) noexcept { return counted(__libc_calloc(count, n)); }

void *realloc(void *p, size_t n) noexcept {
    long long before = p ? static_cast<long long>(malloc_usable_size(p)) : 0;
    void *moved = __libc_realloc(p, n);
    if (moved || (p && n == 0)) {  // on failure the old block stays as it was
        live.fetch_sub(before, std::memory_order_relaxed);
        counted(moved);
    }
    return moved;
}

void *reallocarray(void *p, size_t count, size_t n) noexcept {
    if (n != 0 && count > static_cast<size_t>(-1) / n) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(p, count * n);
}

void free(void *p) noexcept {
    uncount(p);
    __libc_free(p);
}

void *memalign(size_t alignment, size_t n) noexcept {
    return counted(__libc_memalign(alignment, n));
}

void *aligned_alloc(size_t alignment, size_t n) noexcept { return memalign(alignment, n); }

int posix_memalign(void **out, size_t alignment, size_t n) noexcept {
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void *p = memalign(alignment, n);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

// The probe's interface: restart the peak from the current count, then read
// both after the encode.
void tervalo_heap_reset() noexcept { peak.store(live.load()); }
long long tervalo_heap_live() noexcept { return live.load(); }
long long tervalo_heap_peak() noexcept { return peak.load(); }

}  // extern "C"
