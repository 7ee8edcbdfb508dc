// Palettes and the mapping of pixels to palette entries, before libsixel
// writes the bands: plain C++, no Python and no libsixel.
//
// Why not libsixel's own mapping: handed a palette, libsixel either looks
// each pixel up exhaustively (a second per 1920 x 1080 picture) or, once a
// palette was built, through a table keyed by 5 bits a channel that keeps
// the entry found for the first pixel of each cell (1.5 to 2 dB lower on
// photographs). The search here is exact and stays near the fast one.

#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tervalo::quantize {

constexpr int max_colours = 256;

// Error diffusion kernels (libsixel's, by its constants' names); the
// positional methods are libsixel's own and are not done here.
enum class kernel { none, atkinson, floyd_steinberg, jajuni, stucki, burkes };

// Raised as MemoryError, with the size that was refused.
class allocation_refused : public std::bad_alloc {
public:
    explicit allocation_refused(size_t bytes) noexcept {
        std::snprintf(message_, sizeof message_, "cannot allocate %zu bytes", bytes);
    }
    const char *what() const noexcept override { return message_; }

private:
    char message_[48];
};

// A malloc'd array: the module's allocations go through malloc from its own
// code, where the refusal tests' shim can refuse each in turn.
template <typename T> class c_array {
public:
    c_array() = default;
    explicit c_array(size_t n) : data_(static_cast<T *>(std::malloc(n ? n * sizeof(T) : 1))), size_(n) {
        if (!data_)
            throw allocation_refused(n * sizeof(T));
    }
    c_array(c_array &&other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    c_array &operator=(c_array &&other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    c_array(const c_array &) = delete;
    c_array &operator=(const c_array &) = delete;
    ~c_array() { std::free(data_); }

    T *get() const noexcept { return data_; }
    T &operator[](size_t i) const noexcept { return data_[i]; }
    size_t size() const noexcept { return size_; }

private:
    T *data_ = nullptr;
    size_t size_ = 0;
};

// Nearest palette entry by squared RGB distance, exact. Entries are sorted
// by r + g + b: for any two colours (delta of that sum)^2 <= 3 * their
// squared distance, so the search walks out from the pixel's sum and stops
// once no entry further along can be closer.
class palette_index {
public:
    palette_index(const uint8_t *palette, int count) noexcept : count_(count) {
        std::array<int, max_colours> order{};
        for (int i = 0; i < count; ++i)
            order[i] = i;
        auto sum = [palette](int i) { return palette[3 * i] + palette[3 * i + 1] + palette[3 * i + 2]; };
        std::stable_sort(order.begin(), order.begin() + count,
                         [&](int a, int b) { return sum(a) < sum(b); });
        for (int k = 0; k < count; ++k) {
            int i = order[k];
            entry_[k] = static_cast<uint8_t>(i);
            for (int c = 0; c < 3; ++c)
                rgb_[k][c] = palette[3 * i + c];
            key_[k] = sum(i);
        }
        if (count > 0)
            std::memcpy(colours_.data(), palette, size_t(count) * 3);
        for (int s = 0, k = 0; s <= 765; ++s) {
            while (k < count && key_[k] < s)
                ++k;
            start_[s] = static_cast<int16_t>(k);
        }
    }

    // The entry nearest (r, g, b) and its squared distance.
    std::pair<int, int> find(int r, int g, int b) const noexcept {
        int s = r + g + b;
        int best = 1 << 20, found = 0;  // above any distance (3 * 255^2)
        auto consider = [&](int k) {
            int dr = rgb_[k][0] - r, dg = rgb_[k][1] - g, db = rgb_[k][2] - b;
            int d = dr * dr + dg * dg + db * db;
            if (d < best) {
                best = d;
                found = k;
            }
        };
        int up = start_[s], down = up - 1;
        while (up < count_ || down >= 0) {
            bool going = false;
            if (up < count_) {
                int dk = key_[up] - s;
                if (dk * dk <= 3 * best) {
                    consider(up++);
                    going = true;
                } else {
                    up = count_;
                }
            }
            if (down >= 0) {
                int dk = s - key_[down];
                if (dk * dk <= 3 * best) {
                    consider(down--);
                    going = true;
                } else {
                    down = -1;
                }
            }
            if (!going)
                break;
        }
        return {entry_[found], best};
    }

    int count() const noexcept { return count_; }
    const uint8_t *colour(int entry) const noexcept { return colours_.data() + 3 * entry; }

private:
    int count_;
    std::array<std::array<int, 3>, max_colours> rgb_{};
    std::array<int, max_colours> key_{};
    std::array<uint8_t, max_colours> entry_{};
    std::array<int16_t, 766> start_{};
    std::array<uint8_t, 3 * max_colours> colours_{};
};

// The nearest entry by the candidates of the pixel's cell: the colour cube
// in 16 x 16 x 16 cells, each listing the entries that can be nearest to
// some colour in it (those no further from the cell than the least of all
// entries' furthest distance from it), built when a pixel first falls in
// it. Noisy pictures spread over many colours, where a short list beats the
// walk by sums. In front, a direct-mapped cache of exact colours for flat
// areas. One per thread and picture.
class cached_index {
public:
    explicit cached_index(const palette_index &index)
        : index_(index), pool_(cells * size_t(index.count())) {
        keys_.fill(0);
        start_.fill(-1);
    }

    int find(int r, int g, int b) noexcept {
        uint32_t colour = uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
        uint32_t slot = (colour * 0x9E3779B1u) >> (32 - bits);
        if (keys_[slot] == colour + 1)
            return values_[slot];
        int cell = (r >> 4) << 8 | (g >> 4) << 4 | (b >> 4);
        if (start_[cell] < 0)
            list_candidates(cell);
        const uint8_t *list = pool_.get() + start_[cell];
        int best = 1 << 20, entry = list[0];
        for (int k = 0; k < length_[cell]; ++k) {
            const uint8_t *c = index_.colour(list[k]);
            int dr = c[0] - r, dg = c[1] - g, db = c[2] - b;
            int d = dr * dr + dg * dg + db * db;
            if (d < best) {
                best = d;
                entry = list[k];
            }
        }
        keys_[slot] = colour + 1;
        values_[slot] = static_cast<uint8_t>(entry);
        return entry;
    }

private:
    static constexpr int bits = 12;
    static constexpr size_t cells = 1 << 12;

    void list_candidates(int cell) noexcept {
        int low[3] = {(cell >> 8) << 4, ((cell >> 4) & 15) << 4, (cell & 15) << 4};
        int count = index_.count();
        std::array<int, max_colours> nearest{};
        int threshold = 1 << 20;
        for (int i = 0; i < count; ++i) {
            const uint8_t *c = index_.colour(i);
            int near = 0, far = 0;
            for (int k = 0; k < 3; ++k) {
                int lo = low[k], hi = low[k] + 15, v = c[k];
                int inside = v < lo ? lo - v : v > hi ? v - hi : 0;
                int across = std::max(v - lo, hi - v);
                near += inside * inside;
                far += across * across;
            }
            nearest[i] = near;
            threshold = std::min(threshold, far);
        }
        start_[cell] = static_cast<int32_t>(used_);
        uint8_t *list = pool_.get() + used_;
        int length = 0;
        for (int i = 0; i < count; ++i) {
            if (nearest[i] <= threshold)
                list[length++] = static_cast<uint8_t>(i);
        }
        length_[cell] = static_cast<uint16_t>(length);
        used_ += size_t(length);
    }

    const palette_index &index_;
    std::array<uint32_t, 1 << bits> keys_;
    std::array<uint8_t, 1 << bits> values_{};
    // Each cell's candidates at start_[cell] in the pool (-1: not listed
    // yet); the pool holds every entry for every cell at worst.
    c_array<uint8_t> pool_;
    size_t used_ = 0;
    std::array<int32_t, cells> start_;
    std::array<uint16_t, cells> length_{};
};

struct tap {
    int dx, dy, weight;
};

struct kernel_taps {
    const tap *taps;
    int count;
    int divisor;
};

inline kernel_taps taps_of(kernel k) noexcept {
    static constexpr tap fs[] = {{1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}};
    static constexpr tap atkinson[] = {{1, 0, 1}, {2, 0, 1}, {-1, 1, 1},
                                       {0, 1, 1}, {1, 1, 1}, {0, 2, 1}};
    static constexpr tap jajuni[] = {{1, 0, 7}, {2, 0, 5}, {-2, 1, 3}, {-1, 1, 5}, {0, 1, 7},
                                     {1, 1, 5}, {2, 1, 3}, {-2, 2, 1}, {-1, 2, 3}, {0, 2, 5},
                                     {1, 2, 3}, {2, 2, 1}};
    static constexpr tap stucki[] = {{1, 0, 8}, {2, 0, 4}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8},
                                     {1, 1, 4}, {2, 1, 2}, {-2, 2, 1}, {-1, 2, 2}, {0, 2, 4},
                                     {1, 2, 2}, {2, 2, 1}};
    static constexpr tap burkes[] = {{1, 0, 8}, {2, 0, 4}, {-2, 1, 2}, {-1, 1, 4},
                                     {0, 1, 8}, {1, 1, 4}, {2, 1, 2}};
    switch (k) {
    case kernel::floyd_steinberg:
        return {fs, 4, 16};
    case kernel::atkinson:
        return {atkinson, 6, 8};
    case kernel::jajuni:
        return {jajuni, 12, 48};
    case kernel::stucki:
        return {stucki, 12, 42};
    case kernel::burkes:
        return {burkes, 7, 32};
    case kernel::none:
        break;
    }
    return {nullptr, 0, 1};
}

// Maps `rows` rows of packed RGB to palette entries, diffusing each pixel's
// error by the kernel within these rows (a strip diffuses on its own).
inline void map_rows(const uint8_t *pixels, int width, int rows, const palette_index &index,
                     kernel k, uint8_t *out) {
    cached_index lookup(index);
    size_t n = size_t(width) * size_t(rows);
    kernel_taps taps = taps_of(k);
    if (taps.count == 0) {
        for (size_t i = 0; i < n; ++i)
            out[i] = static_cast<uint8_t>(
                lookup.find(pixels[3 * i], pixels[3 * i + 1], pixels[3 * i + 2]));
        return;
    }
    // Three rows of accumulated error (weight times error, per channel),
    // two columns of margin each side; row y lives at (y % 3).
    const size_t stride = size_t(width) + 4;
    c_array<int32_t> error(3 * stride * 3);
    std::memset(error.get(), 0, 3 * stride * 3 * sizeof(int32_t));
    const int half = taps.divisor / 2;
    for (int y = 0; y < rows; ++y) {
        int32_t *row = error.get() + size_t(y % 3) * stride * 3;
        for (int x = 0; x < width; ++x) {
            const uint8_t *p = pixels + (size_t(y) * width + x) * 3;
            int32_t *acc = row + size_t(x + 2) * 3;
            int v[3];
            for (int c = 0; c < 3; ++c) {
                int a = acc[c];
                int shift = a >= 0 ? (a + half) / taps.divisor : -((-a + half) / taps.divisor);
                v[c] = std::clamp(p[c] + shift, 0, 255);
                acc[c] = 0;
            }
            int entry = lookup.find(v[0], v[1], v[2]);
            out[size_t(y) * width + x] = static_cast<uint8_t>(entry);
            const uint8_t *chosen = index.colour(entry);
            int e[3] = {v[0] - chosen[0], v[1] - chosen[1], v[2] - chosen[2]};
            if ((e[0] | e[1] | e[2]) == 0)
                continue;  // a colour of the palette: flat areas diffuse nothing
            for (int t = 0; t < taps.count; ++t) {
                const tap &tp = taps.taps[t];
                int tx = x + tp.dx;
                if (tx < 0 || tx >= width || y + tp.dy >= rows)
                    continue;
                int32_t *target =
                    error.get() + (size_t((y + tp.dy) % 3) * stride + size_t(tx + 2)) * 3;
                for (int c = 0; c < 3; ++c)
                    target[c] += e[c] * tp.weight;
            }
        }
    }
}

// The picture's distinct colours, in order of first appearance, and each
// pixel's entry, when there are at most `limit`; 0 when there are more.
inline int exact_colours(const uint8_t *pixels, size_t n, int limit, uint8_t *palette,
                         uint8_t *indices) noexcept {
    // Open addressing, at most a quarter full: 0 marks a free slot.
    constexpr uint32_t slots = 4 * max_colours;
    std::array<uint32_t, slots> keys{};
    std::array<uint8_t, slots> values{};
    int count = 0;
    uint32_t last = 0;  // colour + 1 of the previous pixel: runs skip the table
    uint8_t last_entry = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t *p = pixels + 3 * i;
        uint32_t key = (uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]) + 1;
        if (key != last) {
            uint32_t slot = (key * 0x9E3779B1u) >> 22;
            while (keys[slot] != 0 && keys[slot] != key)
                slot = (slot + 1) & (slots - 1);
            if (keys[slot] == 0) {
                if (count == limit)
                    return 0;
                keys[slot] = key;
                values[slot] = static_cast<uint8_t>(count);
                std::memcpy(palette + 3 * count, p, 3);
                ++count;
            }
            last = key;
            last_entry = values[slot];
        }
        indices[i] = last_entry;
    }
    return count;
}

