// Compile on arbitrary bytes: either a valid program or one of the fixed
// messages. Byte 0 chooses the names: its low two bits give their count,
// bit 2 takes them from the input (each ended by a line feed) instead of
// the fixed a, b, c. The rest is the expression text.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"

namespace {

struct Input {
    std::vector<std::string_view> names;
    std::string_view text;
};

Input split(const uint8_t* data, size_t size) {
    Input input;
    if (size == 0) return input;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t count = data[0] & 3u;
    bool own_names = (data[0] & 4u) != 0;
    static constexpr std::string_view fixed[] = {"a", "b", "c"};
    for (size_t i = 0; i < count; ++i) {
        if (!own_names) {
            input.names.push_back(fixed[i]);
            continue;
        }
        size_t end = rest.find('\n');
        if (end == std::string_view::npos) end = rest.size();
        input.names.push_back(rest.substr(0, end));
        rest.remove_prefix(std::min(rest.size(), end + 1));
    }
    input.text = rest;
    return input;
}

bool sameCode(const tarnex::Program& a, const tarnex::Program& b) {
    if (a.code.size() != b.code.size() || a.constants.size() != b.constants.size()) return false;
    for (size_t i = 0; i < a.code.size(); ++i)
        if (a.code[i].opcode != b.code[i].opcode || a.code[i].operand != b.code[i].operand) return false;
    for (size_t i = 0; i < a.constants.size(); ++i)
        if (!fuzz::sameValue(a.constants[i], b.constants[i])) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input = split(data, size);
    tarnex::Program program;
    std::string message;
    if (!fuzz::tryCompile(input.text, input.names, program, message)) return 0;
    fuzz::checkInvariants(program, input.names, input.text);
    tarnex::Program again;
    if (!fuzz::tryCompile(input.text, input.names, again, message) || !sameCode(program, again))
        fuzz::fail("compiling the same text twice gave different programs", input.text);
    return 0;
}
