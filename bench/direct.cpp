// The baseline: libsixel called straight from C++ with the module's settings
// and its default allocator, doing only the work the module cannot avoid
// (pixel copy, dither and palette, output gathered into a heap buffer by
// exact realloc per piece). It times its own loop so that no interpreter or
// foreign-call cost is counted.

#include <sixel.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct sink {
    unsigned char *data = nullptr;
    size_t size = 0;
    bool failed = false;
};

int sink_write(char *data, int size, void *priv) {
    auto *out = static_cast<sink *>(priv);
    void *grown = out->failed ? nullptr : std::realloc(out->data, out->size + size);
    if (!grown) {
        out->failed = true;
        return size;
    }
    out->data = static_cast<unsigned char *>(grown);
    std::memcpy(out->data + out->size, data, size);
    out->size += size;
    return size;
}

bool encode_once(const unsigned char *rgb, int width, int height, sink &out) {
    size_t n = size_t(width) * size_t(height) * 3;
    auto *pixels = static_cast<unsigned char *>(std::malloc(n));
    if (!pixels)
        return false;
    std::memcpy(pixels, rgb, n);
    sixel_dither_t *dither = nullptr;
    sixel_output_t *output = nullptr;
    SIXELSTATUS status = sixel_dither_new(&dither, -1, nullptr);
    if (SIXEL_SUCCEEDED(status))
        status = sixel_dither_initialize(dither, pixels, width, height, SIXEL_PIXELFORMAT_RGB888,
                                         SIXEL_LARGE_NORM, SIXEL_REP_CENTER_BOX,
                                         SIXEL_QUALITY_HIGH);
    if (SIXEL_SUCCEEDED(status))
        status = sixel_output_new(&output, sink_write, &out, nullptr);
    if (SIXEL_SUCCEEDED(status))
        status = sixel_encode(pixels, width, height, 3, dither, output);
    if (output)
        sixel_output_unref(output);
    if (dither)
        sixel_dither_unref(dither);
    std::free(pixels);
    return SIXEL_SUCCEEDED(status) && !out.failed;
}

long long thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

}  // namespace

extern "C" {

// Encodes `rgb` `repeats` times, freeing each stream before the next as a
// caller dropping its previous result would. Stores the calling thread's CPU
// time in nanoseconds and hands over the last stream (free it with
// tervalo_bench_free). Returns 0, or -1 on failure.
int tervalo_bench_encode(const unsigned char *rgb, int width, int height, int repeats,
                         long long *cpu_ns, unsigned char **stream, size_t *size) {
    *stream = nullptr;
    *size = 0;
    if (width < 1 || height < 1 || repeats < 1)
        return -1;
    sink out;
    long long start = thread_cpu_ns();
    for (int i = 0; i < repeats; ++i) {
        std::free(out.data);
        out = sink{};
        if (!encode_once(rgb, width, height, out)) {
            std::free(out.data);
            return -1;
        }
    }
    *cpu_ns = thread_cpu_ns() - start;
    *stream = out.data;
    *size = out.size;
    return 0;
}

void tervalo_bench_free(void *p) { std::free(p); }

}  // extern "C"
