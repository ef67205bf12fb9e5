#include "image/system_image_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace fk {

namespace {

constexpr std::size_t kSeriesCodeOffset = 2;
constexpr std::size_t kSubCodeOffset = 3;

// (series code, MAC octet 3): the series each recorder family needs, first match wins.
constexpr std::pair<std::uint8_t, std::uint8_t> kSeriesTable[] = {
    {0x03, 0x20}, {0x03, 0x2C}, {0x03, 0x40}, {0x04, 0x50}, {0x05, 0x30},
    {0x06, 0x60}, {0x07, 0x70}, {0x08, 0x80}, {0x08, 0x90}, {0x09, 0xA0},
};

// Early recorders of the 0x30 family tell their images apart by the sub-code as well.
bool UsesSubCodeRule(std::uint8_t octet3, std::uint8_t octet4, std::uint8_t octet5) {
    return octet3 == 0x30 && octet4 <= 0x05 && octet5 >= 0x01 && octet5 <= 0x05;
}

class FileCloser {
  public:
    explicit FileCloser(int fd) : m_fd(fd) {}
    ~FileCloser() { ::close(m_fd); }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

  private:
    int m_fd;
};

TrailerReadResult Failed(TrailerFailure failure, int errorCode) {
    TrailerReadResult result;
    result.failure = failure;
    result.errorCode = errorCode;
    return result;
}

}  // namespace

bool ImageFitsRecorder(const ImageTrailer& trailer, std::uint8_t octet3, std::uint8_t octet4,
                       std::uint8_t octet5) {
    const std::uint8_t seriesCode = trailer[kSeriesCodeOffset];
    if (UsesSubCodeRule(octet3, octet4, octet5)) {
        return seriesCode == 0x05 && trailer[kSubCodeOffset] == 0x20;
    }
    for (const auto& [tableSeries, tableOctet3] : kSeriesTable) {
        if (tableOctet3 == octet3) return seriesCode == tableSeries;
    }
    return false;
}

bool ImageFitsAnyRecorder(const ImageTrailer& trailer) {
    if (ImageFitsRecorder(trailer, 0x30, 0x00, 0x01)) return true;
    for (const auto& [series, octet3] : kSeriesTable) {
        if (ImageFitsRecorder(trailer, octet3, 0xFF, 0xFF)) return true;
    }
    return false;
}

TrailerReadResult ReadImageTrailer(const std::string& path) {
    // Non-blocking so that a FIFO given as image cannot hang the window; regular files ignore it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Failed(TrailerFailure::Open, errno);
    FileCloser closer(fd);

    // A file shorter than the trailer fails here with EINVAL: the offset would lie before byte 0.
    const auto trailerSize = static_cast<off_t>(ImageTrailer{}.size());
    if (::lseek(fd, -trailerSize, SEEK_END) < 0) return Failed(TrailerFailure::Seek, errno);

    TrailerReadResult result;
    std::size_t got = 0;
    while (got < result.trailer.size()) {
        const ssize_t n = ::read(fd, result.trailer.data() + got, result.trailer.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Failed(TrailerFailure::Read, errno);
        // The file shrank under us: a short read with no system error behind it.
        if (n == 0) return Failed(TrailerFailure::Read, 0);
        got += static_cast<std::size_t>(n);
    }
    return result;
}

}  // namespace fk
