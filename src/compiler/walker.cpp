#include "tarnex/walker.h"

#include <algorithm>

namespace tarnex {
namespace {

// Takes every instruction, noting the deepest stack and the RETURN.
class DepthCheck {
public:
    explicit DepthCheck(CodeCheck& check) : check_(check) {}

    bool visit(const WalkStep& step) {
        check_.max_depth = std::max({check_.max_depth, step.depth, step.after});
        if (step.info.kind == OpcodeKind::RETURN) {
            check_.return_index = step.index;
            check_.return_depth = step.depth;
        }
        return true;
    }
    void skip(size_t) { ++check_.unreachable; }

private:
    CodeCheck& check_;
};

}  // namespace

CodeCheck checkCode(const std::vector<Instruction>& code, const CodeBounds& bounds) {
    CodeCheck check;
    DepthCheck machine(check);
    check.outcome = walkCode(code, bounds, machine);
    return check;
}

}  // namespace tarnex
