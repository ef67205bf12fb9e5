#include "upgrade/upload_checks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "feedback/refusal_texts.h"
#include "net/address_plan.h"
#include "support/fakes.h"
#include "support/network_fakes.h"

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

// A bench's plan gives each named recorder a free address of the pool, in order, passing one that
// another device holds; a pool too small is refused at the first recorder left without one, and
// a pool with none left serves nobody.
TEST(MakeUploadPlan, ABenchGivesEachNamedRecorderAFreeAddressOrIsRefused) {
    const auto image =
        std::filesystem::temp_directory_path() / ("fk-bench-" + std::to_string(getpid()) + ".Fnt");
    std::ofstream(image) << "data";
    fk::testing::FakeAdapterSource adapters;
    adapters.query.ok = true;
    adapters.query.adapters = {fk::testing::Card("fk0", "fk0", 3, "192.168.1.10")};
    fk::testing::FakeNeighbourTable neighbours;
    const auto q = [](const char* text) { return fk::ParseDottedQuad(text); };
    neighbours.entries.push_back({3, q("192.168.1.51"), {0x52, 0x54, 0x00, 0x12, 0x34, 0x56}});
    const fk::MacAddress first{0x02, 0x5E, 0xA1, 0x30, 0x01, 0x01};
    const fk::MacAddress second{0x02, 0x5E, 0xA1, 0x30, 0x01, 0x02};
    const auto plan = [&](std::vector<fk::MacAddress> named, const char* pool) {
        const fk::UploadChoices choices{
            fk::ImagePage::Data,
            image.string(),
            fk::kRecorderMacPrefix,
            {q("192.168.1.10"), 3},
            false,
            fk::BenchChoices{std::move(named), fk::ParseAddressRange(pool)}};
        return fk::MakeUploadPlan(choices, adapters, {}, neighbours);
    };
    const auto text = [](const auto& planned) {
        const auto* refusal = std::get_if<fk::UploadRefusal>(&planned);
        return refusal ? fk::TextsOf(*refusal).text : std::string();
    };

    const auto served = plan({first, second}, "192.168.1.50-192.168.1.52");
    ASSERT_TRUE(std::holds_alternative<fk::UploadPlan>(served)) << text(served);
    const auto& bench = std::get<fk::UploadPlan>(served).bench;
    ASSERT_TRUE(bench.has_value());
    EXPECT_EQ(bench->named, (std::vector<fk::StationRecorder>{{first, q("192.168.1.50")},
                                                              {second, q("192.168.1.52")}}));
    EXPECT_EQ(text(plan({first, second}, "192.168.1.50-192.168.1.51")),
              "No free address is left for the recorder 02:5e:a1:30:01:02 in the pool "
              "192.168.1.50-192.168.1.51.");
    EXPECT_EQ(text(plan({}, "192.168.1.51-192.168.1.51")),
              "No address is left for any recorder in the pool 192.168.1.51-192.168.1.51.");
    std::filesystem::remove(image);
}

}  // namespace
