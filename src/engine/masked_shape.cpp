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

// The paths from the start to one instruction, every path counted alike.
struct PathsTo {
    double mean_length;  // instructions before it
    double log_count;    // paths grow exponentially with conditionals in sequence
};

// Where paths meet, the mean is weighted by each side's count.
bool meet(PathsTo& there, const PathsTo& arriving) {
    const double gap = arriving.log_count - there.log_count;
    const double share = 1.0 / (1.0 + std::exp(gap));  // of the paths already there
    there = {share * there.mean_length + (1.0 - share) * arriving.mean_length,
             std::max(there.log_count, arriving.log_count) + std::log1p(std::exp(-std::fabs(gap)))};
    return true;
}

// Follows the code as the masked machine does, with depths only, and the
// mean length of its paths. Beyond the walker's checks it declines an
// empty stack at RETURN and too many paths waiting at once.
class ShapeMachine {
public:
    bool visit(const WalkStep& step) {
        ++reachable_;
        followPaths(step);
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
    // The mean length of the paths from the start to the RETURN, the RETURN included.
    double meanPathLength() const { return here_.mean_length; }

private:
    void followPaths(const WalkStep& step) {
        if (paths_.arrivedAt(step.index)) {
            const PathsTo arriving = paths_.take();
            if (fell_through_) {
                meet(here_, arriving);
            } else {
                here_ = arriving;
            }
        }
        here_.mean_length += 1.0;
        const bool jumps = step.info.kind == OpcodeKind::JUMP || step.info.kind == OpcodeKind::JUMP_IF_FALSE;
        if (jumps) paths_.add(step.index + step.ins.operand, here_, meet);
        fell_through_ = step.info.kind != OpcodeKind::JUMP;
    }

    MaskedShape shape_;
    size_t reachable_ = 0;
    JoinsAhead<PathsTo> paths_;
    PathsTo here_{0.0, 0.0};
    bool fell_through_ = true;  // whether the paths at the last instruction go on to the next
};

// The masked route runs every instruction that some element reaches; the
// per-element route runs only each element's own path, but about ten times
// slower per instruction. When the elements spread over all paths, the
// worst case for the masked route, each runs an average path; beyond this
// ratio of reachable code to average path the per-element route was faster
// (balanced trees of conditionals with 16 to 64 leaves).
constexpr double MAX_CODE_PER_PATH = 12.0;

}  // namespace

namespace detail {

bool planMaskedRoute(const Program& program, Plan& plan) {
    plan.masked_block_code = plan.block_code_jumps;
    const std::vector<Instruction>& code = plan.masked_block_code ? plan.block_code : program.code;
    ShapeMachine machine;
    const CodeBounds bounds{program.constants.size(), program.var_names.size(), true};
    if (walkCode(code, bounds, machine) != WalkOutcome::RETURNED) return false;
    const MaskedShape& shape = machine.shape();
    if (static_cast<double>(machine.reachable()) > MAX_CODE_PER_PATH * machine.meanPathLength()) return false;
    plan.shape = shape;
    return true;
}

}  // namespace detail
}  // namespace tarnex
