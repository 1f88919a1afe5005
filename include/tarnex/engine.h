// The evaluation engine: runs a compiled Program over float64 data.
//
// Inputs are read in place and never written; `out` receives one double per
// element. A zero divisor of DIV or MOD throws std::runtime_error "Division by
// zero" or "Modulo by zero"; a failed scratch allocation throws
// std::bad_alloc. Nothing here touches Python.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tarnex/program.h"

namespace tarnex {
namespace detail {
// The per-element route of evaluateBlock, for programs with jumps.
void evaluateElements(const Program& program, uint64_t count, double* out, const double* const* inputs);
}  // namespace detail

// Elements per block: 256 slot buffers of 4096 doubles make 8 MiB of scratch
// per thread, while each instruction still works through thousands of
// elements per dispatch.
constexpr int64_t BLOCK_SIZE = 4096;
// Below two full blocks a thread team costs more than it saves.
constexpr int64_t PARALLEL_MIN_ELEMENTS = 8192;

// Evaluates `count` elements. `inputs` holds one pointer per variable,
// already advanced to the block; it may be null when there are none. Programs
// with jumps go element by element, the others instruction by instruction
// over the whole block, where one zero divisor anywhere fails the block.
void evaluateBlock(const Program& program, uint64_t count, double* out, const double* const* inputs);

// Evaluates one element; `values` holds one double per variable. Only the
// path the element takes is executed, and only it can fail.
double evaluateScalar(const Program& program, const double* values);

// Evaluates `n` elements in blocks of `block_size`, on the OpenMP team from
// PARALLEL_MIN_ELEMENTS elements on and on the calling thread below. An error
// in any block is raised again on the calling thread after the team has
// finished; the output is then unspecified.
void evaluateParallel(uint64_t var_count, const int64_t& block_size, double* out,
                      const std::shared_ptr<Program>& program, int64_t n,
                      const std::vector<const double*>& input_data);

}  // namespace tarnex
