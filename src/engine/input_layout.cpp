#include "tarnex/input_layout.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <stdexcept>

#include "tarnex/engine.h"

#include "kernels.h"

namespace tarnex {
namespace {

constexpr int64_t ELEMENT_BYTES = sizeof(double);
// NumPy's own limit on dimensions; merged axes are never more.
constexpr size_t MAX_AXES = 64;

std::atomic<uint64_t> next_generation{1};

// A value repeated along the outer axes (a row broadcast over a matrix, a
// scalar) is read from its period written out over and over, once per thread
// and layout: any run of it starts somewhere in the first period, and nothing
// is copied per block. Longer periods are copied a run at a time.
constexpr int64_t LONGEST_PERIOD = 4 * BLOCK_SIZE;

// A thread's copies of the inputs of its current block, BLOCK_SIZE doubles
// each, and the repeated inputs of its current layout.
struct Scratch {
    std::vector<double> values;
    std::vector<std::vector<double>> repeated;  // empty until first used
    uint64_t generation = 0;

    double* of(size_t input) { return values.data() + input * static_cast<size_t>(BLOCK_SIZE); }

    void prepare(size_t inputs, uint64_t layout) {
        const size_t size = inputs * static_cast<size_t>(BLOCK_SIZE);
        if (values.size() < size) values.resize(size);
        if (generation != layout)
            for (std::vector<double>& periods : repeated) periods.clear();
        if (repeated.size() < inputs) repeated.resize(inputs);
        generation = layout;
    }
};

thread_local Scratch scratch;

}  // namespace

bool isCLaidOut(std::span<const int64_t> shape, std::span<const int64_t> strides) {
    int64_t expected = ELEMENT_BYTES;
    for (size_t k = shape.size(); k-- > 0;) {
        if (shape[k] != 1 && strides[k] != expected) return false;
        expected *= shape[k];
    }
    return true;
}

InputLayout::InputLayout(int64_t n, std::span<const double* const> data) : data_(data), count_(n) {}

InputLayout::InputLayout(std::span<const int64_t> shape, std::span<const double* const> data,
                         std::span<const int64_t> strides)
    : data_(data) {
    if (shape.size() > MAX_AXES) throw std::length_error("more than 64 axes");
    for (const int64_t extent : shape) count_ *= extent;
    bool in_place = true;
    for (size_t i = 0; in_place && i < data.size(); ++i)
        in_place = count_ <= 1 || isCLaidOut(shape, strides.subspan(i * shape.size(), shape.size()));
    if (!in_place) merge(shape, strides);
}

// Axes of one element say nothing; an axis joins the one before it where
// every input steps over both alike, so the innermost runs are as long as
// they can be. Strides are gathered axis by axis, then input by input.
void InputLayout::merge(std::span<const int64_t> shape, std::span<const int64_t> strides) {
    const size_t inputs = data_.size(), axes = shape.size();
    std::vector<int64_t> by_axis;
    by_axis.reserve(inputs * axes);
    for (size_t k = 0; k < axes; ++k) {
        if (shape[k] == 1) continue;
        bool joins = !shape_.empty();
        for (size_t i = 0; joins && i < inputs; ++i)
            joins = by_axis[by_axis.size() - inputs + i] == strides[i * axes + k] * shape[k];
        if (joins) {
            shape_.back() *= shape[k];
            for (size_t i = 0; i < inputs; ++i) by_axis[by_axis.size() - inputs + i] = strides[i * axes + k];
            continue;
        }
        shape_.push_back(shape[k]);
        for (size_t i = 0; i < inputs; ++i) by_axis.push_back(strides[i * axes + k]);
    }
    const size_t kept = shape_.size();
    strides_.resize(inputs * kept);
    for (size_t k = 0; k < kept; ++k)
        for (size_t i = 0; i < inputs; ++i) strides_[i * kept + k] = by_axis[k * inputs + i];
    kinds_.reserve(inputs);
    periods_.assign(inputs, 0);
    for (size_t i = 0; i < inputs; ++i) {
        const auto own = stridesOf(i);
        periods_[i] = periodOf(shape_, own);
        kinds_.push_back(isCLaidOut(shape_, own) ? Kind::CONTIGUOUS
                         : periods_[i] > 0       ? Kind::REPEATED
                                                 : Kind::STRIDED);
    }
    generation_ = next_generation.fetch_add(1, std::memory_order_relaxed);
}

// The elements of a value that steps 0 along its outer axes and lies in C
// order over the others repeat with the period of those others: that
// period, or 0 where the value is not such or its period is too long.
int64_t InputLayout::periodOf(std::span<const int64_t> shape, std::span<const int64_t> strides) {
    size_t outer = 0;
    while (outer < shape.size() && strides[outer] == 0) ++outer;
    if (outer == 0 || !isCLaidOut(shape.subspan(outer), strides.subspan(outer))) return 0;
    int64_t period = 1;
    for (size_t k = outer; k < shape.size(); ++k) period *= shape[k];
    return period <= LONGEST_PERIOD ? period : 0;
}

// Any run of at most BLOCK_SIZE elements starts within the first period.
const double* InputLayout::repeated(size_t input) const {
    std::vector<double>& periods = scratch.repeated[input];
    if (periods.empty()) {
        const auto period = static_cast<size_t>(periods_[input]);
        periods.resize(period - 1 + static_cast<size_t>(std::min(BLOCK_SIZE, count_)));
        std::copy_n(data_[input], period, periods.begin());
        for (size_t k = period; k < periods.size(); ++k) periods[k] = periods[k - period];
    }
    return periods.data();
}

void InputLayout::loadCopying(int64_t start, int64_t count, const double** pointers) const {
    scratch.prepare(data_.size(), generation_);
    for (size_t i = 0; i < data_.size(); ++i) {
        switch (kinds_[i]) {
            case Kind::CONTIGUOUS: pointers[i] = data_[i] + start; break;
            case Kind::REPEATED: pointers[i] = repeated(i) + start % periods_[i]; break;
            case Kind::STRIDED:
                gather(i, start, count, scratch.of(i));
                pointers[i] = scratch.of(i);
                break;
        }
    }
}

namespace {

// A value whose rows lie closer together than the elements of a row (a
// transposed matrix) is copied in bands of the rows the run covers, tile by
// tile, so that each memory line read gives all its elements of those rows at
// once instead of one element per row. The run starts at column `first` of a
// matrix's row 0 and stays within the matrix.
void copyAcrossRows(const detail::KernelSet& kernels, const char* from, int64_t row_step, int64_t step, int64_t first,
                    int64_t inner, int64_t run, double* to) {
    const int64_t rows = (first + run + inner - 1) / inner;
    const int64_t last = first + run - (rows - 1) * inner;  // the end of the last row
    const auto band = [&](int64_t row_begin, int64_t row_end, int64_t column_begin, int64_t column_end) {
        if (row_begin >= row_end || column_begin >= column_end) return;
        kernels.copy_tile(row_end - row_begin, column_end - column_begin,
                          from + (row_begin * row_step + (column_begin - first) * step), row_step, step,
                          to + (row_begin * inner + column_begin - first), inner);
    };
    // The first row from `first`, whole rows, the last row up to `last`: the
    // columns left of both ends, between them, and right of both.
    band(1, rows, 0, std::min(first, last));
    if (first < last) band(0, rows, first, last);
    else band(1, rows - 1, last, first);
    band(0, rows - 1, std::max(first, last), inner);
}

}  // namespace

// Copies the run of elements [start, start + count) in C order, an innermost
// run at a time, or the rows of a matrix together where their memory is closer.
void InputLayout::gather(size_t input, int64_t start, int64_t count, double* to) const {
    const size_t axes = shape_.size();
    const auto strides = stridesOf(input);
    std::array<int64_t, MAX_AXES> index{};
    for (size_t k = axes, rest = static_cast<size_t>(start); k-- > 0;) {
        index[k] = static_cast<int64_t>(rest % static_cast<size_t>(shape_[k]));
        rest /= static_cast<size_t>(shape_[k]);
    }
    const int64_t inner = shape_.back(), step = strides.back();
    const bool by_rows = axes >= 2 && strides[axes - 2] != 0 && std::abs(strides[axes - 2]) < std::abs(step);
    const detail::KernelSet& kernels = detail::activeKernels();
    while (count > 0) {
        const char* from = reinterpret_cast<const char*>(data_[input]);
        for (size_t k = 0; k < axes; ++k) from += index[k] * strides[k];
        int64_t run;
        if (by_rows) {
            run = std::min(count, (shape_[axes - 2] - index[axes - 2]) * inner - index[axes - 1]);
            copyAcrossRows(kernels, from, strides[axes - 2], step, index[axes - 1], inner, run, to);
        } else {
            run = std::min(count, inner - index[axes - 1]);
            kernels.copy_tile(1, run, from, 0, step, to, run);
        }
        to += run;
        count -= run;
        // Carry into the outer axes.
        index[axes - 1] += run;
        for (size_t k = axes; k-- > 1 && index[k] >= shape_[k];) {
            index[k - 1] += index[k] / shape_[k];
            index[k] %= shape_[k];
        }
    }
}

}  // namespace tarnex
