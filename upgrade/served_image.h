#pragma once

// The image file of one accepted read request, as the TFTP engine serves it block by block.
//
// The file is opened once, at its first block, and read ahead in large pieces; a file watch
// asked before every block tells whether the file was written, cut, replaced or removed since
// the request was accepted. So a change mid-transfer stops the transfer at the next block
// instead of reaching the recorder as a mix of two files, at the cost of one non-blocking
// system call per block rather than an open, a stat and a close. The final block is served
// only after the path is found to name the very file that was accepted, unchanged, so a changed
// image is never acknowledged as complete even where no watch could be set. Once the file has
// changed, every later block is refused.
//
// After the transfer the served bytes can be read back from the same open file, for the
// upload's record, as long as nothing was written to it: a file renamed over or removed still
// holds what was served.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/file_watch.h"

namespace fk {

// What identifies the content of a file.
struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Opens the file to learn its identity; nothing when it cannot be opened (errno says why) or is
// not a regular file.
std::optional<FileIdentity> MeasureFile(const std::string& path);

// An image as accepted for one read request, served block by block.
class ImageBlocks {
  public:
    virtual ~ImageBlocks() = default;

    // The size measured when the request was accepted; nothing when it could not be measured.
    virtual std::optional<std::uint64_t> Size() const = 0;

    // NotRegular: the path names a FIFO, a device or a folder, which is never served.
    enum class Outcome { Read, OpenFailed, NotRegular, Changed, ReadFailed };
    struct Block {
        Outcome outcome = Outcome::Read;
        std::size_t length = 0;  // of what was read, when Read
        int error = 0;           // errno of a failed open or read (0: read past the end)
    };
    // The content at offset, at most into.size() bytes, as the accepted image held it.
    virtual Block Read(std::uint64_t offset, std::span<std::uint8_t> into) = 0;

    // Hands the first length bytes of the accepted image to sink, in pieces, and tells whether
    // they are the bytes served: false when the image was written to since it was accepted (what
    // sink was given is then no record of anything). Any thread; takes as long as the reading.
    virtual bool ReadBack(std::uint64_t length,
                          const std::function<void(std::span<const std::uint8_t>)>& sink) = 0;
};

// Where images come from: files on disk here, memory in the fuzzer.
class ImageStore {
  public:
    virtual ~ImageStore() = default;
    // The image at path as it is now, measured, for a read request accepted now.
    virtual std::shared_ptr<ImageBlocks> Accept(const std::string& path) = 0;
};

// The files on disk, each watched while it is served.
class FileImageStore final : public ImageStore {
  public:
    std::shared_ptr<ImageBlocks> Accept(const std::string& path) override;
};

class ServedImage final : public ImageBlocks {
  public:
    // expected: the file as measured when the request was accepted; without it every block is
    // refused as changed once the file opens.
    ServedImage(std::string path, std::optional<FileIdentity> expected);
    ~ServedImage() override;
    ServedImage(const ServedImage&) = delete;
    ServedImage& operator=(const ServedImage&) = delete;

    std::optional<std::uint64_t> Size() const override;
    Block Read(std::uint64_t offset, std::span<std::uint8_t> into) override;
    bool ReadBack(std::uint64_t length,
                  const std::function<void(std::span<const std::uint8_t>)>& sink) override;

  private:
    Block Open();
    // Whether the open file is still as accepted: no write seen, the same size and time.
    bool Untouched();
    Block Refill(std::uint64_t offset, std::uint64_t wanted);
    // Whether the path still names the accepted file, unchanged.
    Block CheckPath();

    std::mutex m_mutex;  // Read on the transfer's thread, ReadBack on another
    std::string m_path;
    std::optional<FileIdentity> m_expected;
    int m_fd = -1;
    bool m_written = false;  // a write to the file itself was seen
    std::unique_ptr<platform::FileWatch> m_watch;
    std::optional<Block> m_refusal;  // the change that ended serving
    std::vector<std::uint8_t> m_ahead;
    std::uint64_t m_aheadOffset = 0;
    std::uint64_t m_aheadLength = 0;
};

}  // namespace fk
