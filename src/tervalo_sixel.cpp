// tervalo._sixel: the package's own hand on libsixel. It chooses each
// picture's palette (the picture's own colours when it has at most 256, else
// median cut and Lloyd's iterations), maps and diffuses the pixels itself
// (quantize.h says why), and has libsixel write the bands of palette indices,
// in strips on several threads for large pictures. A Dither keeps one palette
// for a run of frames.

#include <nanobind/nanobind.h>
#include <sixel.h>

#include "quantize.h"
#include "sixel_heap.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace tervalo {
namespace {

namespace q = quantize;

// libsixel multiplies width * height * 3 in signed 32-bit arithmetic.
constexpr uint64_t max_image_bytes = std::numeric_limits<int32_t>::max();
constexpr int band_rows = 6;
// Below this many pixels one thread encodes the picture. Measured
// (bench/strips.py, 2 cores): a photograph gains from a second thread at any
// size, a flat picture only from about 512 x 384, and loses up to 0.05 ms
// below it.
constexpr size_t parallel_pixels = 1 << 16;
// Larger pictures are cut into this many strips (fewer if they have fewer
// bands), whatever the cores: the cut decides the stream (error diffusion
// starts afresh in each strip), so it is fixed by the picture alone, and the
// threads only share the strips out. Enough for every core of most machines.
constexpr int large_strips = 8;

// Thrown on any thread, raised as MemoryError by the translator below.
class memory_exhausted : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct allocator_unref {
    void operator()(sixel_allocator_t *a) const noexcept { sixel_allocator_unref(a); }
};
struct dither_unref {
    void operator()(sixel_dither_t *d) const noexcept { sixel_dither_unref(d); }
};
struct output_unref {
    void operator()(sixel_output_t *o) const noexcept { sixel_output_unref(o); }
};

// libsixel's objects for one strip, released output first, allocator last.
struct sixel_session {
    std::unique_ptr<sixel_allocator_t, allocator_unref> allocator;
    std::unique_ptr<sixel_dither_t, dither_unref> dither;
    std::unique_ptr<sixel_output_t, output_unref> output;

    // After a refused allocation the objects may be half-updated; their
    // memory goes back with the heap.
    void abandon() noexcept {
        output.release();
        dither.release();
        allocator.release();
    }
};

// Output sink, exactly `size` bytes long; once a growth is refused every
// further piece is dropped and the strip fails rather than come out short.
struct encode_buffer {
    uint64_t size = 0;
    char *data = nullptr;
    bool failed = false;

