// libsixel called straight from C++ with the module's configuration and
// libsixel's default allocator: the baseline the module is measured against.
// Each encode does the work the module cannot avoid (pixel copy, dither and
// palette, output into a heap buffer grown by exact realloc per piece) and
// nothing else, and the library times itself so that no interpreter or
// foreign-call cost is counted.

#include <sixel.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <cstdlib>
#include <cstring>

namespace {

struct sink {
    uint64_t size = 0;
    unsigned char *data = nullptr;
    bool failed = false;
};

int sink_write(char *data, int size, void *priv) {
    auto *out = static_cast<sink *>(priv);
    if (out->failed || size <= 0)
        return size;
    void *grown = std::realloc(out->data, out->size + static_cast<uint64_t>(size));
    if (!grown) {
        out->failed = true;
        return size;
    }
    out->data = static_cast<unsigned char *>(grown);
    std::memcpy(out->data + out->size, data, static_cast<size_t>(size));
    out->size += static_cast<uint64_t>(size);
    return size;
}

// One encode; returns a libsixel status (SIXEL_BAD_ALLOCATION for our own
// allocation failures). On success `out` holds the stream.
SIXELSTATUS encode_once(const unsigned char *rgb, int width, int height, sink &out) {
    size_t n = size_t(width) * size_t(height) * 3;
    auto *pixels = static_cast<unsigned char *>(std::malloc(n));
    if (!pixels)
        return SIXEL_BAD_ALLOCATION;
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
    if (SIXEL_SUCCEEDED(status) && out.failed)
        status = SIXEL_BAD_ALLOCATION;
    return status;
}

}  // namespace

namespace {

long long thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

}  // namespace

extern "C" {

// Encodes `rgb` `repeats` times; stores the CPU time of the calling thread
// and the wall-clock time all of them took, in nanoseconds, and returns 0
// (-1 on failure). Each stream is freed before the next encode, as a caller
// dropping its previous result would; the last one is handed over in
// *stream and *size (free it with tervalo_bench_free).
int tervalo_bench_encode(const unsigned char *rgb, int width, int height, int repeats,
                         long long *cpu_ns, long long *wall_ns, unsigned char **stream,
                         unsigned long long *size) {
    *stream = nullptr;
    *size = 0;
    if (width < 1 || height < 1 || repeats < 1)
        return -1;
    sink out;
    long long cpu_start = thread_cpu_ns();
    auto wall_start = std::chrono::steady_clock::now();
    for (int i = 0; i < repeats; ++i) {
        std::free(out.data);
        out = sink{};
        if (SIXEL_FAILED(encode_once(rgb, width, height, out))) {
            std::free(out.data);
            return -1;
        }
    }
    auto wall = std::chrono::steady_clock::now() - wall_start;
    *cpu_ns = thread_cpu_ns() - cpu_start;
    *wall_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count();
    *stream = out.data;
    *size = out.size;
    return 0;
}

void tervalo_bench_free(void *p) { std::free(p); }

}  // extern "C"
