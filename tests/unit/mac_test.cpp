#include "net/mac.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseHexByte, AcceptsOneOrTwoDigitsInEitherCase) {
    std::uint32_t value = 0;
    EXPECT_TRUE(fk::ParseHexByte("5", value));
    EXPECT_EQ(value, 5u);
    EXPECT_TRUE(fk::ParseHexByte("ab", value));
    EXPECT_EQ(value, 0xABu);
    EXPECT_TRUE(fk::ParseHexByte("FF", value));
    EXPECT_EQ(value, 0xFFu);
}

TEST(ParseHexByte, RefusesEmptyNonHexAndNonAsciiLeavingOutputUntouched) {
    std::uint32_t value = 42;
    EXPECT_FALSE(fk::ParseHexByte("", value));
    EXPECT_FALSE(fk::ParseHexByte("1G", value));
    EXPECT_FALSE(fk::ParseHexByte("1 ", value));
    EXPECT_FALSE(fk::ParseHexByte("\xc3\xa4", value));
    EXPECT_EQ(value, 42u);
}

}  // namespace
