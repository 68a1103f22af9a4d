// SPDX-License-Identifier: MIT
// The companion's request over an angles × wavelengths grid: every point
// is evaluated exactly once, by runs that never cross an angle, serially
// for small work and on the pool for large; several threads may make
// requests at once (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "optics/grid_request.hpp"

namespace lamiro {
namespace {

struct GridCase {
    GridShape shape;
    bool on_pool;
};

class GridRequest : public ::testing::TestWithParam<GridCase> {};

TEST_P(GridRequest, EveryPointOnceInRunsOfOneAngle) {
    const GridShape shape = GetParam().shape;
    EXPECT_EQ(grid_runs_on_pool(shape), GetParam().on_pool);
    std::vector<std::atomic<int>> visits(shape.angles * shape.wavelengths);
    std::atomic<bool> bad_run{false};
    evaluate_grid(shape, [&](std::size_t a, std::size_t begin, std::size_t end) {
        if (a >= shape.angles || begin >= end || end > shape.wavelengths) bad_run = true;
        for (std::size_t w = begin; w < end && !bad_run; ++w) ++visits[a * shape.wavelengths + w];
    });
    EXPECT_FALSE(bad_run);
    for (std::size_t i = 0; i < visits.size(); ++i) ASSERT_EQ(visits[i], 1) << "point " << i;
}

INSTANTIATE_TEST_SUITE_P(Shapes, GridRequest,
                         ::testing::Values(GridCase{{0, 50, 5}, false}, GridCase{{3, 0, 5}, false},
                                           GridCase{{1, 819, 5}, false},
                                           GridCase{{1, 820, 5}, true},
                                           GridCase{{90, 200, 22}, true},
                                           GridCase{{7, 13, 1000}, true},
                                           GridCase{{2000, 1, 3}, true}));

TEST(GridRequest, ExceptionsReachTheCaller) {
    const GridShape shape{10, 500, 10};
    EXPECT_THROW(evaluate_grid(shape,
                               [&](std::size_t a, std::size_t, std::size_t) {
                                   if (a == 7) throw std::runtime_error("angle 7");
                               }),
                 std::runtime_error);
}

TEST(GridRequest, UncountableGridIsCapacityOverflow) {
    EXPECT_THROW(grid_points({SIZE_MAX / 2, 3, 1}), InternalFault);
}

TEST(GridRequest, ConcurrentRequestsFromSeveralThreads) {
    const GridShape shape{20, 300, 10};
    std::vector<std::thread> threads;
    std::atomic<std::size_t> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 5; ++round) {
                std::vector<double> out(shape.angles * shape.wavelengths, -1.0);
                evaluate_grid(shape, [&](std::size_t a, std::size_t begin, std::size_t end) {
                    for (std::size_t w = begin; w < end; ++w) {
                        out[a * shape.wavelengths + w] = static_cast<double>(a * 1000 + w);
                    }
                });
                for (std::size_t i = 0; i < out.size(); ++i) {
                    const std::size_t a = i / shape.wavelengths;
                    const std::size_t w = i % shape.wavelengths;
                    if (out[i] != static_cast<double>(a * 1000 + w)) ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0U);
}

}  // namespace
}  // namespace lamiro
