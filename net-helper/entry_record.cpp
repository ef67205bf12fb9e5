#include "net-helper/entry_record.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace fk::nethelper {

namespace {

// Made by the package (tmpfiles.d) as root:flashkit 3770: every member's helper may add a record,
// files take the group, and none may delete another's.
constexpr const char* kFolder = "/run/flashkit";
constexpr std::size_t kSlotSize = 8;
// The entries of 16 cards at 64 each; a sweep reads them all.
constexpr std::size_t kMaxSlots = 1024;

}  // namespace

EntryRecord::Hold::Hold(EntryRecord& record) : m_record(record), m_held(false) {
    // Half a second at most, in steps: the helper has no other thread to wait in.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (flock(record.m_fd, LOCK_EX | LOCK_NB) == 0) {
            m_held = true;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) return;
        const timespec pause{0, 10'000'000};
        ppoll(nullptr, 0, &pause, nullptr);
    }
}

EntryRecord::Hold::~Hold() {
    if (m_held) flock(m_record.m_fd, LOCK_UN);
}

EntryRecord::~EntryRecord() {
    if (m_fd >= 0) close(m_fd);
}

bool EntryRecord::Open(dev_t device, ino_t inode) {
    // Only root makes the folder, where the package did not (a build tree).
    mkdir(kFolder, 0770);
    const std::string path =
        std::string(kFolder) + "/net-" + std::to_string(device) + "-" + std::to_string(inode);
    // Created only where nothing is: in a sticky folder the system may refuse O_CREAT on a file
    // another member made (fs.protected_regular), and a link is never followed.
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
        // Every member's helper writes it, whatever the umask of the one that made it.
        if (fd >= 0) fchmod(fd, 0660);
        if (fd < 0 && errno == EEXIST) fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    }
    struct stat file {};
    if (fd >= 0 && (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode))) {
        close(fd);
        fd = -1;
    }
    m_fd = fd;
    return Usable();
}

int EntryRecord::Claim(const Slot& entry) {
    for (const auto& [slot, index] : m_mine) {
        if (slot == entry) return 0;
    }
    const std::vector<Slot> slots = ReadSlots();
    for (std::size_t index = 0; index < kMaxSlots; ++index) {
        const bool free = index >= slots.size() || slots[index].ifindex == 0;
        if (!free || IsMine(index) || !LockSlot(index, F_WRLCK)) continue;
        if (const int error = WriteSlot(index, entry)) {
            LockSlot(index, F_UNLCK);
            return error;
        }
        m_mine.emplace_back(entry, index);
        return 0;
    }
    return ENOSPC;
}

std::vector<EntryRecord::Slot> EntryRecord::Mine() const {
    std::vector<Slot> mine;
    for (const auto& [slot, index] : m_mine) mine.push_back(slot);
    return mine;
}

void EntryRecord::Release(const Slot& entry) {
    const auto mine = std::find_if(m_mine.begin(), m_mine.end(),
                                   [&](const auto& each) { return each.first == entry; });
    if (mine == m_mine.end()) return;
    WriteSlot(mine->second, Slot{});
    LockSlot(mine->second, F_UNLCK);
    m_mine.erase(mine);
}

std::vector<EntryRecord::Slot> EntryRecord::TakeGone() {
    const std::vector<Slot> slots = ReadSlots();
    std::vector<Slot> held = Mine();
    std::vector<Slot> gone;
    for (std::size_t index = 0; index < slots.size(); ++index) {
        if (slots[index].ifindex == 0 || IsMine(index)) continue;
        if (HeldByAnother(index)) {
            held.push_back(slots[index]);
        } else {
            gone.push_back(slots[index]);
            WriteSlot(index, Slot{});
        }
    }
    std::erase_if(gone, [&](const Slot& slot) {
        return std::find(held.begin(), held.end(), slot) != held.end();
    });
    return gone;
}

std::vector<EntryRecord::Slot> EntryRecord::ReadSlots() const {
    std::vector<unsigned char> bytes(kMaxSlots * kSlotSize);
    const ssize_t read = pread(m_fd, bytes.data(), bytes.size(), 0);
    std::vector<Slot> slots;
    for (std::size_t at = 0; read > 0 && at + kSlotSize <= static_cast<std::size_t>(read);
         at += kSlotSize) {
        Slot slot;
        std::memcpy(&slot.ifindex, &bytes[at], sizeof slot.ifindex);
        std::memcpy(&slot.address, &bytes[at + sizeof slot.ifindex], sizeof slot.address);
        slots.push_back(slot);
    }
    return slots;
}

int EntryRecord::WriteSlot(std::size_t index, const Slot& slot) const {
    unsigned char bytes[kSlotSize];
    std::memcpy(bytes, &slot.ifindex, sizeof slot.ifindex);
    std::memcpy(bytes + sizeof slot.ifindex, &slot.address, sizeof slot.address);
    const ssize_t written =
        pwrite(m_fd, bytes, sizeof bytes, static_cast<off_t>(index * kSlotSize));
    if (written == static_cast<ssize_t>(sizeof bytes)) return 0;
    return written < 0 ? errno : ENOSPC;
}

bool EntryRecord::LockSlot(std::size_t index, short type) const {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(index * kSlotSize);
    lock.l_len = kSlotSize;
    return fcntl(m_fd, F_OFD_SETLK, &lock) == 0;
}

bool EntryRecord::HeldByAnother(std::size_t index) const {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(index * kSlotSize);
    lock.l_len = kSlotSize;
    // Not knowing, it counts as held: nothing is swept on a guess.
    return fcntl(m_fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

bool EntryRecord::IsMine(std::size_t index) const {
    return std::any_of(m_mine.begin(), m_mine.end(),
                       [&](const auto& each) { return each.second == index; });
}

}  // namespace fk::nethelper