// How many pixels a palette is built from, and Lloyd's iterations over
// them. Measured on photographs from 512 x 504 to 1920 x 1080: twice the
// sample and six iterations gain under 0.15 dB for 2.5 times the time
// (12 ms); half the sample loses 0.2 dB.
constexpr size_t palette_sample = 1 << 14;
constexpr int lloyd_iterations = 4;

struct colour_sample {
    c_array<uint8_t> rgb;
    size_t count = 0;
};

// About `wanted` pixels spread over the picture: one from each run of n /
// wanted, at a position that varies from run to run (a fixed stride would
// follow a pattern of the picture's own).
inline colour_sample sample_pixels(const uint8_t *pixels, size_t n, size_t wanted) {
    colour_sample s;
    s.count = std::min(n, wanted);
    s.rgb = c_array<uint8_t>(3 * s.count);
    uint64_t state = 0x2545F4914F6CDD1Dull;
    for (size_t k = 0; k < s.count; ++k) {
        size_t first = k * n / s.count, next = (k + 1) * n / s.count;
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        size_t at = first + size_t((state >> 33) % (next - first));
        std::memcpy(s.rgb.get() + 3 * k, pixels + 3 * at, 3);
    }
    return s;
}

struct box {
    size_t begin, end;
    double error;  // sum of squared distances to the box's mean
    int channel;   // the channel of widest spread
};

