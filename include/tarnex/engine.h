// The evaluation engine: runs a compiled Program over float64 data.
//
// Inputs are read in place and never written; `out` receives one double per
// element. A zero divisor of DIV or MOD throws std::runtime_error "Division by
// zero" or "Modulo by zero"; a failed scratch allocation throws
// std::bad_alloc. Nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "tarnex/input_layout.h"
#include "tarnex/kernel_levels.h"
#include "tarnex/program.h"

namespace tarnex {

struct Plan;

// An estimate, made when the program is planned, of the nanoseconds one
// element takes on one core (measured costs of each route, operation and
// library function), and of the bytes of memory it moves (its inputs read
// and its result written), for callers that cut a long evaluation into
// slices. Slices of a program that fails whole blocks must be whole blocks
// starting at block boundaries (`whole_blocks`); any other program gives the
// same results and errors wherever its slices and blocks are cut.
struct ElementCost {
    double nanoseconds = 0.0;
    bool whole_blocks = true;
    double bytes = 0.0;
};

// A compiled program together with the engine's plan for it: how it is
// run (its route, its block steps or the masked route's shape) and what an
// element costs, decided once by prepare and only read afterwards, by any
// number of threads at once. The compiler's Program knows nothing of it.
class PreparedProgram {
public:
    PreparedProgram(Program program, std::shared_ptr<const Plan> plan)
        : program_(std::move(program)), plan_(std::move(plan)) {}

