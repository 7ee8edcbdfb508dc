// Python binding that turns packed 8-bit RGB pixels into a DEC sixel stream
// through libsixel, with one fixed encoder configuration.

#include <nanobind/nanobind.h>
#include <sixel.h>

#include "sixel_heap.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

namespace nb = nanobind;

namespace tervalo {

// Width or height as Python callers pass it. A type of its own so that the
// caster below, not nanobind's __index__-only integer caster, decides what
// converts: callers rely on int() semantics ("640", objects with __int__).
struct dimension {
    int32_t value;
};

}  // namespace tervalo

namespace nanobind::detail {

template <> struct type_caster<tervalo::dimension> {
    NB_TYPE_CASTER(tervalo::dimension, const_name("int"))

    bool from_python(handle src, uint32_t flags, cleanup_list *) noexcept {
        PyObject *obj = src.ptr();
        if (PyLong_CheckExact(obj))
            return load_in_range(obj);
        if (!(flags & (uint32_t) cast_flags::convert))
            return false;
        if (PyLong_Check(obj))  // bool and other int subclasses
            return load_in_range(obj);
        if (PyFloat_Check(obj))  // int(1.5) would silently truncate
            return false;
        PyObject *converted = PyNumber_Long(obj);
        if (!converted) {
            PyErr_Clear();  // a refusal is reported as nanobind's TypeError
            return false;
        }
        bool ok = load_in_range(converted);
        Py_DECREF(converted);
        return ok;
    }

private:
    bool load_in_range(PyObject *integer) noexcept {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
        if (overflow != 0 || v < std::numeric_limits<int32_t>::min() ||
            v > std::numeric_limits<int32_t>::max()) {
            return false;
        }
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        value.value = static_cast<int32_t>(v);
        return true;
    }
};

}  // namespace nanobind::detail

namespace tervalo {
namespace {

// libsixel multiplies width * height * 3 in signed 32-bit arithmetic.
constexpr uint64_t max_image_bytes = std::numeric_limits<int32_t>::max();

struct allocator_unref {
    void operator()(sixel_allocator_t *a) const noexcept { sixel_allocator_unref(a); }
};
struct dither_unref {
    void operator()(sixel_dither_t *d) const noexcept { sixel_dither_unref(d); }
};
struct output_unref {
    void operator()(sixel_output_t *o) const noexcept { sixel_output_unref(o); }
};
struct c_free {
    void operator()(void *p) const noexcept { std::free(p); }
};

using pixel_ptr = std::unique_ptr<unsigned char, c_free>;

// libsixel's objects for one call. Members are released in reverse order:
// output, dither, then the allocator they both reference.
struct sixel_session {
    std::unique_ptr<sixel_allocator_t, allocator_unref> allocator;
    std::unique_ptr<sixel_dither_t, dither_unref> dither;
    std::unique_ptr<sixel_output_t, output_unref> output;

    // After a refused allocation the objects may be half-updated; unref could
    // free through stale pointers. Their memory goes back with the heap.
    void abandon() noexcept {
        output.release();
        dither.release();
        allocator.release();
    }
};

// Output sink. The block is always exactly `size` bytes long; `failed` is set
// once a reallocation is refused, after which every further piece is dropped
// and the call reports MemoryError instead of a truncated stream.
struct encode_buffer {
    uint64_t size = 0;
    char *data = nullptr;
    bool failed = false;

