#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "align/tables/array_ops.hpp"
#include "common/errors.hpp"

namespace {

using zel::align::ArrayView;

ArrayView view(std::vector<double>& v, std::vector<std::size_t> shape) {
    std::vector<std::int64_t> strides(shape.size());
    std::int64_t step = 1;
    for (std::size_t d = shape.size(); d-- > 0;) {
        strides[d] = step;
        step *= static_cast<std::int64_t>(shape[d]);
    }
    return {v.data(), std::move(shape), std::move(strides)};
}

TEST(Normalize, ZeroRowIsLeftUntouched) {
    std::vector<double> a = {1, 3, 0, 0}, out(4, 0.0);
    zel::align::normalize(view(a, {2, 2}), 1, view(out, {2, 2}));
    EXPECT_EQ(out, (std::vector<double>{0.25, 0.75, 0, 0}));
}

TEST(Normalize, InPlaceAlongFirstAxisSkipsNonPositiveAndNanSums) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> a = {1, 2, -1, nan, 3, 2, 1, 1};  // [2, 4]: columns sum 4, 4, 0, NaN
    zel::align::normalize(view(a, {2, 4}), 0, view(a, {2, 4}));
    EXPECT_DOUBLE_EQ(a[0], 0.25);
    EXPECT_DOUBLE_EQ(a[4], 0.75);
    EXPECT_DOUBLE_EQ(a[1], 0.5);
    EXPECT_DOUBLE_EQ(a[2], -1);
    EXPECT_DOUBLE_EQ(a[6], 1);
    EXPECT_TRUE(std::isnan(a[3]));
    EXPECT_DOUBLE_EQ(a[7], 1);
}

TEST(Normalize, MiddleAxisOfThreeDimensions) {
    std::vector<double> a(2 * 3 * 2);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<double>(i + 1);
    std::vector<double> out(a.size(), -1.0);
    zel::align::normalize(view(a, {2, 3, 2}), 1, view(out, {2, 3, 2}));
    for (std::size_t i = 0; i < 2; ++i) {
        for (std::size_t k = 0; k < 2; ++k) {
            double sum = 0;
            for (std::size_t j = 0; j < 3; ++j) sum += a[i * 6 + j * 2 + k];
            for (std::size_t j = 0; j < 3; ++j)
                EXPECT_DOUBLE_EQ(out[i * 6 + j * 2 + k], a[i * 6 + j * 2 + k] / sum);
        }
    }
}

TEST(SubMatrix, RepeatedAndNegativeIds) {
    std::vector<double> t = {0, 1, 2, 10, 11, 12, 20, 21, 22};
    std::vector<std::int64_t> src = {0, 2, 2, -3}, trg = {1};
    std::vector<double> out(4);
    zel::align::sub_matrix(view(t, {3, 3}), src, trg, out.data());
    EXPECT_EQ(out, (std::vector<double>{1, 21, 21, 1}));

    std::vector<std::int64_t> cols = {2, 0, 2};
    std::vector<double> grid(6);
    std::vector<std::int64_t> rows = {1, 0};
    zel::align::sub_matrix(view(t, {3, 3}), rows, cols, grid.data());
    EXPECT_EQ(grid, (std::vector<double>{12, 10, 12, 2, 0, 2}));
}

TEST(SubMatrix, OutOfRangeIdIsAnIndexErrorNamingAxis) {
    std::vector<double> t(6);
    std::vector<std::int64_t> ok = {0}, bad = {3};
    std::vector<double> out(1);
    try {
        zel::align::sub_matrix(view(t, {2, 3}), ok, bad, out.data());
        FAIL();
    } catch (const zel::IndexError& e) {
        EXPECT_STREQ(e.what(), "index 3 is out of bounds for axis 1 with size 3");
    }
    std::vector<std::int64_t> neg = {-3};
    EXPECT_THROW(zel::align::sub_matrix(view(t, {2, 3}), neg, ok, out.data()), zel::IndexError);
}

}  // namespace
