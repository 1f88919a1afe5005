#include "tarnex/input_layout.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "tarnex/engine.h"

namespace tarnex {
namespace {

constexpr int64_t ELEMENT_BYTES = sizeof(double);

std::atomic<uint64_t> next_generation{1};

// A thread's copies of the inputs of its current block, BLOCK_SIZE doubles
// each, and which inputs of which layout hold their constant already.
struct Scratch {
    std::vector<double> values;
    std::vector<uint8_t> constant_ready;
    uint64_t generation = 0;

    double* of(size_t input) { return values.data() + input * static_cast<size_t>(BLOCK_SIZE); }

    void prepare(size_t inputs, uint64_t layout) {
        const size_t size = inputs * static_cast<size_t>(BLOCK_SIZE);
        if (values.size() < size) values.resize(size);
        if (generation != layout || constant_ready.size() < inputs) constant_ready.assign(inputs, 0);
        generation = layout;
    }
};

thread_local Scratch scratch;

bool isCLaidOut(std::span<const int64_t> shape, std::span<const int64_t> strides) {
    int64_t expected = ELEMENT_BYTES;
    for (size_t k = shape.size(); k-- > 0;) {
        if (shape[k] != 1 && strides[k] != expected) return false;
        expected *= shape[k];
    }
    return true;
}

}  // namespace

InputLayout::InputLayout(int64_t n, std::span<const double* const> data)
    : shape_{n}, count_(n), generation_(next_generation.fetch_add(1, std::memory_order_relaxed)) {
    inputs_.reserve(data.size());
    for (const double* input : data) inputs_.push_back({input, Kind::CONTIGUOUS, {ELEMENT_BYTES}});
}

InputLayout::InputLayout(std::span<const int64_t> shape, std::vector<StridedInput> inputs)
    : generation_(next_generation.fetch_add(1, std::memory_order_relaxed)) {
    // Axes of one element say nothing; an axis joins the next one where every
    // input steps over both alike, so the innermost runs are as long as they
    // can be.
    std::vector<size_t> kept;
    for (size_t k = 0; k < shape.size(); ++k) {
        count_ *= shape[k];
        if (shape[k] != 1) kept.push_back(k);
    }
    std::vector<std::vector<int64_t>> strides(inputs.size());
    for (size_t k : kept) {
        bool joins = !shape_.empty();
        for (size_t i = 0; joins && i < inputs.size(); ++i) joins = strides[i].back() == inputs[i].strides[k] * shape[k];
        if (joins) {
            shape_.back() *= shape[k];
            for (size_t i = 0; i < inputs.size(); ++i) strides[i].back() = inputs[i].strides[k];
            continue;
        }
        shape_.push_back(shape[k]);
        for (size_t i = 0; i < inputs.size(); ++i) strides[i].push_back(inputs[i].strides[k]);
    }
    inputs_.reserve(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        const bool constant = std::ranges::all_of(strides[i], [](int64_t stride) { return stride == 0; });
        const Kind kind = count_ <= 1 || isCLaidOut(shape_, strides[i]) ? Kind::CONTIGUOUS
                          : constant                                     ? Kind::CONSTANT
                                                                         : Kind::STRIDED;
        inputs_.push_back({inputs[i].data, kind, std::move(strides[i])});
    }
}

bool InputLayout::inPlace() const {
    return std::ranges::all_of(inputs_, [](const Input& input) { return input.kind == Kind::CONTIGUOUS; });
}

void InputLayout::load(int64_t start, int64_t count, const double** pointers) const {
    if (!inPlace()) scratch.prepare(inputs_.size(), generation_);
    for (size_t i = 0; i < inputs_.size(); ++i) {
        const Input& input = inputs_[i];
        switch (input.kind) {
            case Kind::CONTIGUOUS: pointers[i] = input.data + start; break;
            case Kind::CONSTANT:
                if (scratch.constant_ready[i] == 0) std::fill_n(scratch.of(i), BLOCK_SIZE, *input.data);
                scratch.constant_ready[i] = 1;
                pointers[i] = scratch.of(i);
                break;
            case Kind::STRIDED:
                gather(input, start, count, scratch.of(i));
                pointers[i] = scratch.of(i);
                break;
        }
    }
}

// Copies the run of elements [start, start + count) in C order, an innermost
// run at a time.
void InputLayout::gather(const Input& input, int64_t start, int64_t count, double* to) const {
    const size_t axes = shape_.size();
    std::vector<int64_t> index(axes);
    const char* from = reinterpret_cast<const char*>(input.data);
    for (size_t k = axes, rest = static_cast<size_t>(start); k-- > 0;) {
        index[k] = static_cast<int64_t>(rest % static_cast<size_t>(shape_[k]));
        rest /= static_cast<size_t>(shape_[k]);
        from += index[k] * input.strides[k];
    }
    const int64_t inner = shape_.back(), step = input.strides.back();
    while (count > 0) {
        const int64_t run = std::min(count, inner - index.back());
        if (step == ELEMENT_BYTES) {
            std::memcpy(to, from, static_cast<size_t>(run) * sizeof(double));
        } else {
            for (int64_t j = 0; j < run; ++j) std::memcpy(to + j, from + j * step, sizeof(double));
        }
        to += run;
        count -= run;
        from += (run - 1) * step;
        // Carry into the outer axes; `from` follows the index.
        index.back() += run - 1;
        for (size_t k = axes; k-- > 0;) {
            from -= index[k] * input.strides[k];
            if (++index[k] < shape_[k]) {
                from += index[k] * input.strides[k];
                break;
            }
            index[k] = 0;
        }
    }
}

}  // namespace tarnex