    const Program& program() const { return program_; }
    const Plan& plan() const { return *plan_; }
    const ElementCost& cost() const;
    // The variables the code reads, ascending: the rest need no data.
    std::span<const uint32_t> readVariables() const;
    // The program's code with its cheap, safe &&, || and ?: as whole-block
    // operations (LOGICAL_AND, LOGICAL_OR, SELECT), sharing its constants;
    // empty when its code has no jumps or none qualifies.
    const std::vector<Instruction>& blockCode() const;
    // The heap bytes the plan holds, itself included, less its block code,
    // for callers that budget memory (the program's own are theirs to count).
    size_t planBytes() const;

private:
    Program program_;
    std::shared_ptr<const Plan> plan_;
};

// Plans `program` once, when it is compiled or enters a cache. Code no
// compiler produces and no route can run safely is planned as malformed,
// and evaluating it throws std::logic_error.
std::shared_ptr<const PreparedProgram> prepare(Program program);

namespace detail {
// The instruction-set levels the block route's loops are compiled for,
// lowest first (the build's list of levels); the best one the CPU supports
// is chosen at load.
enum class KernelLevel {
#define TARNEX_LEVEL_ENUM(name, upper, check) upper,
    TARNEX_KERNEL_LEVELS(TARNEX_LEVEL_ENUM)
#undef TARNEX_LEVEL_ENUM
};
inline constexpr KernelLevel KERNEL_LEVELS[] = {
#define TARNEX_LEVEL_ITEM(name, upper, check) KernelLevel::upper,
    TARNEX_KERNEL_LEVELS(TARNEX_LEVEL_ITEM)
#undef TARNEX_LEVEL_ITEM
};
KernelLevel bestKernelLevel();
// For tests that compare levels: switches the block route to `level`, or
// returns false and changes nothing when the CPU lacks it.
bool useKernelLevel(KernelLevel level);
const char* kernelLevelName();

// The x86-64-v4 level computes exp, log and pow with vector kernels that give
// the libm's bits, when a guard allows it for that function: the CPU is at
// that level, the GNU build-id of the loaded object that provides the
// function is one the kernels were verified against, and the kernel agrees
// with that object on a fixed check set. The guard decides at a function's
// first use; otherwise the libm is called per element, as at every other
// level.
enum class VectorLibmFunction : uint8_t { EXP, LOG, POW };
constexpr int VECTOR_LIBM_FUNCTIONS = 3;
struct VectorLibmDecision {
    bool used;
    const char* reason;  // why not, or "verified libm"
};
VectorLibmDecision vectorLibmDecision(VectorLibmFunction f);
// The name of f in the libm.
const char* vectorLibmName(VectorLibmFunction f);
// The hex GNU build-id of the libm that provides exp, or "" when unknown.
const char* loadedLibmBuildId();
// For tests: forgets the decisions, so the next use decides again as though
// the loaded libm's build-id were `build_id` (nullptr: its own).
void redecideVectorLibm(const char* build_id);
// For tests and the verification tool: f's vector kernel itself over `count`
// elements (pow: b holds the exponents), whatever the guard says. Returns
// false, writing nothing, when the CPU is below x86-64-v4.
bool evaluateVectorLibm(VectorLibmFunction f, uint64_t count, double* out, const double* a, const double* b);

// Whether evaluateParallel opens a thread team for `n` elements of
// `program` now (for benches that run their own loops the same way).
bool opensThreadTeam(const PreparedProgram& program, int64_t n);

// The per-element route of evaluateBlock, for programs with jumps.
void evaluateElements(const PreparedProgram& prepared, uint64_t count, double* out, const double* const* inputs);
// The masked route of evaluateBlock, for programs with jumps: each
// instruction once over the block for the elements whose path reaches it.
// Returns false when it declines the program (a shape compiled code never
// has, too many paths open at once, or so many paths that the per-element
// route is likely faster) or when a DIV or MOD meets a zero divisor on an
// element's path; the per-element route then gives the result or the error.
// `out` is then untouched, except that past BLOCK_SIZE elements the earlier
// chunks may hold their results already.
bool evaluateMasked(const PreparedProgram& prepared, uint64_t count, double* out, const double* const* inputs);
}  // namespace detail

// Elements per block: 256 slot buffers of 4096 doubles make 8 MiB of scratch
// per thread, while each instruction still works through thousands of
// elements per dispatch.
constexpr int64_t BLOCK_SIZE = 4096;
// Below two full blocks a thread team costs more than it saves.
constexpr int64_t PARALLEL_MIN_ELEMENTS = 8192;
// A team opens only for work the plan estimates at this much of one core's
// time or more. Waking sleeping helpers costs the caller about 4 us and
// brings the first one in some 40 us later (2 cores, C++ calls 1 ms apart);
// helpers still spinning after the last call cost a fraction of a
// microsecond.
constexpr double TEAM_MIN_WORK_NANOSECONDS = 50e3;
// While every helper is still awake after the last team call, or in a loop
// of calls of this much work that keeps them awake once woken:
constexpr double TEAM_MIN_WORK_AWAKE_NANOSECONDS = 10e3;

// Evaluates `count` elements. `inputs` holds one pointer per variable,
// already advanced to the block; it may be null when there are none. Programs
// without jumps run instruction by instruction over the whole block, where
// one zero divisor anywhere fails the block. Programs with jumps behave as if
// run element by element: only a division an element reaches can fail, the
// first failing element decides the message and the elements before it are
// written.
void evaluateBlock(const PreparedProgram& prepared, uint64_t count, double* out, const double* const* inputs);

// Evaluates one element; `values` holds one double per variable. Only the
// path the element takes is executed, and only it can fail.
double evaluateScalar(const Program& program, const double* values);

// The team size of every later evaluation, process-wide: `count` threads,
// or 0 for the OpenMP runtime's default of the calling thread (the state at
// load). Throws std::invalid_argument for a negative count or one above
// MAX_THREAD_COUNT.
void setThreadCount(int count);
// What setThreadCount was last given.
int threadCountSetting();
// The team size of the calling thread's next evaluation that opens a team:
// 1 where no team may open (in a process forked after a team ran).
int threadCount();
// Every thread keeps its scratch (up to 8 MiB) for the life of the process;
// a helper that cannot be started is done without.
constexpr int MAX_THREAD_COUNT = 1024;

// Evaluates `n` elements in blocks of `block_size`, on a team of the
// calling thread and threadCount() - 1 helpers where the plan's estimate of
// the work pays for one (TEAM_MIN_WORK_NANOSECONDS, at least two blocks) and
// on the calling thread otherwise. The team's threads claim blocks in order
// from one counter. A program that no element can fail may run on
// the team in shorter, equal blocks, from 512 elements on: its results do not
// depend on where blocks are cut. An error in any block is raised again on
// the calling thread once every claimed block has run; the output is then
// unspecified. `out` may be the very memory
// of an input, since every route reads an element's inputs before it writes
// that element and writes nothing of a block it has to run again; any other
// overlap of `out` with an input is not allowed.
void evaluateParallel(uint64_t var_count, const int64_t& block_size, double* out,
                      const PreparedProgram& prepared, int64_t n,
                      const std::vector<const double*>& input_data);
// The same over elements [first, first + n) of inputs laid out by `layout`,
// into out[first, first + n): a slice of a longer evaluation. Blocks start
// at `first` and every `block_size` elements after it.
void evaluateParallel(const InputLayout& layout, int64_t first, int64_t n, const int64_t& block_size, double* out,
                      const PreparedProgram& prepared);

// About this much of one core's time passes between two questions of
// evaluateInSlices, by the plan's estimate of the computing, the memory
// traffic and the first touch of a fresh result's pages.
constexpr double SLICE_NANOSECONDS = 20e6;

// evaluateParallel over every element of `layout`, for a prepared program,
// in slices, for a caller that must answer Ctrl-C: between two slices it
// asks `stop` on the calling thread and returns false, `out` partly written,
// as soon as `stop` says true; true once every element is written. Slices of
// a program that fails whole blocks are whole blocks, so results and errors
// are those of one evaluateParallel call.
bool evaluateInSlices(const InputLayout& layout, double* out, const PreparedProgram& program,
                      const std::function<bool()>& stop);

}  // namespace tarnex
