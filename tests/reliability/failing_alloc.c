/* Preloaded into a test interpreter to refuse one chosen heap allocation
 * made from the code of one chosen shared object, so that out-of-memory
 * paths run for real instead of being assumed; to count the heap calls
 * that object's code makes, to show whose heap it uses; or to keep the
 * blocks its code was handed and not yet given back, to show it leaks
 * none. One object is watched at a time, by all three. Not thread-safe:
 * the tests arm it from the only thread that allocates through the
 * watched object. */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void __libc_free(void *);

enum { WATCH_MALLOC = 1, WATCH_CALLOC = 2, WATCH_REALLOC = 4, WATCH_FREE = 8 };

static uintptr_t text_lo, text_hi;
static int watched;
static long let_through;
static long refused;
static int counting;
static long counts[4]; /* by kind: malloc, calloc, realloc, free */

/* The object is the loaded file whose real path is the one asked for: a
 * substring would also match any object under a directory that happens to
 * hold the name (a checkout, a venv, an interpreter built there). */
static int find_text(struct dl_phdr_info *info, size_t size, void *target) {
    char path[PATH_MAX];
    (void)size;
    if (!info->dlpi_name || !info->dlpi_name[0] || !realpath(info->dlpi_name, path) ||
        strcmp(path, (const char *)target) != 0)
        return 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type == PT_LOAD && (ph->p_flags & PF_X)) {
            text_lo = info->dlpi_addr + ph->p_vaddr;
            text_hi = text_lo + ph->p_memsz;
        }
    }
    return 1;
}

/* Watches the code of the loaded object at path `object` (any path to the
 * file: both sides are resolved); 0 if no loaded object is that file. */
static int watch(const char *object) {
    char target[PATH_MAX];
    text_lo = text_hi = 0; /* nothing is watched while realpath allocates */
    if (object && realpath(object, target))
        dl_iterate_phdr(find_text, target);
    return text_hi != 0;
}

/* Refuse the allocation of a kind in `kinds` made from the object at path
 * `object` after `skip` such allocations have gone through; returns 0 if
 * no loaded object is that file. */
int fail_alloc_arm(const char *object, int kinds, long skip) {
    watched = 0;
    let_through = skip;
    watched = watch(object) ? kinds : 0;
    return watched != 0;
}

void fail_alloc_disarm(void) { watched = 0; }

/* Count, refusing nothing, the calls of a kind in `kinds` (WATCH_FREE too)
 * made from the object at path `object` from now on, zeroing earlier
 * counts; `kinds` 0 stops. Returns 0 if no loaded object is that file. */
int fail_alloc_count(const char *object, int kinds) {
    counting = 0;
    if (!kinds)
        return 1;
    memset(counts, 0, sizeof counts);
    counting = watch(object) ? kinds : 0;
    return counting != 0;
}

/* Calls of one kind (a single WATCH_ bit) counted so far. */
long fail_alloc_calls(int kind) {
    for (int i = 0; i < 4; i++)
        if (kind == 1 << i)
            return counts[i];
    return -1;
}

long fail_alloc_refused(void) { return refused; }

/* --- blocks the watched code holds ---------------------------------------
 * Every block the watched object's code gets from malloc, calloc or
 * realloc is kept in a table until it is freed or reallocated, by whoever
 * does it (the module's heap frees through a tail call, so the caller of
 * free is not always the code that allocated). Open addressing with linear
 * probing, at most half full, backward-shift deletion. */
enum { TRACK_SLOTS = 1 << 20 };
static uintptr_t tracked[TRACK_SLOTS];
static long live;
static int tracking;
static int overflowed;

static size_t track_slot(uintptr_t p) {
    return (size_t)(((uint64_t)p >> 4) * 0x9E3779B97F4A7C15ull >> 40) & (TRACK_SLOTS - 1);
}

