// The masked route's shape: what its workspace must hold, and whether the
// route suits a program at all.
#include <algorithm>
#include <cmath>
#include <vector>

#include "tarnex/walker.h"

#include "kernels.h"
#include "plan.h"

namespace tarnex {
namespace {

// Every path waiting at a jump target keeps a mask of the block (32 KiB at
// 4096 elements). Compiled code has one waiting path per open level of &&,
// || and ?: nesting; a program with more at once goes element by element.
constexpr uint32_t MAX_WAITING_PATHS = 64;

// Follows the code as the masked machine does, with depths only. Beyond the
// walker's checks it declines an empty stack at RETURN and too many paths
// waiting at once.
class ShapeMachine {
public:
    bool visit(const WalkStep& step) {
        ++reachable_;
        if (step.info.kind == OpcodeKind::RETURN) {
            shape_.end = step.index;
            return step.depth != 0;
        }
        shape_.max_depth = std::max(shape_.max_depth, step.after);
        shape_.max_waiting = std::max(shape_.max_waiting, step.waiting);
        return step.waiting <= MAX_WAITING_PATHS;
    }
    void skip(size_t) {}

    const MaskedShape& shape() const { return shape_; }
    size_t reachable() const { return reachable_; }  // instructions some path reaches

private:
    MaskedShape shape_;
    size_t reachable_ = 0;
};

// The masked route runs every instruction that some element reaches; the
// per-element route runs only each element's own path, but about ten times
// slower per instruction. When the elements spread over all paths, the
// worst case for the masked route, each runs an average path; beyond this
// ratio of reachable code to average path the per-element route was faster
// (balanced trees of conditionals with 16 to 64 leaves).
constexpr double MAX_CODE_PER_PATH = 12.0;

struct PathsFrom {
    double mean_length;  // instructions up to and including the RETURN
    double log_count;    // paths grow exponentially with conditionals in sequence
};

// The mean length of the paths from the start to the RETURN, every path
// counted alike.
double meanPathLength(const std::vector<Instruction>& code, size_t end) {
    std::vector<PathsFrom> from(end + 1);
    from[end] = {1.0, 0.0};
    for (size_t index = end; index-- > 0;) {
        Instruction ins = code[index];
        size_t target = index + ins.operand;
        const PathsFrom& next = from[index + 1];
        if (!isJump(ins) || target > end) {  // past `end` only in code no path reaches
            from[index] = {1.0 + next.mean_length, next.log_count};
        } else if (ins.opcode == static_cast<uint32_t>(Opcode::JUMP)) {
            from[index] = {1.0 + from[target].mean_length, from[target].log_count};
        } else {
            const PathsFrom& taken = from[target];
            double gap = taken.log_count - next.log_count;
            double share = 1.0 / (1.0 + std::exp(gap));  // of the paths that fall through
            from[index] = {1.0 + share * next.mean_length + (1.0 - share) * taken.mean_length,
                           std::max(taken.log_count, next.log_count) + std::log1p(std::exp(-std::fabs(gap)))};
        }
    }
    return from[0].mean_length;
}

}  // namespace

namespace detail {

bool planMaskedRoute(const Program& program, Plan& plan) {
    plan.masked_block_code = !plan.block_code.empty() && hasJumps(plan.block_code);
    const std::vector<Instruction>& code = plan.masked_block_code ? plan.block_code : program.code;
    ShapeMachine machine;
    const CodeBounds bounds{program.constants.size(), program.var_names.size(), true};
    if (walkCode(code, bounds, machine) != WalkOutcome::RETURNED) return false;
    const MaskedShape& shape = machine.shape();
    if (static_cast<double>(machine.reachable()) > MAX_CODE_PER_PATH * meanPathLength(code, shape.end)) return false;
    plan.shape = shape;
    return true;
}

}  // namespace detail
}  // namespace tarnex
