/* Preloaded into a test interpreter to refuse one chosen heap allocation
 * made from the code of one chosen shared object, so that out-of-memory
 * paths run for real instead of being assumed; or to count the heap calls
 * that object's code makes, to show whose heap it uses. One object is
 * watched at a time, by both. Not thread-safe: the tests arm it from the
 * only thread that allocates through the watched object. */
#define _GNU_SOURCE
#include <errno.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
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

static int find_text(struct dl_phdr_info *info, size_t size, void *name) {
    (void)size;
    if (!info->dlpi_name || !strstr(info->dlpi_name, (const char *)name))
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

/* Refuse the allocation of a kind in `kinds` made from `object` after
 * `skip` such allocations have gone through; returns 0 if no loaded object
 * matches. */
int fail_alloc_arm(const char *object, int kinds, long skip) {
    text_lo = text_hi = 0;
    dl_iterate_phdr(find_text, (void *)object);
    let_through = skip;
    watched = text_hi ? kinds : 0;
    return watched != 0;
}

void fail_alloc_disarm(void) { watched = 0; }

/* Count, refusing nothing, the calls of a kind in `kinds` (WATCH_FREE too)
 * made from `object` from now on, zeroing earlier counts; `kinds` 0 stops.
 * Returns 0 if no loaded object matches. */
int fail_alloc_count(const char *object, int kinds) {
    counting = 0;
    if (!kinds)
        return 1;
    text_lo = text_hi = 0;
    dl_iterate_phdr(find_text, (void *)object);
    memset(counts, 0, sizeof counts);
    counting = text_hi ? kinds : 0;
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

static int from_watched(int kind, void *caller) {
    uintptr_t at = (uintptr_t)caller;
    if (at < text_lo || at >= text_hi)
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
    if ((watched | counting) && refuse(WATCH_MALLOC, __builtin_return_address(0)))
        return NULL;
    return __libc_malloc(n);
}

void *calloc(size_t count, size_t n) {
    if ((watched | counting) && refuse(WATCH_CALLOC, __builtin_return_address(0)))
        return NULL;
    return __libc_calloc(count, n);
}

void *realloc(void *p, size_t n) {
    if ((watched | counting) && refuse(WATCH_REALLOC, __builtin_return_address(0)))
        return NULL;
    return __libc_realloc(p, n);
}

void free(void *p) {
    if (counting)
        from_watched(WATCH_FREE, __builtin_return_address(0));
    __libc_free(p);
}
