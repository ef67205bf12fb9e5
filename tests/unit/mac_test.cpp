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

namespace {

TEST(ParseHexByte, ValuesBeyondOneOctetAreRefusedInsteadOfCutOrWrapped) {
    std::uint32_t value = 42;
    EXPECT_FALSE(fk::ParseHexByte("100", value));
    EXPECT_FALSE(fk::ParseHexByte("1FF", value));
    // Nine digits would overflow 32 bits and wrap around to a small value.
    EXPECT_FALSE(fk::ParseHexByte("100000001", value));
    EXPECT_EQ(value, 42u);
}

TEST(ParseHexByte, LeadingZerosAndMixedCaseStayWithinAnOctet) {
    std::uint32_t value = 0;
    EXPECT_TRUE(fk::ParseHexByte("00", value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(fk::ParseHexByte("0fF", value));
    EXPECT_EQ(value, 0xFFu);
    EXPECT_TRUE(fk::ParseHexByte("aB", value));
    EXPECT_EQ(value, 0xABu);
    EXPECT_TRUE(fk::ParseHexByte("7", value));
    EXPECT_EQ(value, 7u);
}

TEST(ParseHexByte, RefusesSignsPrefixesAndSeparators) {
    std::uint32_t value = 42;
    for (const char* text : {"0x1", "+1", "-1", " 1", "1-", "1:", "g", "\t", "\xff"}) {
        EXPECT_FALSE(fk::ParseHexByte(text, value)) << text;
    }
    EXPECT_FALSE(fk::ParseHexByte(std::string_view("1\0", 2), value));
    EXPECT_EQ(value, 42u);
}

}  // namespace
