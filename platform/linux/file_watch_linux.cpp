#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/file_watch.h"

namespace fk::platform {

namespace {

// inotify on the file's inode: every write or truncation through any name or descriptor is
// queued by the kernel before the writing call returns; a rename over the name or an unlink
// shows as a change of the link count (an attribute event).
class InotifyWatch final : public FileWatch {
  public:
    explicit InotifyWatch(int fd) : m_fd(fd) {}
    ~InotifyWatch() override { ::close(m_fd); }
    InotifyWatch(const InotifyWatch&) = delete;
    InotifyWatch& operator=(const InotifyWatch&) = delete;

    Seen Poll() override {
        // A watch the kernel has dropped can no longer vouch for anything.
        if (m_dropped) return Seen::Other;
        Seen seen = Seen::Nothing;
        alignas(inotify_event) std::array<char, 4096> events;
        for (;;) {
            const ssize_t length = ::read(m_fd, events.data(), events.size());
            if (length < 0 && errno == EINTR) continue;
            // EAGAIN: nothing queued. A failed read cannot vouch for the file.
            if (length < 0) return errno == EAGAIN ? seen : Seen::Other;
            if (length == 0) return Seen::Other;
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events.data() + at);
                // An overflowed queue may have lost a write.
                if (event->mask & (IN_MODIFY | IN_Q_OVERFLOW)) return Seen::Written;
                if (event->mask & IN_IGNORED) m_dropped = true;
                seen = Seen::Other;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

  private:
    int m_fd;
    bool m_dropped = false;
};

}  // namespace

std::unique_ptr<FileWatch> FileWatch::Start(const std::string& path) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return nullptr;
    constexpr std::uint32_t kMask = IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
    if (inotify_add_watch(fd, path.c_str(), kMask) < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<InotifyWatch>(fd);
}

}  // namespace fk::platform