inline box measure(const uint8_t *rgb, size_t begin, size_t end) noexcept {
    double sum[3] = {0, 0, 0}, squares[3] = {0, 0, 0};
    for (size_t i = begin; i < end; ++i) {
        for (int c = 0; c < 3; ++c) {
            double v = rgb[3 * i + c];
            sum[c] += v;
            squares[c] += v * v;
        }
    }
    double n = double(end - begin);
    box b{begin, end, 0, 0};
    double widest = -1;
    for (int c = 0; c < 3; ++c) {
        double spread = squares[c] - sum[c] * sum[c] / n;
        b.error += spread;
        if (spread > widest) {
            widest = spread;
            b.channel = c;
        }
    }
    return b;
}

// Median cut: the box of most squared error is split at the median of its
// widest channel until there are `colours` boxes or none has any spread.
inline int median_cut(uint8_t *rgb, size_t count, int colours, float (*centres)[3]) {
    struct triple {
        uint8_t v[3];
    };
    auto *points = reinterpret_cast<triple *>(rgb);
    std::array<box, max_colours> boxes;
    int used = 1;
    boxes[0] = measure(rgb, 0, count);
    while (used < colours) {
        int widest = 0;
        for (int i = 1; i < used; ++i) {
            if (boxes[i].error > boxes[widest].error)
                widest = i;
        }
        box b = boxes[widest];
        if (b.error < 0.5)
            break;
        size_t middle = b.begin + (b.end - b.begin) / 2;
        int c = b.channel;
        std::nth_element(points + b.begin, points + middle, points + b.end,
                         [c](const triple &x, const triple &y) { return x.v[c] < y.v[c]; });
        boxes[widest] = measure(rgb, b.begin, middle);
        boxes[used++] = measure(rgb, middle, b.end);
    }
    for (int i = 0; i < used; ++i) {
        double sum[3] = {0, 0, 0};
        for (size_t k = boxes[i].begin; k < boxes[i].end; ++k) {
            for (int c = 0; c < 3; ++c)
                sum[c] += rgb[3 * k + c];
        }
        for (int c = 0; c < 3; ++c)
            centres[i][c] = float(sum[c] / double(boxes[i].end - boxes[i].begin));
    }
    return used;
}

