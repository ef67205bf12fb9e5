#include "platform/tcpip_config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "net/ipv4.h"

namespace {

namespace fs = std::filesystem;
using fk::ParseDottedQuad;
using fk::platform::TcpipSettings;

class KeyfileConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("fk-keyfiles-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    void Write(const std::string& name, const std::string& text) {
        std::ofstream(folder / name) << text;
    }
    TcpipSettings Read(const std::string& key) {
        return fk::platform::MakeKeyfileTcpipConfig(folder.string())->Read(key);
    }

    fs::path folder;
};

constexpr const char* kStaticProfile = R"([connection]
id=Wired connection 1
uuid=0f4c2a6e-9d65-4b7a-8c1c-2f1d4b9b7a10
type=ethernet
interface-name=enp0s3

[ethernet]

[ipv4]
address1=192.168.1.20/24,192.168.1.1
dns=192.168.1.1;
method=manual

[ipv6]
addr-gen-mode=default
method=auto
)";

TEST_F(KeyfileConfigTest, StaticAddressGatewayAndMaskOfTheNamedInterface) {
    Write("Wired connection 1.nmconnection", kStaticProfile);
    EXPECT_EQ(Read("enp0s3"),
              (TcpipSettings{ParseDottedQuad("192.168.1.20"), ParseDottedQuad("192.168.1.1"),
                             ParseDottedQuad("255.255.255.0")}));
    EXPECT_EQ(Read("enp0s4"), TcpipSettings{});
    EXPECT_EQ(Read(""), TcpipSettings{});
}

TEST_F(KeyfileConfigTest, GatewayInItsOwnKeyAndOddSpacing) {
    Write("office.nmconnection",
          "# written by hand\n[connection]\n interface-name = eth1 \r\n[ipv4]\n"
          "method=manual\ngateway=10.20.0.254\naddress1 = 10.20.0.7/16\n");
    EXPECT_EQ(Read("eth1"),
              (TcpipSettings{ParseDottedQuad("10.20.0.7"), ParseDottedQuad("10.20.0.254"),
                             ParseDottedQuad("255.255.0.0")}));
}

TEST_F(KeyfileConfigTest, InterfaceNameOutsideTheConnectionGroupDoesNotBind) {
    Write("a.nmconnection", "[ipv4]\ninterface-name=eth0\naddress1=10.0.0.9/24\n");
    Write("b.nmconnection", "[connection]\ninterface-name=eth0\n[ipv6]\naddress1=10.0.0.9/24\n");
    EXPECT_EQ(Read("eth0"), TcpipSettings{});
}

TEST_F(KeyfileConfigTest, MalformedAddressesAreNotGuessed) {
    for (const char* value : {"192.168.1/24", "192.168.1.300/24", "192.168.1.20/33",
                              "192.168.1.20/x", "192.168.1.20/24,gw", ""}) {
        Write("p.nmconnection",
              std::string("[connection]\ninterface-name=eth0\n[ipv4]\naddress1=") + value + "\n");
        EXPECT_EQ(Read("eth0"), TcpipSettings{}) << value;
    }
}

TEST_F(KeyfileConfigTest, AddressWithoutPrefixLeavesTheMaskUnknown) {
    Write("p.nmconnection", "[connection]\ninterface-name=eth0\n[ipv4]\naddress1=10.1.2.3\n");
    EXPECT_EQ(Read("eth0"), (TcpipSettings{ParseDottedQuad("10.1.2.3"), 0, 0}));
}

TEST_F(KeyfileConfigTest, FirstUsableProfileInNameOrderWins) {
    const std::string profile = "[connection]\ninterface-name=eth0\n[ipv4]\naddress1=";
    Write("b.nmconnection", profile + "10.0.0.2/24\n");
    Write("c.nmconnection", profile + "10.0.0.3/24\n");
    Write("a.nmconnection", "[connection]\ninterface-name=eth0\n[ipv4]\nmethod=auto\n");
    Write(".hidden.nmconnection", profile + "10.0.0.1/24\n");
    Write("a.nmconnection~", profile + "10.0.0.4/24\n");
    EXPECT_EQ(Read("eth0").address, ParseDottedQuad("10.0.0.2"));
}

TEST_F(KeyfileConfigTest, MissingOrUnreadableFolderGivesZeros) {
    EXPECT_EQ(fk::platform::MakeKeyfileTcpipConfig((folder / "absent").string())->Read("eth0"),
              TcpipSettings{});
    Write("not-a-folder", "x");
    EXPECT_EQ(
        fk::platform::MakeKeyfileTcpipConfig((folder / "not-a-folder").string())->Read("eth0"),
        TcpipSettings{});
}

TEST_F(KeyfileConfigTest, PipeInTheFolderDoesNotBlockTheLookup) {
    Write("z.nmconnection", "[connection]\ninterface-name=eth0\n[ipv4]\naddress1=10.0.0.5/8\n");
    const auto pipe = folder / "a-pipe.nmconnection";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    auto lookup = std::async(std::launch::async, [&] { return Read("eth0"); });
    const bool finished = lookup.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!finished) close(open(pipe.c_str(), O_RDWR));  // release a reader stuck on the pipe
    EXPECT_TRUE(finished);
    EXPECT_EQ(lookup.get().address, ParseDottedQuad("10.0.0.5"));
}

}  // namespace
