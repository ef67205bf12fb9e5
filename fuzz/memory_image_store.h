#pragma once

// Images kept in memory behind the engine's ImageStore, so that a fuzz input costs microseconds:
// no file, no watch, no system call. One path holds one file at a time, and the changes a file
// on disk goes through are made to it here. Each image handed out answers as ServedImage answers
// for a file on disk:
// - a file written to in place (cut, grown, rewritten, touched) or replaced at its path is
//   Changed from then on; one removed is OpenFailed (ENOENT) from then on;
// - before its first block a file that cannot be opened (missing, or not readable) is
//   OpenFailed, and asked again at the next block; a file that opens but is not the accepted
//   one, unchanged, is Changed;
// - a directory opens but fails every read (ReadFailed, EISDIR), and a read past the accepted
//   size fails without an error code;
// - a file made unreadable once open is still served: its permissions are no part of it.
// The content is made, not stored (so a 64 MiB image costs nothing): a cycle of 509 bytes begun
// at a place the file's generation picks, up to patternEnd, and zeros after it (a hole). 509 is
// prime and not 512, so blocks fewer than 509 apart never hold the same bytes, nor do two
// generations.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "upgrade/served_image.h"

namespace fk::fuzzing {

inline constexpr std::size_t kCycle = 509;

// The cycle, and as much again as a block, so that a block is one copy.
inline const std::array<std::uint8_t, kCycle + 512>& CycleBytes() {
    static const auto bytes = [] {
        std::array<std::uint8_t, kCycle + 512> made{};
        for (std::size_t i = 0; i < made.size(); ++i)
            made[i] = static_cast<std::uint8_t>((i % kCycle) * 31 + (i % kCycle) / 7);
        return made;
    }();
    return bytes;
}

// One file (an inode): what a path names until it is removed or replaced.
struct MemoryFile {
    std::uint64_t size = 0;
    std::uint64_t patternEnd = 0;
    std::uint8_t generation = 0;
    bool directory = false;
    bool readable = true;
    // Counts the writes to this very file: what size and modification time tell on disk.
    std::uint64_t writes = 0;

    std::uint8_t At(std::uint64_t offset) const {
        return offset < patternEnd ? CycleBytes()[(offset + generation) % kCycle] : 0;
    }
    // The bytes from offset, as many as into holds.
    void Copy(std::uint64_t offset, std::span<std::uint8_t> into) const {
        std::size_t made = 0;
        while (made < into.size() && offset + made < patternEnd) {
            const std::size_t length = static_cast<std::size_t>(
                std::min<std::uint64_t>({into.size() - made, patternEnd - offset - made, 512}));
            const std::size_t start = (offset + made + generation) % kCycle;
            std::memcpy(into.data() + made, CycleBytes().data() + start, length);
            made += length;
        }
        std::memset(into.data() + made, 0, into.size() - made);
    }
};

class MemoryImageStore final : public ImageStore {
  public:
    explicit MemoryImageStore(std::string path)
        : m_path(std::make_shared<Path>(Path{std::move(path), nullptr})) {}

    std::shared_ptr<ImageBlocks> Accept(const std::string& path) override {
        const bool measurable = path == m_path->name && m_path->file && m_path->file->readable;
        return std::make_shared<Image>(m_path, measurable ? m_path->file : nullptr);
    }

    // The file now at the path; null when there is none.
    const MemoryFile* File() const { return m_path->file.get(); }

