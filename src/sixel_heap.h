// The heap libsixel allocates from while the module encodes.
//
// Contract: sixel_heap::run(calls) runs `calls` with refusals armed. When an
// allocation cannot be satisfied, the allocating function does not return
// null to libsixel: it longjmps straight back into run(), which returns
// false. Everything between run() and the refused allocation is skipped, so
// `calls` must not throw and must not own anything with a destructor, and the
// libsixel objects it touched must be abandoned, never unref'd (they may be
// half-updated). The heap records every block it hands out and frees all of
// them when it is destroyed, so abandoning leaks nothing.
//
// Why: libsixel (1.10 and 1.8.7 alike) does not survive its own allocation
// failures. Depending on which allocation is refused it frees an
// uninitialised pointer, dereferences null, or reports success with a
// damaged stream.
//
// The blocks are recorded in a table beside them, not in headers: the
// encoder walks long linked lists of small nodes, and a header per node
// spreads them over more cache lines, which cost a fifth more time on large
// photos.

#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace tervalo {

class sixel_heap {
public:
    // One heap per call, and calls never nest (libsixel does not call back
    // into Python), so there is no outer heap to restore.
    sixel_heap() noexcept { current_ = this; }
    sixel_heap(const sixel_heap &) = delete;
    sixel_heap &operator=(const sixel_heap &) = delete;
    ~sixel_heap() {
        release_all();
        current_ = nullptr;
    }

    // Runs `calls` with refusals armed; false if an allocation was refused
    // meanwhile. `calls` must not throw nor own anything with a destructor:
    // a refusal leaves it by longjmp.
    template <typename Calls> bool run(Calls &calls) noexcept {
        armed_ = true;
        if (setjmp(on_refusal_) != 0) {
            armed_ = false;
            return false;
        }
        calls();
        armed_ = false;
        return true;
    }

    // Outside a guarded run nothing could account for a new block, so none is
    // handed out; blocks are still released (libsixel's unref functions run
    // after the run, while the heap lives).
    static void *allocate(size_t n) noexcept {
        sixel_heap *heap = armed();
        return heap ? heap->adopt(std::malloc(n ? n : 1)) : nullptr;
    }

    static void *allocate_zeroed(size_t count, size_t n) noexcept {
        sixel_heap *heap = armed();
        return heap ? heap->adopt(std::calloc(count ? count : 1, n ? n : 1)) : nullptr;
    }

    static void *reallocate(void *p, size_t n) noexcept {
        if (!p)
            return allocate(n);
        sixel_heap *heap = armed();
        if (!heap)
            return nullptr;
        // Forgetting first frees a slot, so neither insert below can fail.
        heap->forget(p);
        void *moved = std::realloc(p, n ? n : 1);
        if (!moved) {
            heap->insert(p);  // still valid, still libsixel's
            heap->refuse();
        }
        heap->insert(moved);
        return moved;
    }

    static void release(void *p) noexcept {
        if (!p)
            return;
        if (current_)
            current_->forget(p);
        std::free(p);
    }

private:
    static sixel_heap *armed() noexcept {
        return current_ && current_->armed_ ? current_ : nullptr;
    }

    [[noreturn]] void refuse() noexcept { std::longjmp(on_refusal_, 1); }

    void *adopt(void *block) noexcept {
        if (!block)
            refuse();
        if (!record(block)) {
            std::free(block);
            refuse();
        }
        return block;
    }

    // Open addressing with linear probing over a power-of-two table kept at
    // most half full; null marks a free slot.
    size_t slot_of(const void *p) const noexcept {
        auto h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p) >> 4);
        return static_cast<size_t>(h * 0x9E3779B97F4A7C15ull >> 32) & (capacity_ - 1);
    }

    void insert(void *p) noexcept {
        size_t i = slot_of(p);
        while (slots_[i])
            i = (i + 1) & (capacity_ - 1);
        slots_[i] = p;
        ++count_;
    }

    bool record(void *p) noexcept {
        if ((count_ + 1) * 2 > capacity_ && !grow())
            return false;
        insert(p);
        return true;
    }

    bool grow() noexcept {
        size_t capacity = capacity_ ? capacity_ * 2 : 64;
        auto *slots = static_cast<void **>(std::calloc(capacity, sizeof(void *)));
        if (!slots)
            return false;
        void **old = slots_;
        size_t old_capacity = capacity_;
        slots_ = slots;
        capacity_ = capacity;
        count_ = 0;
        for (size_t i = 0; i < old_capacity; ++i) {
            if (old[i])
                insert(old[i]);
        }
        std::free(old);
        return true;
    }

    void forget(void *p) noexcept {
        if (!capacity_)
            return;
        size_t i = slot_of(p);
        while (slots_[i] != p) {
            if (!slots_[i])
                return;
            i = (i + 1) & (capacity_ - 1);
        }
        // Backward-shift deletion keeps every probe chain unbroken.
        for (size_t j = (i + 1) & (capacity_ - 1); slots_[j]; j = (j + 1) & (capacity_ - 1)) {
            size_t home = slot_of(slots_[j]);
            if (((j - home) & (capacity_ - 1)) >= ((j - i) & (capacity_ - 1))) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = nullptr;
        --count_;
    }

    void release_all() noexcept {
        for (size_t i = 0; i < capacity_; ++i)
            std::free(slots_[i]);
        std::free(slots_);
        slots_ = nullptr;
        capacity_ = count_ = 0;
    }

    void **slots_ = nullptr;
    size_t capacity_ = 0;
    size_t count_ = 0;
    bool armed_ = false;
    std::jmp_buf on_refusal_;
    // libsixel's allocator callbacks get no context pointer, so the heap of
    // the call in progress is found through this; thread-local because each
    // call runs wholly on its caller's thread.
    static inline thread_local sixel_heap *current_ = nullptr;
};

}  // namespace tervalo