    encode_buffer() = default;
    encode_buffer(encode_buffer &&other) noexcept
        : size(std::exchange(other.size, 0)), data(std::exchange(other.data, nullptr)),
          failed(other.failed) {}
    encode_buffer &operator=(encode_buffer &&other) noexcept {
        std::swap(size, other.size);
        std::swap(data, other.data);
        std::swap(failed, other.failed);
        return *this;
    }
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
        sink->failed = true;
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

// What libsixel is handed for one strip: palette indices (PAL8), or RGB that
// libsixel maps and dithers by a positional method of its own.
struct band_input {
    unsigned char *pixels;
    int width, rows;
    bool indexed;
    int diffusion;  // for RGB input only
    unsigned char *palette;
    int colours;
};

// The libsixel calls for one strip's bands, without header or palette.
// Runs inside sixel_heap::run: nothing here owns a destructor.
step_result write_bands(sixel_session &session, const band_input &in,
                        encode_buffer &sink) noexcept {
    sixel_allocator_t *allocator = nullptr;
    SIXELSTATUS status = sixel_allocator_new(&allocator, sixel_heap::allocate,
                                             sixel_heap::allocate_zeroed,
                                             sixel_heap::reallocate, sixel_heap::release);
    session.allocator.reset(allocator);
    if (SIXEL_FAILED(status))
        return {status, "sixel_allocator_new"};

    sixel_dither_t *dither = nullptr;
    status = sixel_dither_new(&dither, in.colours, allocator);
    session.dither.reset(dither);
    if (SIXEL_FAILED(status))
        return {status, "sixel_dither_new"};
    sixel_dither_set_palette(dither, in.palette);
    sixel_dither_set_body_only(dither, 1);
    if (in.indexed)
        sixel_dither_set_pixelformat(dither, SIXEL_PIXELFORMAT_PAL8);
    else
        sixel_dither_set_diffusion_type(dither, in.diffusion);

    sixel_output_t *output = nullptr;
    status = sixel_output_new(&output, encode_buffer_write, &sink, allocator);
    session.output.reset(output);
    if (SIXEL_FAILED(status))
        return {status, "sixel_output_new"};

    return {sixel_encode(in.pixels, in.width, in.rows, in.indexed ? 1 : 3, dither, output),
            "sixel_encode"};
}

std::string status_message(const step_result &result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%04x", static_cast<unsigned>(result.status));
    return std::string(result.step) + " failed: " + sixel_helper_format_error(result.status) +
           " (status " + code + ")";
}

// Safe on any thread: only C++ exceptions, translated once back in Python.
void check_status(const step_result &result) {
    if (!SIXEL_FAILED(result.status))
        return;
    if (result.status == SIXEL_BAD_ALLOCATION)
        throw memory_exhausted(status_message(result));
    if (result.status == SIXEL_BAD_INPUT)
        throw nb::value_error(status_message(result).c_str());
    throw std::runtime_error(status_message(result));
}

std::string size_text(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// libsixel's bands for one strip, on the guarded heap of the calling thread.
encode_buffer encode_bands(const band_input &in) {
    encode_buffer sink;
    {
        // Declared in this order so that the session's unref calls run while
        // the heap still lives.
        sixel_heap heap;
        sixel_session session;
        step_result result;
        auto calls = [&]() noexcept { result = write_bands(session, in, sink); };
        if (!heap.run(calls)) {
            session.abandon();
            throw memory_exhausted("libsixel ran out of memory while encoding a " +
                                   size_text(in.width, in.rows) + " strip");
        }
        check_status(result);
    }
    if (sink.failed) {
        throw memory_exhausted("cannot grow the sixel output beyond " +
                               std::to_string(sink.size) + " bytes");
    }
    return sink;
}

[[noreturn]] void refuse_size(const std::string &message) { throw nb::value_error(message.c_str()); }

// Refuses every input that would make libsixel fail, overflow or read past
// the caller's buffer, before anything is allocated.
size_t checked_image_bytes(size_t available, int width, int height, int channels) {
    if (width < 1 || height < 1) {
        refuse_size("width and height must be positive, got width=" + std::to_string(width) +
                    ", height=" + std::to_string(height));
    }
    uint64_t pixels = uint64_t(width) * uint64_t(height);
    if (pixels * 3 > max_image_bytes) {
        refuse_size("image too large: width * height * 3 = " + std::to_string(pixels * 3) +
                    " bytes exceeds the limit of " + std::to_string(max_image_bytes) + " bytes");
    }
    uint64_t needed = pixels * uint64_t(channels);
    if (available < needed) {
        refuse_size("pixels hold " + std::to_string(available) + " bytes, but width * height * " +
                    std::to_string(channels) + " = " + std::to_string(needed) +
                    " bytes are needed");
    }
    return static_cast<size_t>(pixels);
}

int cores() noexcept {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

void check_threads(int threads) {
    if (threads < 0)
        refuse_size("threads must be 0 (every core) or more, got " + std::to_string(threads));
}

// How many strips a width x height picture is cut into.
int strip_count(int width, int height) noexcept {
    if (size_t(width) * size_t(height) < parallel_pixels)
        return 1;
    return std::min(large_strips, (height + band_rows - 1) / band_rows);
}

// The decoder's level for each whole percent is (255 p + 50) / 100; the
// percent written for an 8-bit channel is the one drawn closest to it.
int percent_of(int level) noexcept {
    int best = 0;
    for (int p = std::max(0, level * 100 / 255 - 1); p <= std::min(100, level * 100 / 255 + 2); ++p) {
        if (std::abs((255 * p + 50) / 100 - level) < std::abs((255 * best + 50) / 100 - level))
            best = p;
    }
    return best;
}

// A palette held by value: entries and their count.
struct palette_data {
    uint8_t rgb[3 * q::max_colours] = {};
    int colours = 0;
};

// How a picture's pixels become palette indices.
enum class mapping { given, nearest, libsixel };

struct picture_job {
    const uint8_t *pixels;     // packed RGB
    const uint8_t *indices;    // the picture's own indices (mapping::given)
    int width, height;
    const palette_data *palette;
    const q::palette_index *index;
    mapping how;
    q::kernel kernel;
    int diffusion;  // libsixel's method (mapping::libsixel)
};

// One strip: its rows mapped (unless given), then libsixel's bands.
encode_buffer encode_strip(const picture_job &job, int first, int rows) {
    size_t offset = size_t(first) * size_t(job.width);
    size_t count = size_t(rows) * size_t(job.width);
    band_input in{nullptr, job.width, rows, true, 0,
                  const_cast<unsigned char *>(job.palette->rgb), job.palette->colours};
    q::c_array<uint8_t> own;
    switch (job.how) {
    case mapping::given:
        // PAL8 input is only read: libsixel diffuses RGB input alone.
        in.pixels = const_cast<unsigned char *>(job.indices + offset);
        break;
    case mapping::nearest:
        own = q::c_array<uint8_t>(count);
        q::map_rows(job.pixels + 3 * offset, job.width, rows, *job.index, job.kernel, own.get());
        in.pixels = own.get();
        break;
    case mapping::libsixel:
        // libsixel may write into RGB it dithers: a copy of the strip.
        own = q::c_array<uint8_t>(3 * count);
        std::memcpy(own.get(), job.pixels + 3 * offset, 3 * count);
        in.pixels = own.get();
        in.indexed = false;
        in.diffusion = job.diffusion;
        break;
    }
    return encode_bands(in);
}

// The bands of each strip, encoded on `threads` threads at most (0: every
// core; the caller's is one of them), each taking the next strip left.
// Every thread is joined before an error is rethrown.
std::vector<encode_buffer> encode_strips(const picture_job &job, int strips, int threads) {
    int bands = (job.height + band_rows - 1) / band_rows;
    std::vector<int> first(size_t(strips) + 1);
    for (int s = 0; s <= strips; ++s)
        first[size_t(s)] = std::min(job.height, band_rows * (bands * s / strips));
    std::vector<encode_buffer> bodies(static_cast<size_t>(strips));
    std::vector<std::exception_ptr> errors(static_cast<size_t>(strips));
    std::atomic<int> next{0};
    auto work = [&]() noexcept {
        for (int s = next++; s < strips; s = next++) {
            try {
                bodies[size_t(s)] = encode_strip(job, first[size_t(s)],
                                                 first[size_t(s) + 1] - first[size_t(s)]);
            } catch (...) {
                errors[size_t(s)] = std::current_exception();
            }
        }
    };
    int helpers = std::min(threads == 0 ? cores() : threads, strips) - 1;
    std::vector<std::thread> running;
    running.reserve(size_t(std::max(0, helpers)));
    for (int t = 0; t < helpers; ++t) {
        try {
            running.emplace_back(work);
        } catch (const std::system_error &) {
            break;  // no more threads to be had: those there share the rest
        }
    }
    work();
    for (auto &t : running)
        t.join();
    for (auto &e : errors) {
        if (e)
            std::rethrow_exception(e);
    }
    return bodies;
}

// libsixel's DCS introducer and raster attributes, as it writes them.
std::string raster(int width, int height) {
    return "\x1bPq\"1;1;" + std::to_string(width) + ";" + std::to_string(height);
}

// The stream: one header with the whole palette, then each strip's bands
// (what libsixel wrote between its own header and terminator), joined by
// graphics newlines. libsixel starts a strip under six rows with a graphics
// newline that would draw it a band low; it is left out.
nb::bytes assemble(int width, int height, const palette_data &palette,
                   const std::vector<encode_buffer> &bodies) {
    std::string head = raster(width, height);
    char entry[40];
    for (int i = 0; i < palette.colours; ++i) {
        const uint8_t *c = palette.rgb + 3 * i;
        std::snprintf(entry, sizeof entry, "#%d;2;%d;%d;%d", i, percent_of(c[0]),
                      percent_of(c[1]), percent_of(c[2]));
        head += entry;
    }
    static const std::string end = "\x1b\\";
    std::vector<std::pair<const char *, size_t>> parts;
    size_t total = head.size() + end.size();
    for (const auto &body : bodies) {
        const char *data = body.data;
        size_t size = static_cast<size_t>(body.size);
        // Each strip's own header: its introducer and raster attributes.
        const char *bands = size ? static_cast<const char *>(std::memchr(data + 4, '#', size - 4))
                                 : nullptr;
        const char *newline = size ? static_cast<const char *>(std::memchr(data + 4, '-', size - 4))
                                   : nullptr;
        if (newline && (!bands || newline < bands))
            bands = newline + 1;
        if (!bands || size < 2 || std::memcmp(data + size - 2, end.data(), 2) != 0)
            throw std::runtime_error("libsixel wrote a strip of an unexpected shape");
        parts.emplace_back(bands, static_cast<size_t>(data + size - 2 - bands));
        total += parts.back().second + 1;
    }
    nb::gil_scoped_acquire acquire;
    PyObject *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total - 1));
    if (!out)
        throw nb::python_error();
    char *at = PyBytes_AsString(out);
    std::memcpy(at, head.data(), head.size());
    at += head.size();
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i)
            *at++ = '-';
        std::memcpy(at, parts[i].first, parts[i].second);
        at += parts[i].second;
    }
    std::memcpy(at, end.data(), end.size());
    return nb::steal<nb::bytes>(out);
}

