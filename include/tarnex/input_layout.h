// Where an evaluation's inputs lie: each as a pointer and, per axis of the
// result's shape, the bytes between neighbouring elements (0 along an axis
// it is broadcast over), so views, transposes, broadcast rows and scalars are
// read in place.
//
// Elements are numbered in C order of the result's shape. `load` gives, for
// a run of elements, a pointer per input: into the input's own memory where
// the run lies there contiguously, else into the calling thread's scratch,
// filled from it. Nothing is copied for an input laid out like the result;
// a value broadcast over every axis is written to a thread's scratch once
// per layout. Pointers stay valid until the thread's next `load`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarnex {

struct StridedInput {
    const double* data;            // the element at index (0, ..., 0)
    std::vector<int64_t> strides;  // in bytes, one per axis of the shape; multiples of 8
};

class InputLayout {
public:
    // Inputs laid out like a one-dimensional result of `n` elements.
    InputLayout(int64_t n, std::span<const double* const> data);
    // Each input's strides must have one entry per axis of `shape`.
    InputLayout(std::span<const int64_t> shape, std::vector<StridedInput> inputs);

    size_t inputCount() const { return inputs_.size(); }
    int64_t elementCount() const { return count_; }

    // Whether every input lies like the result, so that `load` never copies.
    bool inPlace() const;

    // Fills `pointers` (one per input) for elements [start, start + count),
    // count at most BLOCK_SIZE. Throws std::bad_alloc when the calling
    // thread's scratch cannot grow.
    void load(int64_t start, int64_t count, const double** pointers) const;

private:
    enum class Kind : uint8_t { CONTIGUOUS, CONSTANT, STRIDED };
    struct Input {
        const double* data;
        Kind kind;
        std::vector<int64_t> strides;  // over `shape_`, after merging axes
    };

    void gather(const Input& input, int64_t start, int64_t count, double* to) const;

    std::vector<int64_t> shape_;  // axes merged where every input allows it
    std::vector<Input> inputs_;
    int64_t count_ = 1;
    uint64_t generation_;  // tells a thread's scratch which layout it holds constants of
};

}  // namespace tarnex
