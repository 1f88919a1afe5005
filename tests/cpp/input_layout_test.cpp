// Inputs read in place: every run of elements a layout loads equals the
// elements picked one by one from their strides, for each kind of view.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "tarnex/engine.h"
#include "tarnex/input_layout.h"

namespace tarnex {
namespace {

struct ViewCase {
    std::string name;
    std::vector<int64_t> shape;
    std::vector<int64_t> strides;  // in elements; the view starts at `offset`
    int64_t offset;
    bool in_place;
};

// Strides in elements, of a base array of 100,000 distinct values.
const std::vector<ViewCase> VIEWS = {
    {"c-ordered", {3, 5000}, {5000, 1}, 0, true},
    {"one-axis", {9000}, {1}, 7, true},
    {"transposed", {700, 30}, {1, 700}, 0, false},
    {"transposed-narrow", {3000, 3}, {1, 3000}, 0, false},
    {"transposed-rows-reversed", {300, 40}, {-1, 300}, 299, false},
    {"transposed-long-rows", {250, 400}, {1, 250}, 0, false},
    {"transposed-every-other-row", {200, 200}, {2, 400}, 0, false},
    {"transposed-stack", {3, 40, 500}, {20000, 1, 40}, 0, false},
    {"fortran-3d", {20, 30, 40}, {1, 20, 600}, 0, false},
    {"row-broadcast", {2000, 7}, {0, 1}, 3, false},
    {"column-broadcast", {9, 1000}, {1, 0}, 0, false},
    {"scalar", {50, 300}, {0, 0}, 11, false},
    {"matrix-broadcast", {5, 30, 40}, {0, 40, 1}, 9, false},
    {"row-broadcast-long-row", {3, 20000}, {0, 1}, 0, false},
    {"row-broadcast-small", {4, 7}, {0, 1}, 5, false},
    {"every-third", {10000}, {3}, 0, false},
    {"every-other-column", {40, 300}, {700, 2}, 3, false},
    {"every-other-short-rows", {500, 9}, {20, 2}, 0, false},
    // Its last element is the base's last: a load past it would leave the array.
    {"every-other-to-the-end", {50000}, {2}, 1, false},
    {"reversed", {5000}, {-1}, 99999, false},
    {"sliced-rows", {40, 200}, {400, 1}, 5, false},
    {"unit-axes", {1, 6000, 1}, {123, 1, 456}, 0, true},
    {"sliced-then-broadcast", {3, 4, 1500}, {0, 1500 * 2, 1}, 0, false},
};

std::vector<double> baseValues() {
    std::vector<double> base(100000);
    std::iota(base.begin(), base.end(), 0.5);
    return base;
}

double pick(const std::vector<double>& base, const ViewCase& view, int64_t element) {
    int64_t at = view.offset;
    for (size_t k = view.shape.size(); k-- > 0;) {
        at += element % view.shape[k] * view.strides[k];
        element /= view.shape[k];
    }
    return base[static_cast<size_t>(at)];
}

class InputLayoutTest : public ::testing::TestWithParam<ViewCase> {};

TEST_P(InputLayoutTest, EveryRunEqualsTheElementsPickedOneByOne) {
    const ViewCase& view = GetParam();
    const std::vector<double> base = baseValues();
    std::vector<int64_t> bytes(view.strides.size());
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = view.strides[k] * static_cast<int64_t>(sizeof(double));
    // A second input laid out like the result shows that merging axes for
    // one input keeps the other's numbering.
    const int64_t n = std::accumulate(view.shape.begin(), view.shape.end(), int64_t{1}, std::multiplies<>());
    std::vector<int64_t> c_strides(view.shape.size());
    for (size_t k = view.shape.size(), step = sizeof(double); k-- > 0; step *= static_cast<size_t>(view.shape[k]))
        c_strides[k] = static_cast<int64_t>(step);
    std::vector<int64_t> strides = bytes;
    strides.insert(strides.end(), c_strides.begin(), c_strides.end());
    const double* data[] = {base.data() + view.offset, base.data()};
    const InputLayout layout(view.shape, data, strides);
    ASSERT_EQ(layout.elementCount(), n);
    EXPECT_EQ(layout.inPlace(), view.in_place);
    // Each level copies tiles of transposed values with its own registers.
    for (const detail::KernelLevel level : detail::KERNEL_LEVELS) {
        if (!detail::useKernelLevel(level)) continue;
        for (const int64_t count : {int64_t{1}, int64_t{3}, int64_t{1000}, BLOCK_SIZE}) {
            for (int64_t start = 0; start < n; start += count + 17) {
                const int64_t length = std::min(count, n - start);
                const double* pointers[2];
                layout.load(start, length, pointers);
                for (int64_t j = 0; j < length; ++j) {
                    ASSERT_EQ(pointers[0][j], pick(base, view, start + j))
                        << view.name << " element " << start + j << " at " << detail::kernelLevelName();
                    ASSERT_EQ(pointers[1][j], base[static_cast<size_t>(start + j)])
                        << view.name << " element " << start + j;
                }
            }
        }
    }
    detail::useKernelLevel(detail::bestKernelLevel());
}

INSTANTIATE_TEST_SUITE_P(Views, InputLayoutTest, ::testing::ValuesIn(VIEWS),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(InputLayout, ConstantsOfTwoLayoutsOnOneThreadStayApart) {
    const double one = 1.0, two = 2.0;
    const std::vector<int64_t> shape = {5000};
    const double* first_data[] = {&one};
    const double* second_data[] = {&two};
    const int64_t broadcast[] = {0};
    const InputLayout first(shape, first_data, broadcast), second(shape, second_data, broadcast);
    const double* pointer = nullptr;
    for (int round = 0; round < 2; ++round) {
        first.load(4090, 10, &pointer);
        EXPECT_EQ(pointer[9], 1.0);
        second.load(0, 4096, &pointer);
        EXPECT_EQ(pointer[4095], 2.0);
    }
}

}  // namespace
}  // namespace tarnex