nb::bytes encode_job(const picture_job &job, int threads) {
    int strips = strip_count(job.width, job.height);
    std::vector<encode_buffer> bodies = encode_strips(job, strips, threads);
    return assemble(job.width, job.height, *job.palette, bodies);
}

q::kernel kernel_of(int diffusion) {
    switch (diffusion) {
    case SIXEL_DIFFUSE_NONE:
        return q::kernel::none;
    case SIXEL_DIFFUSE_ATKINSON:
        return q::kernel::atkinson;
    case SIXEL_DIFFUSE_FS:
        return q::kernel::floyd_steinberg;
    case SIXEL_DIFFUSE_JAJUNI:
        return q::kernel::jajuni;
    case SIXEL_DIFFUSE_STUCKI:
        return q::kernel::stucki;
    case SIXEL_DIFFUSE_BURKES:
        return q::kernel::burkes;
    case SIXEL_DIFFUSE_A_DITHER:
    case SIXEL_DIFFUSE_X_DITHER:
        return q::kernel::none;  // libsixel's own, never mapped here
    default:
        refuse_size("diffusion must be one of the DIFFUSE_ constants, got " +
                    std::to_string(diffusion));
    }
}

bool positional(int diffusion) noexcept {
    return diffusion == SIXEL_DIFFUSE_A_DITHER || diffusion == SIXEL_DIFFUSE_X_DITHER;
}

