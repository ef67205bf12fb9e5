#include "platform/udp_socket.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <array>
#include <atomic>
#include <chrono>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "session/private_network.h"

namespace {

using fk::platform::ReceiveResult;
using fk::platform::UdpSocket;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class UdpSocketTest : public fk::testing::PrivateNetworkTest {
  protected:
    std::shared_ptr<UdpSocket> Bound(std::uint16_t port) {
        int error = -1;
        auto socket = UdpSocket::Create(error);
        EXPECT_TRUE(socket);
        EXPECT_EQ(error, 0);
        EXPECT_EQ(socket->Bind(port, 0), 0);
        return socket;
    }
    // As the session takes a datagram: a wait on the descriptor, then the receive.
    static ReceiveResult Take(UdpSocket& socket, std::span<std::uint8_t> buffer,
                              Clock::time_point deadline) {
        const std::array descriptors{socket.Descriptor()};
        fk::platform::WaitReadable(descriptors, deadline);
        return socket.Receive(buffer);
    }
};

TEST_F(UdpSocketTest, SendsAndReceivesWithTheSendersEndpoint) {
    auto server = Bound(69);
    auto client = Bound(0);
    const std::vector<std::uint8_t> datagram{0, 1, 'a', 0};
    ASSERT_EQ(client->SendTo(datagram, {0x7F000001, 69}).count, 4);
    std::array<std::uint8_t, 16> buffer{};
    const auto received = Take(*server, buffer, Clock::now() + 2s);
    ASSERT_EQ(received.status, ReceiveResult::Status::Datagram);
    EXPECT_EQ(received.length, 4u);
    EXPECT_EQ(received.from.address, 0x7F000001u);
    EXPECT_EQ(received.from.port, client->LocalPort());
}

TEST_F(UdpSocketTest, CloseWakesAWaitOnItsDescriptorAndReleasesThePortAfterIt) {
    auto socket = Bound(69);
    std::atomic<bool> returned{false};
    ReceiveResult::Status status{};
    std::thread receiver([&] {
        std::array<std::uint8_t, 16> buffer{};
        status = Take(*socket, buffer, Clock::now() + 10s).status;
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned);
    const auto start = Clock::now();
    EXPECT_TRUE(socket->Close());
    receiver.join();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(status, ReceiveResult::Status::Stopped);
    // The descriptor is gone with the last user: the port is free again.
    auto again = Bound(69);
    // Every later call on the closed socket sees the stop.
    std::array<std::uint8_t, 16> buffer{};
    EXPECT_EQ(socket->Receive(buffer).status, ReceiveResult::Status::Stopped);
    EXPECT_EQ(socket->SendTo(buffer, {0x7F000001, 9}).count, -1);
}

TEST_F(UdpSocketTest, ConcurrentClosesCloseOnce) {
    for (int round = 0; round < 50; ++round) {
        auto socket = Bound(67);
        std::atomic<int> closed{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> closers;
        for (int i = 0; i < 3; ++i) {
            closers.emplace_back([&] {
                while (!go) std::this_thread::yield();
                closed += socket->Close() ? 1 : 0;
            });
        }
        go = true;
        for (auto& closer : closers) closer.join();
        EXPECT_EQ(closed, 1);
    }
}

TEST_F(UdpSocketTest, DatagramsWaitingAreTakenOnePerReceiveThenNoneAtOnce) {
    auto server = Bound(69);
    auto client = Bound(0);
    const std::vector<std::uint8_t> first{0, 4, 0, 1};
    const std::vector<std::uint8_t> second{0, 4, 0, 2};
    ASSERT_EQ(client->SendTo(first, {0x7F000001, 69}).count, 4);
    ASSERT_EQ(client->SendTo(second, {0x7F000001, 69}).count, 4);
    std::array<std::uint8_t, 16> buffer{};
    for (const std::uint8_t block : {1, 2}) {
        const auto received = Take(*server, buffer, Clock::now() + 2s);
        ASSERT_EQ(received.status, ReceiveResult::Status::Datagram);
        EXPECT_EQ(buffer[3], block);
    }
    const auto start = Clock::now();
    EXPECT_EQ(server->Receive(buffer).status, ReceiveResult::Status::Empty);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(UdpSocketTest, ClosedSocketDoesNotHandOutADatagramThatWaits) {
    auto server = Bound(69);
    auto client = Bound(0);
    const std::vector<std::uint8_t> ack{0, 4, 0, 1};
    ASSERT_EQ(client->SendTo(ack, {0x7F000001, 69}).count, 4);
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(server->Close());
    std::array<std::uint8_t, 16> buffer{};
    EXPECT_EQ(server->Receive(buffer).status, ReceiveResult::Status::Stopped);
}

// Senders and receivers inside the socket while it closes: each leaves with a stop or a
// failure, and the port is free once the last of them has left.
TEST_F(UdpSocketTest, CloseAmidBusyCallersReleasesThePortOnceTheyLeave) {
    for (int round = 0; round < 20; ++round) {
        auto socket = Bound(69);
        std::atomic<bool> go{false};
        std::atomic<int> stopped{0};
        std::vector<std::thread> callers;
        for (int i = 0; i < 2; ++i) {
            callers.emplace_back([&] {
                std::array<std::uint8_t, 4> buffer{0, 4, 0, 1};
                while (!go) std::this_thread::yield();
                for (int turn = 0; turn < 10000; ++turn) {
                    if (socket->SendTo(buffer, {0x7F000001, 69}).count < 0) break;
                    if (socket->Receive(buffer).status == ReceiveResult::Status::Stopped) break;
                }
                ++stopped;
            });
        }
        go = true;
        std::this_thread::sleep_for(2ms);
        EXPECT_TRUE(socket->Close());
        for (auto& caller : callers) caller.join();
        EXPECT_EQ(stopped, 2);
        auto again = Bound(69);
    }
}

TEST_F(UdpSocketTest, BusyPortReportsAddressInUse) {
    auto first = Bound(67);
    int error = -1;
    auto second = UdpSocket::Create(error);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Bind(67, 0), EADDRINUSE);
}

// Bound to a card, a socket hears that card alone and leaves the port free on the others; bound
// again, it moves, and its descriptor with it.
TEST_F(UdpSocketTest, ASocketServesItsCardAloneAndMovesWithIt) {
    const int loopback = static_cast<int>(if_nametoindex("lo"));
    int card = 0;
    if (auto* names = if_nameindex()) {
        for (auto* name = names; name->if_index != 0; ++name) {
            if (std::string(name->if_name) != "lo") card = static_cast<int>(name->if_index);
        }
        if_freenameindex(names);
    }
    ASSERT_GT(card, 0);
    int error = -1;
    auto socket = UdpSocket::Create(error);
    ASSERT_EQ(socket->Bind(67, card), 0);
    {
        auto onLoopback = UdpSocket::Create(error);
        EXPECT_EQ(onLoopback->Bind(67, loopback), 0);
    }
    auto sender = Bound(0);
    std::array<std::uint8_t, 16> buffer{};
    const std::array<std::uint8_t, 1> toLoopback{1};
    const std::array<std::uint8_t, 2> afterTheMove{2, 2};
    // Local traffic arrives on loopback: not the card's.
    ASSERT_EQ(sender->SendTo(toLoopback, {0x7F000001, 67}).count, 1);
    EXPECT_EQ(Take(*socket, buffer, Clock::now() + 100ms).status, ReceiveResult::Status::Empty);
    const int descriptor = socket->Descriptor();
    EXPECT_EQ(socket->Bind(67, loopback), 0);
    EXPECT_EQ(socket->Descriptor(), descriptor);
    ASSERT_EQ(sender->SendTo(afterTheMove, {0x7F000001, 67}).count, 2);
    const auto result = Take(*socket, buffer, Clock::now() + 5s);
    EXPECT_EQ(result.status, ReceiveResult::Status::Datagram);
    EXPECT_EQ(result.length, 2u);
}

}  // namespace
