#pragma once

// Which neighbour entries the running helpers of one network namespace made, kept where a later
// helper can read it: a file in /run/flashkit named after the namespace, shared by the helpers of
// every member (and by a window run as root). Each entry has a slot of eight bytes (its card and
// address), and its maker holds a lock on the slot's bytes for as long as it holds the entry: an
// open file description lock, which the kernel lets go when the maker ends, however it ends. A
// slot that nobody holds names an entry whose helper is gone.
//
// Any member may write the file, so what it says is only a hint: a sweep deletes only an entry
// that FlashKit made and nothing has taken over since (IsLeftOverEntry), and none that a slot
// still held names.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace fk::nethelper {

class EntryRecord {
  public:
    struct Slot {
        int ifindex = 0;  // 0: a free slot
        std::uint32_t address = 0;
        bool operator==(const Slot&) const = default;
    };

    // The file's lock for a scope: every change, and every sweep, holds it.
    class Hold {
      public:
        explicit Hold(EntryRecord& record);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        // False when a member has held it for half a second: only the requests made meanwhile
        // are refused (EBUSY), nothing waits for it longer.
        bool Held() const { return m_held; }

      private:
        EntryRecord& m_record;
        bool m_held;
    };

    EntryRecord() = default;
    ~EntryRecord();
    EntryRecord(const EntryRecord&) = delete;
    EntryRecord& operator=(const EntryRecord&) = delete;

    // Opens the record of the namespace (the device and inode of its ns/net file), making it when
    // there is none yet. False when there is none to use (no /run/flashkit to write in, or what is
    // there is no file): the service then goes without, and only a helper that starts alone in the
    // namespace sweeps.
    bool Open(dev_t device, ino_t inode);
    bool Usable() const { return m_fd >= 0; }

    // The rest with the lock held.
    // Records the entry as this process's (0), unless it already is; ENOSPC when the record is
    // full, or the errno of the write.
    int Claim(const Slot& entry);
    // The entries it recorded as its own.
    std::vector<Slot> Mine() const;
    void Release(const Slot& entry);
    // Frees the slots whose holder is gone and returns the entries they named, but for those that
    // a slot still held names as well.
    std::vector<Slot> TakeGone();

  private:
    std::vector<Slot> ReadSlots() const;
    int WriteSlot(std::size_t index, const Slot& slot) const;
    // Takes (F_WRLCK) or lets go of (F_UNLCK) the lock on the slot's bytes.
    bool LockSlot(std::size_t index, short type) const;
    bool HeldByAnother(std::size_t index) const;
    bool IsMine(std::size_t index) const;

    int m_fd = -1;
    std::vector<std::pair<Slot, std::size_t>> m_mine;  // its entries, with their slots
};

}  // namespace fk::nethelper