// Photographs: Atkinson's kernel diffuses three quarters of the error, so
// gradients still dither while noise stays low (measured: 1.1 to 1.3 dB over
// Floyd-Steinberg, see bench/fidelity.py).
constexpr int photo_diffusion = SIXEL_DIFFUSE_ATKINSON;
// A palette that fits its sample within this mean squared error per channel
// (under a level) leaves nothing worth diffusing: plots and text of a few
// hundred anti-aliased colours then draw truer and faster undiffused
// (a line plot 54.3 -> 54.6 dB, 12.6 -> 8.0 ms).
constexpr double undiffused_fit = 1.0;

// A picture's palette: its own colours when it has at most `colours` of them
// (then `indices` holds every pixel's entry and true is returned), else one
// built from a sample. `mean_error` is the fit to the sample (0 for own).
bool choose_palette(const uint8_t *pixels, size_t n, int colours, palette_data &palette,
                    uint8_t *indices, double &mean_error) {
    if (indices) {
        palette.colours = q::exact_colours(pixels, n, colours, palette.rgb, indices);
        if (palette.colours) {
            mean_error = 0;
            return true;
        }
    }
    palette.colours = q::build_palette(pixels, n, colours, palette.rgb, mean_error);
    return false;
}

const uint8_t *bytes_data(const nb::bytes &b) {
    return reinterpret_cast<const uint8_t *>(b.c_str());
}

