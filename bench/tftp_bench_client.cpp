// Lock-step TFTP read client for the benchmark. It sends one read request (octet, no options),
// acknowledges every DATA packet at once to the port it came from, and times the transfer from the
// request to the final short block. Acknowledging to the DATA's source makes it work both with
// servers that answer from a new port per transfer and with servers that stay on port 69.
//
// Usage: flashkit-bench-client [--header-block] [--verify FILE] [--timeout SECONDS]
//                              ADDRESS[:PORT] NAME
// Prints "seconds=S blocks=N bytes=B" on success; exits 1 on a failed or unverified transfer.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tftp_wire.h"

namespace {

using namespace fk::bench;

// Without an answer for this long the last packet goes out again: one lost datagram must not
// stall a run until the overall time-out.
constexpr auto kResendAfter = std::chrono::milliseconds(500);

struct Options {
    sockaddr_in server{};
    std::string name;
    std::optional<std::string> verifyPath;
    bool headerBlock = false;
    double timeoutSeconds = 120.0;
};

struct Result {
    double seconds = 0.0;
    std::uint64_t blocks = 0;
    std::uint64_t bytes = 0;
};

// Read request: opcode, name, NUL, "octet", NUL; no options. Returns its length, or nothing when
// the name does not fit one datagram.
std::optional<std::size_t> BuildReadRequest(std::string_view name, std::uint8_t* out) {
    constexpr std::string_view kMode = "octet";
    const std::size_t length = 2 + name.size() + 1 + kMode.size() + 1;
    if (length > kMaxDatagram) return std::nullopt;
    WriteBe16(out, kOpRrq);
    std::uint8_t* p = std::copy(name.begin(), name.end(), out + 2);
    *p++ = 0;
    p = std::copy(kMode.begin(), kMode.end(), p);
    *p = 0;
    return length;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--header-block") {
            options.headerBlock = true;
        } else if (arg == "--verify" && hasValue) {
            options.verifyPath = argv[++i];
        } else if (arg == "--timeout" && hasValue) {
            char* end = nullptr;
            options.timeoutSeconds = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(options.timeoutSeconds > 0)) return std::nullopt;
        } else if (arg.starts_with("--")) {
            return std::nullopt;
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.size() != 2 || positional[1].empty()) return std::nullopt;
    const auto server = ParseEndpoint(positional[0]);
    if (!server) return std::nullopt;
    options.server = *server;
    options.name = positional[1];
    return options;
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// The header block announces the image's size; a verified run also checks that announcement.
bool HeaderMatches(const std::uint8_t* payload, std::size_t length, std::size_t imageSize) {
    return length == kBlockSize && ReadBe32(payload) == kHeaderMagic &&
           ReadBe32(payload + kHeaderSizeOffset) == imageSize;
}

class Transfer {
  public:
    Transfer(const Options& options, const std::vector<std::uint8_t>* expected)
        : options_(options), expected_(expected) {}

