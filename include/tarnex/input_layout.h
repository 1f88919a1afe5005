// Where an evaluation's inputs lie: each as a pointer and, per axis of the
// result's shape, the bytes between neighbouring elements (0 along an axis
// it is broadcast over), so views, transposes, broadcast rows and scalars are
// read in place.
//
// Elements are numbered in C order of the result's shape. `load` gives, for
// a run of elements, a pointer per input: into the input's own memory where
// the run lies there contiguously, else into the calling thread's scratch,
// filled from it. Nothing is copied for an input laid out like the result;
// a value broadcast over the outer axes (a scalar, a row over a matrix's
// rows) is written out to a thread's scratch once per layout. Pointers stay
// valid until the thread's next `load`. A layout refers to the caller's
// `data`, which must outlive it; it allocates only when some input does not
// lie like the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarnex {

// Whether a value with these byte strides over `shape` lies in C order,
// as the result does, so that it is read where it lies.
bool isCLaidOut(std::span<const int64_t> shape, std::span<const int64_t> strides);

class InputLayout {
public:
    // Inputs laid out like a one-dimensional result of `n` elements.
    InputLayout(int64_t n, std::span<const double* const> data);
    // Input i starts at data[i] (its element at index (0, ..., 0)) and steps
    // strides[i * shape.size() + k] bytes along axis k: a multiple of 8, 0
    // along an axis it is broadcast over. At most 64 axes, as NumPy allows;
    // more throw std::length_error.
    InputLayout(std::span<const int64_t> shape, std::span<const double* const> data, std::span<const int64_t> strides);

    size_t inputCount() const { return data_.size(); }
    int64_t elementCount() const { return count_; }

    // Whether every input lies like the result, so that `load` never copies.
    bool inPlace() const { return kinds_.empty(); }

    // Fills `pointers` (one per input) for elements [start, start + count),
    // count at most BLOCK_SIZE. Throws std::bad_alloc when the calling
    // thread's scratch cannot grow. Inline, since most calls read every
    // input in place and a call of one element costs about as much as this.
    void load(int64_t start, int64_t count, const double** pointers) const {
        if (!inPlace()) {
            loadCopying(start, count, pointers);
            return;
        }
        for (size_t i = 0; i < data_.size(); ++i) pointers[i] = data_[i] + start;
    }

private:
    enum class Kind : uint8_t { CONTIGUOUS, REPEATED, STRIDED };

    void loadCopying(int64_t start, int64_t count, const double** pointers) const;
    static int64_t periodOf(std::span<const int64_t> shape, std::span<const int64_t> strides);
    const double* repeated(size_t input) const;

    void merge(std::span<const int64_t> shape, std::span<const int64_t> strides);
    std::span<const int64_t> stridesOf(size_t input) const {
        return std::span(strides_).subspan(input * shape_.size(), shape_.size());
    }
    void gather(size_t input, int64_t start, int64_t count, double* to) const;

    std::span<const double* const> data_;
    int64_t count_ = 1;
    // Empty while every input lies like the result.
    std::vector<Kind> kinds_;
    std::vector<int64_t> shape_;    // axes merged where every input allows it
    std::vector<int64_t> strides_;  // over `shape_`, input by input
    std::vector<int64_t> periods_;  // of the repeated inputs, 0 for others
    uint64_t generation_ = 0;       // tells a thread's scratch which layout it holds repeated inputs of
};

}  // namespace tarnex