nb::bytes encode(nb::bytes pixels, int width, int height, int threads) {
    size_t n = checked_image_bytes(pixels.size(), width, height, 3);
    check_threads(threads);  // before any work
    const uint8_t *rgb = bytes_data(pixels);
    nb::gil_scoped_release release;
    q::c_array<uint8_t> indices(n);
    palette_data palette;
    double fit = 0;
    bool own = choose_palette(rgb, n, q::max_colours, palette, indices.get(), fit);
    q::palette_index index(palette.rgb, palette.colours);
    q::kernel kernel = fit < undiffused_fit ? q::kernel::none : kernel_of(photo_diffusion);
    picture_job job{rgb, indices.get(), width, height, &palette, &index,
                    own ? mapping::given : mapping::nearest, kernel, 0};
    return encode_job(job, threads);
}

// A palette and a diffusion method kept across frames: building the palette
// is the costly part of an encode that a run of similar frames can share.
class dither {
public:
    dither(nb::bytes palette, int diffusion) : index_(nullptr, 0) {
        size_t size = palette.size();
        if (size == 0 || size % 3 != 0 || size > 3 * q::max_colours) {
            refuse_size("palette must hold 1 to 256 RGB entries (3 bytes each), got " +
                        std::to_string(size) + " bytes");
        }
        std::memcpy(palette_.rgb, bytes_data(palette), size);
        palette_.colours = static_cast<int>(size / 3);
        set_up(diffusion, std::nan(""));
    }

    static dither from_pixels(nb::bytes pixels, int width, int height, int colours,
                              int diffusion) {
        size_t n = checked_image_bytes(pixels.size(), width, height, 3);
        if (colours < 1 || colours > q::max_colours)
            refuse_size("colours must be 1 to 256, got " + std::to_string(colours));
        kernel_of(diffusion);
        dither made;
        double fit = 0;
        {
            nb::gil_scoped_release release;
            q::c_array<uint8_t> indices(n);
            choose_palette(bytes_data(pixels), n, colours, made.palette_, indices.get(), fit);
        }
        made.set_up(diffusion, fit);
        return made;
    }

    nb::bytes palette() const {
        return nb::bytes(reinterpret_cast<const char *>(palette_.rgb),
                         size_t(palette_.colours) * 3);
    }
    int diffusion() const noexcept { return diffusion_; }
    double fit() const noexcept { return fit_; }

    nb::bytes encode(nb::bytes pixels, int width, int height, int threads) const {
        checked_image_bytes(pixels.size(), width, height, 3);
        check_threads(threads);
        nb::gil_scoped_release release;
        picture_job job{bytes_data(pixels), nullptr, width, height, &palette_, &index_,
                        positional(diffusion_) ? mapping::libsixel : mapping::nearest,
                        kernel_of(diffusion_), diffusion_};
        return encode_job(job, threads);
    }