    encode_buffer() = default;
    encode_buffer(const encode_buffer &) = delete;
    encode_buffer &operator=(const encode_buffer &) = delete;
    ~encode_buffer() { std::free(data); }
};

int encode_buffer_write(char *data, int size, void *priv) noexcept {
    auto *sink = static_cast<encode_buffer *>(priv);
    if (sink->failed || size <= 0)
        return size;
    auto n = static_cast<uint64_t>(size);
    void *grown = std::realloc(sink->data, sink->size + n);
    if (!grown) {
        sink->failed = true;  // keep the old block; it is still ours to free
        return size;
    }
    sink->data = static_cast<char *>(grown);
    std::memcpy(sink->data + sink->size, data, n);
    sink->size += n;
    return size;
}

struct step_result {
    SIXELSTATUS status = SIXEL_OK;
    const char *step = nullptr;
};

// The libsixel calls of one encode, stopping at the first failing status.
// Runs inside sixel_heap::run, so it holds only trivially destructible state.
step_result run_encoder(sixel_session &session, unsigned char *pixels, int width, int height,
                        encode_buffer &sink) noexcept {
    sixel_allocator_t *allocator = nullptr;
    SIXELSTATUS status = sixel_allocator_new(&allocator, sixel_heap::allocate,
                                             sixel_heap::allocate_zeroed,
                                             sixel_heap::reallocate, sixel_heap::release);
    session.allocator.reset(allocator);
    if (SIXEL_FAILED(status))
        return {status, "sixel_allocator_new"};

    sixel_dither_t *dither = nullptr;
    status = sixel_dither_new(&dither, -1, allocator);
    session.dither.reset(dither);
    if (SIXEL_FAILED(status))
        return {status, "sixel_dither_new"};

    // SIXEL_QUALITY_HIGH replaces the high-colour mode that an automatic
    // palette would otherwise select, so the palette encoder runs.
    status = sixel_dither_initialize(dither, pixels, width, height, SIXEL_PIXELFORMAT_RGB888,
                                     SIXEL_LARGE_NORM, SIXEL_REP_CENTER_BOX, SIXEL_QUALITY_HIGH);
    if (SIXEL_FAILED(status))
        return {status, "sixel_dither_initialize"};

    sixel_output_t *output = nullptr;
    status = sixel_output_new(&output, encode_buffer_write, &sink, allocator);
    session.output.reset(output);
    if (SIXEL_FAILED(status))
        return {status, "sixel_output_new"};

    return {sixel_encode(pixels, width, height, 3, dither, output), "sixel_encode"};
}

[[noreturn]] void raise_memory_error(const std::string &message) {
    PyErr_SetString(PyExc_MemoryError, message.c_str());
    throw nb::python_error();
}

[[noreturn]] void raise_value_error(const std::string &message) {
    throw nb::value_error(message.c_str());
}

void check_status(const step_result &result) {
    if (!SIXEL_FAILED(result.status))
        return;
    char code[16];
    std::snprintf(code, sizeof code, "0x%04x", static_cast<unsigned>(result.status));
    std::string message = std::string(result.step) + " failed: " +
                          sixel_helper_format_error(result.status) + " (status " + code + ")";
    if (result.status == SIXEL_BAD_ALLOCATION)
        raise_memory_error(message);
    // Inputs past the checks can still be beyond a libsixel version's own
    // limits (1.8 refuses rows wider than 1,000,000 pixels): the caller's
    // image is at fault, as for the checks, not the library.
    if (result.status == SIXEL_BAD_INPUT)
        raise_value_error(message);
    throw std::runtime_error(message);
}

// Refuses, before anything is allocated, every input that would make
// libsixel fail, overflow or read past the caller's buffer.
size_t checked_image_bytes(size_t available, int32_t width, int32_t height) {
    if (width < 1 || height < 1) {
        raise_value_error("width and height must be positive, got width=" +
                          std::to_string(width) + ", height=" + std::to_string(height));
    }
    // Both factors are at most 2**31 - 1 here, so the product fits in 64 bits.
    uint64_t needed = uint64_t(width) * uint64_t(height) * 3;
    if (needed > max_image_bytes) {
        raise_value_error("image too large: width * height * 3 = " + std::to_string(needed) +
                          " bytes exceeds the limit of " + std::to_string(max_image_bytes) +
                          " bytes");
    }
    if (available < needed) {
        raise_value_error("pixel_data holds " + std::to_string(available) +
                          " bytes, but width * height * 3 = " + std::to_string(needed) +
                          " bytes are needed");
    }
    return static_cast<size_t>(needed);
}

// libsixel diffuses quantisation errors into the buffer it is given, so it
// must never see the storage of an immutable bytes object.
pixel_ptr copy_pixels(const char *source, size_t n) {
    pixel_ptr copy(static_cast<unsigned char *>(std::malloc(n)));
    if (!copy)
        raise_memory_error("cannot allocate " + std::to_string(n) + " bytes for the pixel copy");
    std::memcpy(copy.get(), source, n);
    return copy;
}

// libsixel keeps file-level state while it sorts colours for the median cut
// and takes no locks, so only one encode may run in it at a time. Under the
// interpreter lock that is already so: the lock is held on purpose for the
// whole call and must not be released around libsixel. A free-threaded
// interpreter has no such lock, and this mutex stands in for it (in other
// builds it is empty and costs nothing).
nb::ft_mutex libsixel_mutex;

// Runs the libsixel part of one call, the only part that needs the mutex.
// Everything libsixel allocated is released before it returns.
void encode_into(encode_buffer &sink, unsigned char *pixels, int width, int height) {
    nb::ft_lock_guard lock(libsixel_mutex);
    // Declared after the lock, so released before it: the objects' unref
    // functions enter libsixel too.
    sixel_heap heap;
    sixel_session session;

    step_result result;
    auto calls = [&]() noexcept { result = run_encoder(session, pixels, width, height, sink); };
    if (!heap.run(calls)) {
        session.abandon();
        raise_memory_error("libsixel ran out of memory while encoding a " +
                           std::to_string(width) + "x" + std::to_string(height) + " image");
    }
    check_status(result);
}

nb::bytes sixel_encode_bytes(nb::bytes pixel_data, dimension width, dimension height) {
    const int w = width.value;
    const int h = height.value;
    size_t n = checked_image_bytes(pixel_data.size(), w, h);

    pixel_ptr pixels = copy_pixels(pixel_data.c_str(), n);
    encode_buffer sink;
    encode_into(sink, pixels.get(), w, h);
    if (sink.failed) {
        raise_memory_error("cannot grow the sixel output beyond " + std::to_string(sink.size) +
                           " bytes");
    }
    return nb::bytes(sink.data, static_cast<size_t>(sink.size));
}

}  // namespace
}  // namespace tervalo

NB_MODULE(tervalo_ext, m) {
    m.def("sixel_encode_bytes", &tervalo::sixel_encode_bytes, nb::arg("pixel_data"),
          nb::arg("width"), nb::arg("height"),
          "Encode 'pixel_data' RGB data (3 bytes per pixel) into sixels format.");
}