inline void round_palette(const float (*centres)[3], int count, uint8_t *palette) noexcept {
    for (int i = 0; i < count; ++i) {
        for (int c = 0; c < 3; ++c)
            palette[3 * i + c] = static_cast<uint8_t>(std::clamp(int(centres[i][c] + 0.5f), 0, 255));
    }
}

// A palette of at most `colours` entries drawn from the picture's own
// colours: median cut of a sample, then Lloyd's iterations move each entry
// to the mean of the sampled pixels nearest it. Returns the entry count;
// `mean_error` gets the sample's mean squared error per channel.
inline int build_palette(const uint8_t *pixels, size_t n, int colours, uint8_t *palette,
                         double &mean_error) {
    colour_sample s = sample_pixels(pixels, n, palette_sample);
    float centres[max_colours][3];
    int count = median_cut(s.rgb.get(), s.count, colours, centres);
    round_palette(centres, count, palette);
    double total = 0;
    for (int round = 0; round <= lloyd_iterations; ++round) {
        palette_index index(palette, count);
        double sums[max_colours][3] = {};
        size_t members[max_colours] = {};
        total = 0;
        for (size_t k = 0; k < s.count; ++k) {
            const uint8_t *p = s.rgb.get() + 3 * k;
            auto [entry, distance] = index.find(p[0], p[1], p[2]);
            total += distance;
            ++members[entry];
            for (int c = 0; c < 3; ++c)
                sums[entry][c] += p[c];
        }
        if (round == lloyd_iterations)
            break;  // the last pass only measures
        for (int i = 0; i < count; ++i) {
            if (members[i] == 0)
                continue;  // nothing nearest: stays where it is
            for (int c = 0; c < 3; ++c)
                centres[i][c] = float(sums[i][c] / double(members[i]));
        }
        round_palette(centres, count, palette);
    }
    mean_error = total / (3.0 * double(s.count));
    return count;
}

// Mean squared error per channel of the sampled pixels against their
// nearest entries: how well a palette fits a picture.
inline double palette_error(const uint8_t *pixels, size_t n, const palette_index &index,
                            size_t wanted) {
    colour_sample s = sample_pixels(pixels, n, wanted);
    double total = 0;
    for (size_t k = 0; k < s.count; ++k) {
        const uint8_t *p = s.rgb.get() + 3 * k;
        total += index.find(p[0], p[1], p[2]).second;
    }
    return total / (3.0 * double(s.count));
}

}  // namespace tervalo::quantize