    double mismatch(nb::bytes pixels, int width, int height) const {
        size_t n = checked_image_bytes(pixels.size(), width, height, 3);
        nb::gil_scoped_release release;
        return q::palette_error(bytes_data(pixels), n, index_, mismatch_sample);
    }

private:
    // Enough pixels to tell a new scene from the old one in well under a
    // millisecond.
    static constexpr size_t mismatch_sample = 4096;

    dither() : index_(nullptr, 0) {}

    void set_up(int diffusion, double fit) {
        kernel_of(diffusion);
        diffusion_ = diffusion;
        fit_ = fit;
        index_ = q::palette_index(palette_.rgb, palette_.colours);
    }

    palette_data palette_;
    q::palette_index index_;
    int diffusion_ = photo_diffusion;
    double fit_ = 0;
};

}  // namespace
}  // namespace tervalo

NB_MODULE(_sixel, m) {
    using tervalo::dither;
    using tervalo::photo_diffusion;
    m.doc() = "Sixel streams through libsixel with palettes chosen per picture.";
    nb::register_exception_translator([](const std::exception_ptr &p, void *) {
        try {
            std::rethrow_exception(p);
        } catch (const tervalo::memory_exhausted &e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        }
    });
    m.def("encode", &tervalo::encode, "pixels"_a, "width"_a, "height"_a, nb::kw_only(),
          "threads"_a = 0,
          "The sixel stream of width x height packed RGB: in the picture's own colours, each\n"
          "its own palette entry and undiffused, when it has at most 256; else in a palette\n"
          "built from it, diffused by Atkinson's kernel unless the palette fits it within a\n"
          "level. A large picture is cut into strips (the same whatever the machine);\n"
          "`threads` of them are encoded at once (0: as many as there are cores).");
    nb::class_<dither>(m, "Dither",
                       "A palette and a diffusion method kept for a run of similar frames.")
        .def(nb::init<nb::bytes, int>(), "palette"_a, "diffusion"_a = photo_diffusion,
             "Keeps `palette` (1 to 256 packed RGB entries).")
        .def_static("from_pixels", &dither::from_pixels, "pixels"_a, "width"_a, "height"_a,
                    nb::kw_only(), "colours"_a = 256, "diffusion"_a = photo_diffusion,
                    "A palette for the picture: its own colours if it has at most `colours`,\n"
                    "else median cut and Lloyd's iterations over a sample of its pixels.")
        .def_prop_ro("palette", &dither::palette, "The entries, packed RGB.")
        .def_prop_ro("diffusion", &dither::diffusion, "The DIFFUSE_ constant it draws with.")
        .def_prop_ro("fit", &dither::fit,
                     "mismatch() of the picture the palette was built from (NaN if given).")
        .def("encode", &dither::encode, "pixels"_a, "width"_a, "height"_a, nb::kw_only(),
             "threads"_a = 0, "The stream of width x height packed RGB in this palette.")
        .def("mismatch", &dither::mismatch, "pixels"_a, "width"_a, "height"_a,
             "Mean squared error per channel of a sample of the pixels against their\n"
             "nearest entries: compare with `fit` to tell a new scene.");
    m.attr("DIFFUSE_NONE") = SIXEL_DIFFUSE_NONE;
    m.attr("DIFFUSE_ATKINSON") = SIXEL_DIFFUSE_ATKINSON;
    m.attr("DIFFUSE_FS") = SIXEL_DIFFUSE_FS;
    m.attr("DIFFUSE_JAJUNI") = SIXEL_DIFFUSE_JAJUNI;
    m.attr("DIFFUSE_STUCKI") = SIXEL_DIFFUSE_STUCKI;
    m.attr("DIFFUSE_BURKES") = SIXEL_DIFFUSE_BURKES;
    m.attr("DIFFUSE_A_DITHER") = SIXEL_DIFFUSE_A_DITHER;
    m.attr("DIFFUSE_X_DITHER") = SIXEL_DIFFUSE_X_DITHER;
}
