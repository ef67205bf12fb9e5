#include "upgrade/upload_checks.h"

#include <gtest/gtest.h>

#include "feedback/refusal_texts.h"
#include "net/address_plan.h"

namespace {

TEST(BootFileNameFits, AcceptsUpTo127BytesAndNamesTheRefusedOne) {
    EXPECT_TRUE(fk::BootFileNameFits(""));
    EXPECT_TRUE(fk::BootFileNameFits(std::string(127, 'a')));
    const std::string tooLong(128, 'a');
    EXPECT_FALSE(fk::BootFileNameFits(tooLong));
    EXPECT_EQ(fk::BootFileNameTooLongText(tooLong),
              "The boot file name '" + tooLong + "' is too long: at most 127 characters.");
}

TEST(ImageSizeFits, AcceptsWhatEndsWithAShortBlock65535) {
    EXPECT_TRUE(fk::ImageSizeFits(0));
    EXPECT_TRUE(fk::ImageSizeFits(65534ull * 512 - 1));
    EXPECT_FALSE(fk::ImageSizeFits(65534ull * 512));
    EXPECT_EQ(fk::ImageTooLargeText(), "The image file is too large: at most 33553407 bytes.");
}

TEST(DeviceAddressFor, ChangesOnlyTheLastOctet) {
    EXPECT_EQ(fk::DeviceAddressFor(0xC0A8000A), 0xC0A8000Bu);  // .10 -> .11
    EXPECT_EQ(fk::DeviceAddressFor(0x0A000001), 0x0A000002u);  // .1 -> .2
    EXPECT_EQ(fk::DeviceAddressFor(0xAC100500), 0xAC100502u);  // .0 -> .2
    EXPECT_EQ(fk::DeviceAddressFor(0xAC1005FF), 0xAC100502u);  // .255 -> .2
    EXPECT_EQ(fk::DeviceAddressFor(0xC0A801FE), 0xC0A801FFu);  // .254 -> .255
    EXPECT_EQ(fk::DeviceAddressFor(0x0A01FFFF), 0x0A01FF02u);  // /16 broadcast-like host
    EXPECT_EQ(fk::DeviceAddressFor(0), 2u);
}

}  // namespace
