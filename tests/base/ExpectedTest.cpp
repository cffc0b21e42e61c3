#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "base/Expected.h"

namespace lumetta {
namespace {

struct Base {
    virtual ~Base() = default;
};
struct Derived : Base {};

Expected<int> half(int n) {
    if (n % 2 != 0) return failure("odd");
    return n / 2;
}

TEST(Expected, HoldsTheValueOrTheError) {
    auto ok = half(8);
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, 4);
    auto bad = half(3);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message, "odd");
}

TEST(Expected, ReadingTheSideItDoesNotHoldThrows) {
    EXPECT_THROW(half(3).value(), BadExpectedAccess);
    EXPECT_THROW(half(8).error(), BadExpectedAccess);
}

TEST(Expected, AValueThatIsAStringStaysApartFromAnErrorMessage) {
    Expected<std::string> value = std::string("odd");
    Expected<std::string> error = failure("odd");
    EXPECT_TRUE(value.hasValue());
    EXPECT_FALSE(error.hasValue());
}

TEST(Expected, MovesAMoveOnlyValueOut) {
    Expected<std::unique_ptr<Base>> made = std::make_unique<Derived>();
    ASSERT_TRUE(made);
    std::unique_ptr<Base> taken = std::move(*made);
    EXPECT_NE(taken, nullptr);
    EXPECT_EQ(made->get(), nullptr);

    Expected<std::unique_ptr<Base>> moved(std::move(made));
    EXPECT_TRUE(moved.hasValue());
}

TEST(Expected, MovesTheErrorOnIntoAnotherResultType) {
    Expected<int> first = failure("no bus");
    Expected<std::string> second = Unexpected(std::move(first).error());
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().message, "no bus");
}

TEST(Expected, CustomErrorTypes) {
    Expected<std::string, int> failed = Unexpected(42);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), 42);
}

TEST(Expected, VoidSucceedsOrCarriesTheError) {
    Expected<void> done;
    EXPECT_TRUE(done);
    EXPECT_NO_THROW(done.value());
    EXPECT_THROW(done.error(), BadExpectedAccess);
    Expected<void> failed = failure("denied");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "denied");
    EXPECT_THROW(failed.value(), BadExpectedAccess);
}

}  // namespace
}  // namespace lumetta