static void track(void *block) {
    uintptr_t p = (uintptr_t)block;
    if (!p)
        return;
    if (live * 2 >= TRACK_SLOTS) {
        overflowed = 1;
        return;
    }
    size_t i = track_slot(p);
    while (tracked[i])
        i = (i + 1) & (TRACK_SLOTS - 1);
    tracked[i] = p;
    live++;
}

/* Returns 1 if `block` was kept (and no longer is). The same open addressing
 * with backward-shift deletion as the module's heap (src/sixel_heap.h), but
 * not shared with it: this table lives inside malloc, so it is static and
 * never grows (growing would allocate), and the shim stays C so that it
 * preloads into any process, with no C++ runtime of its own. */
static int untrack(void *block) {
    uintptr_t p = (uintptr_t)block;
    if (!p || !live)
        return 0;
    size_t i = track_slot(p);
    while (tracked[i] != p) {
        if (!tracked[i])
            return 0;
        i = (i + 1) & (TRACK_SLOTS - 1);
    }
    for (size_t j = (i + 1) & (TRACK_SLOTS - 1); tracked[j]; j = (j + 1) & (TRACK_SLOTS - 1)) {
        size_t home = track_slot(tracked[j]);
        if (((j - home) & (TRACK_SLOTS - 1)) >= ((j - i) & (TRACK_SLOTS - 1))) {
            tracked[i] = tracked[j];
            i = j;
        }
    }
    tracked[i] = 0;
    live--;
    return 1;
}

/* From now on keep every block the object at path `object` gets, forgetting
 * those kept before; null stops. Returns 0 if no loaded object is that
 * file. Arming and counting choose the watched object too: arm or count
 * the same object while keeping blocks. */
int fail_alloc_track(const char *object) {
    tracking = 0;
    if (live || overflowed) /* else the table is all zeros: leave its pages untouched */
        memset(tracked, 0, sizeof tracked);
    live = 0;
    overflowed = 0;
    if (!object)
        return 1;
    tracking = watch(object);
    return tracking;
}

/* Blocks kept and not yet freed; -1 if there were too many to keep. */
long fail_alloc_live(void) { return overflowed ? -1 : live; }

static int in_text(void *caller) {
    uintptr_t at = (uintptr_t)caller;
    return at >= text_lo && at < text_hi;
}

static int from_watched(int kind, void *caller) {
    if (!in_text(caller))
        return 0;
    if (counting & kind)
        counts[__builtin_ctz(kind)]++;
    return 1;
}

static int refuse(int kind, void *caller) {
    if (!from_watched(kind, caller) || !(watched & kind))
        return 0;
    if (let_through-- > 0)
        return 0;
    watched = 0;
    refused++;
    errno = ENOMEM;
    return 1;
}

void *malloc(size_t n) {
    void *caller = __builtin_return_address(0);
    if ((watched | counting) && refuse(WATCH_MALLOC, caller))
        return NULL;
    void *block = __libc_malloc(n);
    if (tracking && in_text(caller))
        track(block);
    return block;
}

void *calloc(size_t count, size_t n) {
    void *caller = __builtin_return_address(0);
    if ((watched | counting) && refuse(WATCH_CALLOC, caller))
        return NULL;
    void *block = __libc_calloc(count, n);
    if (tracking && in_text(caller))
        track(block);
    return block;
}

void *realloc(void *p, size_t n) {
    void *caller = __builtin_return_address(0);
    if ((watched | counting) && refuse(WATCH_REALLOC, caller))
        return NULL;
    void *block = __libc_realloc(p, n);
    /* A moved or freed (size 0) block is gone; a refused one stays. */
    int kept = (block || (p && !n)) && untrack(p);
    if (kept || (tracking && in_text(caller)))
        track(block);
    return block;
}

void free(void *p) {
    if (counting)
        from_watched(WATCH_FREE, __builtin_return_address(0));
    untrack(p);
    __libc_free(p);
}