    // A new file at the path, in place of what was there (a copy renamed over it).
    void Create(std::uint64_t size, std::uint8_t generation) {
        m_path->file = std::make_shared<MemoryFile>(MemoryFile{size, size, generation});
    }
    // The same bytes again, as a new file.
    void ReplaceWithCopy() {
        if (m_path->file) m_path->file = std::make_shared<MemoryFile>(*m_path->file);
    }
    void ReplaceWithDirectory() {
        m_path->file = std::make_shared<MemoryFile>(MemoryFile{4096, 0, 0, true});
    }
    void Remove() { m_path->file.reset(); }
    // Cut, or grown with zeros.
    void Resize(std::uint64_t size) {
        if (!Writable()) return;
        m_path->file->size = size;
        m_path->file->patternEnd = std::min(m_path->file->patternEnd, size);
        ++m_path->file->writes;
    }
    // Written over in place, the size kept.
    void Rewrite(std::uint8_t generation) {
        if (!Writable()) return;
        m_path->file->generation = generation;
        ++m_path->file->writes;
    }
    // Only the modification time changes.
    void Touch() {
        if (Writable()) ++m_path->file->writes;
    }
    void SetReadable(bool readable) {
        if (m_path->file) m_path->file->readable = readable;
    }

  private:
    struct Path {
        std::string name;
        std::shared_ptr<MemoryFile> file;
    };

    bool Writable() const { return m_path->file && !m_path->file->directory; }

    class Image final : public ImageBlocks {
      public:
        Image(std::shared_ptr<const Path> path, std::shared_ptr<const MemoryFile> accepted)
            : m_path(std::move(path)),
              m_accepted(std::move(accepted)),
              m_acceptedWrites(m_accepted ? m_accepted->writes : 0),
              m_size(m_accepted ? m_accepted->size : 0) {}

        std::optional<std::uint64_t> Size() const override {
            if (!m_accepted) return std::nullopt;
            return m_size;
        }

        Block Read(std::uint64_t offset, std::span<std::uint8_t> into) override {
            if (m_refusal) return *m_refusal;
            if (!m_opened) {
                if (const Block opened = Open(); opened.outcome != Outcome::Read) return opened;
            }
            if (offset > m_size) return {Outcome::ReadFailed, 0, 0};
            if (m_opened->writes != m_acceptedWrites) return Refuse({Outcome::Changed, 0, 0});
            if (m_opened->directory) return {Outcome::ReadFailed, 0, EISDIR};
            if (m_path->file != m_opened) {
                return Refuse(m_path->file ? Block{Outcome::Changed, 0, 0}
                                           : Block{Outcome::OpenFailed, 0, ENOENT});
            }
            const std::size_t length =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_size - offset, into.size()));
            m_opened->Copy(offset, into.first(length));
            return {Outcome::Read, length, 0};
        }

        bool ReadBack(std::uint64_t length,
                      const std::function<void(std::span<const std::uint8_t>)>& sink) override {
            if (!m_opened && (m_refusal || Open().outcome != Outcome::Read)) return false;
            if (!Untouched() || length > m_size || m_opened->directory) return false;
            std::array<std::uint8_t, 4096> piece{};
            for (std::uint64_t done = 0; done < length; done += piece.size()) {
                const auto part = std::span(piece).first(
                    static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), length - done)));
                m_opened->Copy(done, part);
                sink(part);
            }
            return Untouched();
        }

      private:
        Block Open() {
            const auto& file = m_path->file;
            if (!file) return {Outcome::OpenFailed, 0, ENOENT};
            if (!file->readable) return {Outcome::OpenFailed, 0, EACCES};
            m_opened = file;
            if (!m_accepted || file != m_accepted || file->writes != m_acceptedWrites) {
                return Refuse({Outcome::Changed, 0, 0});
            }
            return {};
        }
        Block Refuse(Block refusal) {
            m_refusal = refusal;
            return refusal;
        }
        // The open file holds what was accepted: removed or renamed over, it still does.
        bool Untouched() const {
            return m_accepted && m_opened == m_accepted && m_opened->writes == m_acceptedWrites;
        }

        std::shared_ptr<const Path> m_path;
        std::shared_ptr<const MemoryFile> m_accepted;  // null: not measurable when accepted
        std::uint64_t m_acceptedWrites;
        std::uint64_t m_size;
        std::shared_ptr<const MemoryFile> m_opened;
        std::optional<Block> m_refusal;
    };

    std::shared_ptr<Path> m_path;
};

}  // namespace fk::fuzzing
