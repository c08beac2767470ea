// Where a sample index lies in its channel's periods: constant divisions for the counts a period
// holds, a plain one for any other, exact over the whole 32-bit index.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "acquisition/sample_reader.h"

namespace mv620::acquisition {
namespace {

TEST(PeriodPlace, IsTheQuotientAndRemainderForEveryIndex) {
    std::vector<std::uint32_t> indices = {
        0, 1, 9, 10, 11, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF6, 0xFFFFFFFA, 0xFFFFFFFE, 0xFFFFFFFF};
    std::mt19937 random(620);
    for (int i = 0; i < 2000; ++i) {
        indices.push_back(static_cast<std::uint32_t>(random()));
    }
    for (std::uint32_t perPeriod = 1; perPeriod <= 10; ++perPeriod) {
        for (const std::uint32_t n : indices) {
            const PeriodPlace at = periodPlace(n, perPeriod);
            ASSERT_EQ(at.period, n / perPeriod) << n << " / " << perPeriod;
            ASSERT_EQ(at.place, n % perPeriod) << n << " % " << perPeriod;
        }
    }
}

} // namespace
} // namespace mv620::acquisition
