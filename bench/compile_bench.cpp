// Seconds to compile texts that stress the front end: many keyword names with
// many references to them, and long flat texts (the cost per byte decides
// from which length the module compiles without the interpreter lock).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tarnex/program.h"

namespace {

// The best of three compilations, in seconds.
double secondsToCompile(const std::string& text, const std::vector<std::string_view>& names) {
    double best = 1e30;
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        tarnex::compile(text, names);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

// `references` upper-cased references spread over `keywords` names.
void manyNames(int keywords, int references) {
    std::vector<std::string> names;
    for (int i = 0; i < keywords; ++i) names.push_back(std::string("v").append(std::to_string(i)));
    const std::vector<std::string_view> views(names.begin(), names.end());
    std::string text = "V0";
    for (int i = 1; i < references; ++i) text.append(" + V").append(std::to_string(i * 7919L % keywords));
    std::printf("%7d keywords, %7d references: %8.4f s\n", keywords, references, secondsToCompile(text, views));
}

void longText(size_t bytes) {
    const std::string term = "x * 1.25 + sin(x) - ";
    std::string text;
    while (text.size() + term.size() < bytes) text += term;
    text += "x";
    const double seconds = secondsToCompile(text, {"x"});
    std::printf("%9zu bytes of text: %10.1f us, %5.1f ns a byte\n", text.size(), seconds * 1e6, seconds * 1e9 / text.size());
}

}  // namespace

int main() {
    manyNames(50'000, 20'000);
    manyNames(100'000, 100'000);
    for (size_t bytes : {1u << 10, 4u << 10, 16u << 10, 64u << 10, 1u << 20}) longText(bytes);
}
