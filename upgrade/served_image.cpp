#include "upgrade/served_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace fk {

namespace {

// 128 blocks per read: large enough that reading costs little per block, small enough to be
// re-read cheaply when a recorder goes back.
constexpr std::size_t kReadAhead = 64 * 1024;

FileIdentity IdentityOf(const struct stat& info) {
#ifdef _WIN32
    // Windows' C runtime keeps the time to the second, no inode, and for an open file the
    // descriptor where the drive would be: a rewrite within the same second to the same size
    // goes unseen there.
    return {0, 0, static_cast<std::uint64_t>(info.st_size),
            static_cast<std::int64_t>(info.st_mtime), 0};
#else
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
            static_cast<std::uint64_t>(info.st_size), info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
#endif
}

// Reads from offset until length bytes or the end of the file: how many, or -1 (errno says why).
ssize_t ReadAt(int fd, std::uint8_t* into, std::uint64_t length, std::uint64_t offset) {
    std::uint64_t done = 0;
    while (done < length) {
        const ssize_t read =
            ::pread(fd, into + done, length - done, static_cast<off_t>(offset + done));
        if (read < 0 && errno == EINTR) continue;
        if (read < 0) return -1;
        if (read == 0) break;
        done += static_cast<std::uint64_t>(read);
    }
    return static_cast<ssize_t>(done);
}

// Opens an image without waiting on it: an open of a FIFO waits for a writer, and the network
// thread must never wait. A descriptor, or -1 with errno.
int OpenImage(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

}  // namespace

std::optional<FileIdentity> MeasureFile(const std::string& path) {
    const int fd = OpenImage(path);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    const bool measured = fstat(fd, &info) == 0;
    const int error = errno;
    ::close(fd);
    if (!measured) {
        errno = error;
        return std::nullopt;
    }
    // Only a regular file has a size and content that stay put for the transfer.
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return std::nullopt;
    }
    return IdentityOf(info);
}

std::shared_ptr<ImageBlocks> FileImageStore::Accept(const std::string& path) {
    return std::make_shared<ServedImage>(path, MeasureFile(path));
}

ServedImage::ServedImage(std::string path, std::optional<FileIdentity> expected)
    : m_path(std::move(path)), m_expected(expected) {}

ServedImage::~ServedImage() {
    if (m_fd >= 0) ::close(m_fd);
}

std::optional<std::uint64_t> ServedImage::Size() const {
    if (!m_expected) return std::nullopt;
    return m_expected->size;
}

ServedImage::Block ServedImage::Read(std::uint64_t offset, std::span<std::uint8_t> into) {
    std::lock_guard lock(m_mutex);
    if (m_refusal) return *m_refusal;
    if (m_fd < 0) {
        if (const Block opened = Open(); opened.outcome != Outcome::Read) return opened;
    }
    const std::uint64_t size = m_expected->size;
    if (offset > size) return {Outcome::ReadFailed, 0, 0};
    // The accepted size decides where the image ends: a file grown since is a changed file.
    const std::uint64_t wanted = std::min<std::uint64_t>(size - offset, into.size());
    if (offset < m_aheadOffset || offset + wanted > m_aheadOffset + m_aheadLength) {
        if (const Block read = Refill(offset, wanted); read.outcome != Outcome::Read) return read;
    }
    if (wanted > 0) std::memcpy(into.data(), m_ahead.data() + (offset - m_aheadOffset), wanted);
    // Asked after the read: a change that the read may have seen part of is caught here, before
    // anything of it is sent.
    const auto seen = m_watch ? m_watch->Poll() : platform::FileWatch::Seen::Other;
    if (seen == platform::FileWatch::Seen::Written) {
        m_written = true;
        m_refusal = Block{Outcome::Changed, 0, 0};
        return *m_refusal;
    }
    if (seen == platform::FileWatch::Seen::Other || wanted < into.size()) {
        if (const Block checked = CheckPath(); checked.outcome != Outcome::Read) return checked;
    }
    return {Outcome::Read, wanted, 0};
}

ServedImage::Block ServedImage::Open() {
    // The watch comes first: a change between the two is then either seen by it or shows in
    // the identity of what was opened.
    m_watch = platform::FileWatch::Start(m_path);
    m_fd = OpenImage(m_path);
    if (m_fd < 0) {
        const int error = errno;
        m_watch.reset();
        return {Outcome::OpenFailed, 0, error};
    }
    struct stat info {};
    const bool measured = fstat(m_fd, &info) == 0;
    if (measured && !S_ISREG(info.st_mode)) {
        m_refusal = Block{Outcome::NotRegular, 0, 0};
        return *m_refusal;
    }
    if (!m_expected || !measured || !(IdentityOf(info) == *m_expected)) {
        m_refusal = Block{Outcome::Changed, 0, 0};
        return *m_refusal;
    }
    return {};
}

ServedImage::Block ServedImage::Refill(std::uint64_t offset, std::uint64_t wanted) {
    const std::uint64_t length = std::max<std::uint64_t>(
        wanted, std::min<std::uint64_t>(kReadAhead, m_expected->size - offset));
    m_ahead.resize(std::max<std::size_t>(m_ahead.size(), length));
    m_aheadOffset = offset;
    const ssize_t read = ReadAt(m_fd, m_ahead.data(), length, offset);
    m_aheadLength = read < 0 ? 0 : static_cast<std::uint64_t>(read);
    if (read < 0) return {Outcome::ReadFailed, 0, errno};
    // Less than the accepted size promises: the file was cut.
    if (m_aheadLength < wanted) {
        m_written = true;
        m_refusal = Block{Outcome::Changed, 0, 0};
        return *m_refusal;
    }
    return {};
}

ServedImage::Block ServedImage::CheckPath() {
    struct stat info {};
    if (::stat(m_path.c_str(), &info) != 0) {
        m_refusal = Block{Outcome::OpenFailed, 0, errno};
        return *m_refusal;
    }
    if (!(IdentityOf(info) == *m_expected)) m_refusal = Block{Outcome::Changed, 0, 0};
    return m_refusal.value_or(Block{});
}

bool ServedImage::ReadBack(std::uint64_t length,
                           const std::function<void(std::span<const std::uint8_t>)>& sink) {
    int fd = -1;
    {
        std::lock_guard lock(m_mutex);
        // An image that could not be measured at its request was served nothing worth a record.
        if (!m_expected) return false;
        if (m_fd < 0 && (m_refusal || Open().outcome != Outcome::Read)) return false;
        if (!Untouched() || length > m_expected->size) return false;
        fd = m_fd;
    }
    // Read and handed over without the lock, so that sink never holds a transfer up: the
    // descriptor stays open as long as the image, and each read names its own offset.
    std::vector<std::uint8_t> piece(std::min<std::uint64_t>(length, kReadAhead));
    for (std::uint64_t done = 0; done < length; done += piece.size()) {
        piece.resize(std::min<std::uint64_t>(piece.size(), length - done));
        if (ReadAt(fd, piece.data(), piece.size(), done) != static_cast<ssize_t>(piece.size())) {
            return false;
        }
        sink(piece);
    }
    // Asked again after the reading: a write meanwhile may have changed what sink was given.
    std::lock_guard lock(m_mutex);
    return Untouched();
}

bool ServedImage::Untouched() {
    if (m_watch && m_watch->Poll() == platform::FileWatch::Seen::Written) m_written = true;
    struct stat info {};
    return !m_written && fstat(m_fd, &info) == 0 && IdentityOf(info) == *m_expected;
}

}  // namespace fk
