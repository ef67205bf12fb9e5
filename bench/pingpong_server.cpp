// The benchmark's ping-pong limit: the least a lock-step server on one UDP port can do. Each read
// request or acknowledgement is answered with the next 512-byte block, read with pread from the
// file opened when the request came. Nothing else happens: no logging, no progress, no check of
// the file, no per-transfer port.
//
// Usage: flashkit-bench-pingpong [--header-block] [--idle-exit SECONDS] ADDRESS[:PORT] ROOT
// With --header-block, block 1 is FlashKit's 512-byte header block and the file follows from
// block 2, so the limit is measured on the same block sequence as FlashKit's engine.
// The server ends by itself after --idle-exit seconds (default 30) without a datagram.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tftp_wire.h"

namespace {

using namespace fk::bench;

constexpr std::uint32_t kSystemImageKind = 1;

struct Options {
    sockaddr_in address{};
    std::string root;
    bool headerBlock = false;
    int idleExitSeconds = 30;
};

// The requested name, or nothing when it is not NUL-terminated or would leave the root.
std::optional<std::string> RequestedName(const std::uint8_t* datagram, std::size_t length) {
    const char* name = reinterpret_cast<const char*>(datagram + 2);
    const std::size_t nameLength = strnlen(name, length - 2);
    if (nameLength == 0 || nameLength == length - 2) return std::nullopt;
    const std::string_view view(name, nameLength);
    if (view.find('/') != std::string_view::npos || view == "." || view == "..") {
        return std::nullopt;
    }
    return std::string(view);
}

// One transfer in progress: the file and the absolute number of the block last sent (not wrapped,
// so a file of more than 65535 blocks keeps its offsets).
struct Transfer {
    int file = -1;
    std::uint32_t imageSize = 0;
    std::uint64_t block = 0;
    bool finished = true;
};

class Server {
  public:
    explicit Server(const Options& options) : options_(options) {}

    int Run() {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) return Fail("socket");
        const int status = RunOn(fd);
        close(fd);
        return status;
    }

  private:
    int RunOn(int fd) {
        timeval idle{};
        idle.tv_sec = options_.idleExitSeconds;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle) != 0) {
            return Fail("setsockopt");
        }
        if (bind(fd, reinterpret_cast<const sockaddr*>(&options_.address),
                 sizeof options_.address) != 0) {
            return Fail("bind");
        }
        std::uint8_t buffer[kMaxDatagram];
        for (;;) {
            sockaddr_in peer{};
            socklen_t peerLength = sizeof peer;
            const ssize_t received = recvfrom(fd, buffer, sizeof buffer, 0,
                                              reinterpret_cast<sockaddr*>(&peer), &peerLength);
            if (received < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
                return Fail("receive");
            }
            if (received < 4) continue;
            const std::uint16_t opcode = ReadBe16(buffer);
            if (opcode == kOpRrq) {
                if (StartTransfer(buffer, static_cast<std::size_t>(received))) {
                    SendBlock(fd, peer);
                }
            } else if (opcode == kOpAck && !transfer_.finished) {
                const std::uint16_t acked = ReadBe16(buffer + 2);
                // The acknowledgement of the block just sent moves on; a repeated one for the
                // block before means our last DATA was lost, so it goes out again.
                if (acked == static_cast<std::uint16_t>(transfer_.block)) {
                    ++transfer_.block;
                    SendBlock(fd, peer);
                } else if (acked == static_cast<std::uint16_t>(transfer_.block - 1)) {
                    SendBlock(fd, peer);
                }
            }
        }
    }

    bool StartTransfer(const std::uint8_t* datagram, std::size_t length) {
        const auto name = RequestedName(datagram, length);
        if (!name) return false;
        const std::string path = options_.root + "/" + *name;
        const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (file < 0 || fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
            if (file >= 0) close(file);
            return false;
        }
        if (transfer_.file >= 0) close(transfer_.file);
        transfer_ = Transfer{file, static_cast<std::uint32_t>(info.st_size), 1, false};
        return true;
    }

    void SendBlock(int fd, const sockaddr_in& peer) {
        std::uint8_t packet[4 + kBlockSize];
        WriteBe16(packet, kOpData);
        WriteBe16(packet + 2, static_cast<std::uint16_t>(transfer_.block));
        const auto length = BlockContent(packet + 4);
        if (!length) {
            transfer_.finished = true;
            return;
        }
        sendto(fd, packet, 4 + *length, 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        if (*length < kBlockSize) transfer_.finished = true;
    }

    std::optional<std::size_t> BlockContent(std::uint8_t* out) const {
        if (options_.headerBlock && transfer_.block == 1) {
            std::memset(out, 0, kBlockSize);
            WriteBe32(out, kHeaderMagic);
            WriteBe32(out + 4, 1);
            WriteBe32(out + 12, kSystemImageKind);
            WriteBe32(out + kHeaderSizeOffset, transfer_.imageSize);
            return kBlockSize;
        }
        const std::uint64_t firstFileBlock = options_.headerBlock ? 2 : 1;
        const auto offset = static_cast<off_t>((transfer_.block - firstFileBlock) * kBlockSize);
        const ssize_t read = pread(transfer_.file, out, kBlockSize, offset);
        if (read < 0) return std::nullopt;
        return static_cast<std::size_t>(read);
    }

    static int Fail(const char* what) {
        std::fprintf(stderr, "flashkit-bench-pingpong: %s: %s\n", what, std::strerror(errno));
        return 1;
    }

    const Options& options_;
    Transfer transfer_;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--header-block") {
            options.headerBlock = true;
        } else if (arg == "--idle-exit" && i + 1 < argc) {
            char* end = nullptr;
            const long seconds = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || seconds < 1 || seconds > 3600) return std::nullopt;
            options.idleExitSeconds = static_cast<int>(seconds);
        } else if (arg.starts_with("--")) {
            return std::nullopt;
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.size() != 2) return std::nullopt;
    const auto address = ParseEndpoint(positional[0]);
    if (!address) return std::nullopt;
    options.address = *address;
    options.root = positional[1];
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: flashkit-bench-pingpong [--header-block] [--idle-exit SECONDS] "
                     "ADDRESS[:PORT] ROOT\n");
        return 2;
    }
    Server server(*options);
    return server.Run();
}
