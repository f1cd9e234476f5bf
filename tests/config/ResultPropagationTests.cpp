#include "VeltoraCryptoTokenKit/base/Result.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace veltora {
namespace {

const Error kRefused{"Test", 7, "refused"};

Result<std::unique_ptr<int>> owned(bool succeed) {
    if (!succeed) {
        return kRefused;
    }
    return std::make_unique<int>(42);
}

Result<void> checked(bool succeed) {
    return succeed ? Result<void>() : Result<void>(kRefused);
}

// Counts the steps reached, so that a test sees where the function left.
Result<std::string> twoSteps(bool first, bool second, int& reached) {
    VELTORA_RETURN_IF_ERROR(checked(first));
    ++reached;
    VELTORA_ASSIGN_OR_RETURN(const auto value, owned(second));
    ++reached;
    return std::to_string(*value);
}

TEST(ResultPropagation, SuccessRunsEveryStepAndMovesTheValueOut) {
    int reached = 0;
    const auto result = twoSteps(true, true, reached);
    ASSERT_TRUE(result);
    EXPECT_EQ(result.value(), "42");
    EXPECT_EQ(reached, 2);
}

TEST(ResultPropagation, AFailedStepReturnsItsErrorAndRunsNothingAfter) {
    struct Row {
        const char* name;
        bool first;
        bool second;
        int reached;
    };
    for (const Row& row :
         {Row{"first step fails", false, true, 0}, Row{"second step fails", true, false, 1}}) {
        int reached = 0;
        const auto result = twoSteps(row.first, row.second, reached);
        ASSERT_FALSE(result) << row.name;
        EXPECT_EQ(result.error(), kRefused) << row.name;
        EXPECT_EQ(reached, row.reached) << row.name;
    }
}

TEST(ResultPropagation, AssignsToAnExistingTargetAndTakesEachExpressionOnce) {
    int calls = 0;
    const auto counted = [&] {
        ++calls;
        return owned(true);
    };
    const auto run = [&]() -> Result<void> {
        std::unique_ptr<int> target;
        VELTORA_ASSIGN_OR_RETURN(target, counted());
        VELTORA_ASSIGN_OR_RETURN(target, counted()); // a second use in the same scope compiles
        VELTORA_RETURN_IF_ERROR(counted());
        return *target == 42 ? Result<void>() : Result<void>(kRefused);
    };
    EXPECT_TRUE(run());
    EXPECT_EQ(calls, 3);
}

} // namespace
} // namespace veltora