    // Returns the result, or an empty value after printing why the transfer failed.
    std::optional<Result> Run() {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) return Fail("socket: " + std::string(std::strerror(errno)));
        const auto result = RunOn(fd);
        close(fd);
        return result;
    }

  private:
    using Clock = std::chrono::steady_clock;

    std::optional<Result> RunOn(int fd) {
        timeval resend{};
        resend.tv_usec =
            std::chrono::duration_cast<std::chrono::microseconds>(kResendAfter).count();
        if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &resend, sizeof resend) != 0) {
            return Fail("setsockopt: " + std::string(std::strerror(errno)));
        }
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(options_.timeoutSeconds));
        const auto requestLength = BuildReadRequest(options_.name, lastPacket_);
        if (!requestLength) return Fail("file name too long");
        lastLength_ = *requestLength;
        lastDestination_ = options_.server;
        if (!SendLast(fd)) return Fail("send: " + std::string(std::strerror(errno)));

        std::uint8_t buffer[kMaxDatagram];
        while (Clock::now() < deadline) {
            sockaddr_in source{};
            socklen_t sourceLength = sizeof source;
            const ssize_t received = recvfrom(fd, buffer, sizeof buffer, 0,
                                              reinterpret_cast<sockaddr*>(&source), &sourceLength);
            if (received < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    return Fail("receive: " + std::string(std::strerror(errno)));
                }
                if (!SendLast(fd)) return Fail("send: " + std::string(std::strerror(errno)));
                continue;
            }
            if (received < 4) continue;
            const std::uint16_t opcode = ReadBe16(buffer);
            if (opcode == kOpError) {
                const std::string message(reinterpret_cast<const char*>(buffer + 4),
                                          strnlen(reinterpret_cast<const char*>(buffer + 4),
                                                  static_cast<std::size_t>(received) - 4));
                return Fail("server error " + std::to_string(ReadBe16(buffer + 2)) + ": " +
                            message);
            }
            if (opcode != kOpData) continue;
            if (result_.blocks > 0 && !SameEndpoint(source, peer_)) continue;
            const std::uint16_t block = ReadBe16(buffer + 2);
            if (block != expectedBlock_) {
                // A repeated block answers an acknowledgement we sent twice; anything else
                // means the server lost its place.
                if (block == static_cast<std::uint16_t>(expectedBlock_ - 1)) continue;
                return Fail("got block " + std::to_string(block) + ", wanted " +
                            std::to_string(expectedBlock_));
            }
            const std::size_t length = static_cast<std::size_t>(received) - 4;
            if (length > kBlockSize) return Fail("DATA longer than 512 bytes");
            if (!Accept(buffer + 4, length)) return std::nullopt;
            peer_ = source;
            WriteBe16(lastPacket_, kOpAck);
            WriteBe16(lastPacket_ + 2, block);
            lastLength_ = 4;
            lastDestination_ = source;
            if (!SendLast(fd)) return Fail("send: " + std::string(std::strerror(errno)));
            if (length < kBlockSize) {
                result_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
                if (expected_ && result_.bytes != expected_->size()) {
                    return Fail("received " + std::to_string(result_.bytes) + " bytes, file has " +
                                std::to_string(expected_->size()));
                }
                return result_;
            }
            ++expectedBlock_;
        }
        return Fail("timed out after " + std::to_string(result_.blocks) + " blocks");
    }

    bool Accept(const std::uint8_t* payload, std::size_t length) {
        const bool isHeader = options_.headerBlock && result_.blocks == 0;
        ++result_.blocks;
        if (isHeader) {
            if (length != kBlockSize) {
                Fail("header block is not 512 bytes");
                return false;
            }
            if (expected_ && !HeaderMatches(payload, length, expected_->size())) {
                Fail("header block does not announce this image");
                return false;
            }
            return true;
        }
        if (expected_) {
            const std::uint64_t offset = result_.bytes;
            if (offset + length > expected_->size() ||
                std::memcmp(expected_->data() + offset, payload, length) != 0) {
                Fail("content differs in block " + std::to_string(result_.blocks) + " (offset " +
                     std::to_string(offset) + ")");
                return false;
            }
        }
        result_.bytes += length;
        return true;
    }

    bool SendLast(int fd) {
        return sendto(fd, lastPacket_, lastLength_, 0,
                      reinterpret_cast<const sockaddr*>(&lastDestination_),
                      sizeof lastDestination_) == static_cast<ssize_t>(lastLength_);
    }

    static std::nullopt_t Fail(const std::string& why) {
        std::fprintf(stderr, "flashkit-bench-client: %s\n", why.c_str());
        return std::nullopt;
    }

    const Options& options_;
    const std::vector<std::uint8_t>* expected_;
    Result result_;
    sockaddr_in peer_{};
    std::uint16_t expectedBlock_ = 1;
    std::uint8_t lastPacket_[kMaxDatagram] = {};
    std::size_t lastLength_ = 0;
    sockaddr_in lastDestination_{};
};

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: flashkit-bench-client [--header-block] [--verify FILE] "
                     "[--timeout SECONDS] ADDRESS[:PORT] NAME\n");
        return 2;
    }
    std::optional<std::vector<std::uint8_t>> expected;
    if (options->verifyPath) {
        expected = ReadWholeFile(*options->verifyPath);
        if (!expected) {
            std::fprintf(stderr, "flashkit-bench-client: cannot read %s\n",
                         options->verifyPath->c_str());
            return 1;
        }
    }
    Transfer transfer(*options, expected ? &*expected : nullptr);
    const auto result = transfer.Run();
    if (!result) return 1;
    std::printf("seconds=%.6f blocks=%llu bytes=%llu\n", result->seconds,
                static_cast<unsigned long long>(result->blocks),
                static_cast<unsigned long long>(result->bytes));
    return 0;
}
