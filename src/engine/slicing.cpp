// A long evaluation cut into slices of about SLICE_NANOSECONDS of one core's
// work, so that its caller can answer Ctrl-C between two of them.
#include <algorithm>

#include "tarnex/engine.h"

namespace tarnex {
namespace {

// Measured with one thread over 2*10^7 elements: a*b+a and a+1 move 28-32
// bytes a nanosecond into a result already mapped, and a fresh result's pages
// cost 0.36 us each on first touch. Streaming and computing overlap, the page
// faults add to both.
constexpr double BYTES_PER_NANOSECOND = 20.0;
constexpr double FRESH_PAGE_NANOSECONDS = 400.0;
constexpr double PAGE_BYTES = 4096.0;

double sliceElementNanoseconds(const ElementCost& cost) {
    const double faults = FRESH_PAGE_NANOSECONDS * sizeof(double) / PAGE_BYTES;
    return std::max(cost.nanoseconds, cost.bytes / BYTES_PER_NANOSECOND) + faults;
}

struct Slicing {
    int64_t elements;
    int64_t block_size;
};

// Programs that fail whole blocks are cut into whole blocks, at least one
// per thread, so that a costly block program still keeps the team busy; the
// others anywhere.
Slicing slicingFor(const ElementCost& cost, int64_t n) {
    const double elements = std::min(SLICE_NANOSECONDS / sliceElementNanoseconds(cost), static_cast<double>(n));
    if (cost.whole_blocks) {
        const int64_t blocks = std::max<int64_t>(threadCount(), static_cast<int64_t>(elements) / BLOCK_SIZE);
        return {blocks * BLOCK_SIZE, BLOCK_SIZE};
    }
    const int64_t slice = std::max<int64_t>(1, static_cast<int64_t>(elements));
    return {slice, std::min(BLOCK_SIZE, slice)};
}

}  // namespace

bool evaluateInSlices(const InputLayout& layout, double* out, const PreparedProgram& program,
                      const std::function<bool()>& stop) {
    const int64_t n = layout.elementCount();
    const Slicing slicing = slicingFor(program.cost(), n);
    if (slicing.elements >= n) {
        evaluateParallel(layout, 0, n, BLOCK_SIZE, out, program);
        return true;
    }
    for (int64_t start = 0; start < n; start += slicing.elements) {
        if (start > 0 && stop()) return false;
        evaluateParallel(layout, start, std::min(slicing.elements, n - start), slicing.block_size, out, program);
    }
    return true;
}

}  // namespace tarnex
