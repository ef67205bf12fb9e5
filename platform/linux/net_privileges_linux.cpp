#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

#include "net-helper/service.h"
#include "platform/net_privileges.h"

namespace fk::platform {

namespace {

using nethelper::Op;
using nethelper::Reply;
using nethelper::Request;

bool HoldsNetPrivileges() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    constexpr std::uint32_t kBoth = (1u << CAP_NET_BIND_SERVICE) | (1u << CAP_NET_ADMIN);
    return (data[0].effective & kBoth) == kBoth;
}

NetHelperProblem ProblemOfStart(int error) {
    switch (error) {
        case 0:
            return NetHelperProblem::None;
        case EACCES:
        case EPERM:
            return NetHelperProblem::NotPermitted;
        case ENOENT:
        case ENOTDIR:
            return NetHelperProblem::Missing;
        default:
            return NetHelperProblem::Failed;
    }
}

// A socket passed back goes to *fd, the first one only; any other is closed.
void KeepFirstSocket(int socket, int* fd) {
    if (fd && *fd < 0) {
        *fd = socket;
    } else {
        close(socket);
    }
}

// The process-wide way to the two operations: in-process while the calling thread holds both
// capabilities, otherwise the helper, started at its first need. No process-wide lock is held
// while the helper is spawned or talked to: its client gives its channel to one caller at a time.
class Broker {
  public:
    // The requests' replies in order; the socket of a bind goes to *fd.
    std::vector<Reply> Call(std::span<const Request> requests, int* fd) {
        if (HoldsNetPrivileges()) return CallInProcess(requests, fd);
        std::vector<Reply> replies;
        // A helper that is not running has no entry left to delete: it deletes them all as it
        // ends. One that ended is started again; one that cannot start refuses like the system
        // refuses an unprivileged call.
        const auto remove = static_cast<std::uint32_t>(Op::RemoveNeighbour);
        if (!m_helper.Running() && requests.size() == 1 && requests.front().op == remove) {
            return {Reply{ENOENT}};
        }
        // A helper that was killed is replaced and asked again, once, from the first request it
        // left unanswered: the operator has nothing to act on, and its refusal would read as
        // missing permission. The new helper sweeps the entries the killed one left, and the
        // station adds its own again.
        for (int attempt = 0; attempt < 2 && replies.size() < requests.size(); ++attempt) {
            if (!m_helper.Running()) {
                const int error = m_helper.Start();
                m_problem = ProblemOfStart(error);
                if (error) break;
            }
            const auto more = m_helper.Call(requests.subspan(replies.size()), fd);
            const auto lost = std::find_if(more.begin(), more.end(),
                                           [](const Reply& reply) { return reply.error == EPIPE; });
            replies.insert(replies.end(), more.begin(), lost);
            if (lost != more.end()) m_problem = NetHelperProblem::Failed;
        }
        replies.resize(requests.size(), Reply{EACCES});
        for (Reply& reply : replies) {
            if (reply.error == nethelper::kOtherVersion) {
                m_problem = NetHelperProblem::Mismatch;
                reply.error = EACCES;
            }
        }
        return replies;
    }

    NetHelperProblem Problem() const { return m_problem; }

  private:
    std::vector<Reply> CallInProcess(std::span<const Request> requests, int* fd) {
        // The join and the requests after it are one: another thread may be in another namespace.
        std::lock_guard lock(m_localMutex);
        if (const int error = m_local.JoinNamespace())
            return std::vector<Reply>(requests.size(), Reply{error});
        std::vector<int> bound;
        const std::vector<Reply> replies = m_local.HandleAll(requests, bound);
        for (const int socket : bound) {
            if (socket >= 0) KeepFirstSocket(socket, fd);
        }
        return replies;
    }

    std::mutex m_localMutex;
    nethelper::NetService m_local;
    NetHelperClient m_helper{NetHelperPath()};
    std::atomic<NetHelperProblem> m_problem{NetHelperProblem::None};
};

Broker& TheBroker() {
    static Broker broker;
    return broker;
}

Request NeighbourRequest(Op op, int ifindex, std::uint32_t address) {
    Request request;
    request.op = static_cast<std::uint32_t>(op);
    request.ifindex = ifindex;
    request.address = address;
    return request;
}

}  // namespace

int BindPrivilegedUdp(std::uint16_t port, int ifindex, int& fd) {
    Request request;
    request.op = static_cast<std::uint32_t>(Op::BindUdp);
    request.ifindex = ifindex;
    request.port = port;
    fd = -1;
    return TheBroker().Call({&request, 1}, &fd).front().error;
}

std::vector<int> AddRecorderNeighbours(int ifindex,
                                       std::span<const NeighbourTable::Wanted> entries) {
    std::vector<int> errors;
    // A bench's worth at a time: what the helper answers together.
    for (std::size_t at = 0; at < entries.size(); at += nethelper::kMaxRecorderEntries) {
        std::vector<Request> requests;
        for (const NeighbourTable::Wanted& entry :
             entries.subspan(at, std::min(entries.size() - at, nethelper::kMaxRecorderEntries))) {
            requests.push_back(NeighbourRequest(Op::AddNeighbour, ifindex, entry.address));
            std::copy(entry.mac.begin(), entry.mac.end(), requests.back().mac);
        }
        for (const Reply& reply : TheBroker().Call(requests, nullptr))
            errors.push_back(reply.error);
    }
    return errors;
}

int RemoveRecorderNeighbour(int ifindex, std::uint32_t address) {
    const Request request = NeighbourRequest(Op::RemoveNeighbour, ifindex, address);
    return TheBroker().Call({&request, 1}, nullptr).front().error;
}

NetHelperProblem LastNetHelperProblem() {
    return TheBroker().Problem();
}

std::string NetHelperPath() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    const auto folder = error ? std::filesystem::path("/usr/bin") : program.parent_path();
    return (folder / ".." / "libexec" / "flashkit" / "flashkit-net-helper").lexically_normal();
}

class NetHelperClient::Turn {
  public:
    explicit Turn(NetHelperClient& client) : m_client(client) {
        std::unique_lock lock(client.m_mutex);
        client.m_turnFree.wait(lock, [&] { return !client.m_busy; });
        client.m_busy = true;
    }
    ~Turn() {
        {
            std::lock_guard lock(m_client.m_mutex);
            m_client.m_busy = false;
        }
        m_client.m_turnFree.notify_one();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

  private:
    NetHelperClient& m_client;
};

NetHelperClient::~NetHelperClient() {
    const Turn turn(*this);
    Stop();
}

int NetHelperClient::Start() {
    const Turn turn(*this);
    if (m_channel >= 0) return 0;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return errno;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the copy, also when the end already is descriptor 3.
    posix_spawn_file_actions_adddup2(&actions, ends[1], nethelper::kChannelFd);
    // Signals as a fresh program has them, whatever the window's threads block or ignore.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* const argv[] = {const_cast<char*>(m_path.c_str()), nullptr};
    char* const envp[] = {nullptr};
    pid_t pid = -1;
    const int error = posix_spawn(&pid, m_path.c_str(), &actions, &attributes, argv, envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (error) {
        close(ends[0]);
        return error;
    }
    m_pid = pid;
    m_channel = ends[0];
    return 0;
}

std::vector<Reply> NetHelperClient::Call(std::span<const Request> requests, int* fd) {
    if (fd) *fd = -1;
    const Turn turn(*this);
    const int channel = m_channel;
    std::vector<Reply> replies;
    // Sent together, so that the helper can answer them together.
    bool sent = channel >= 0;
    for (const Request& request : requests) {
        sent = sent && send(channel, &request, sizeof request, MSG_NOSIGNAL) == sizeof request;
    }
    ssize_t received = sent ? 1 : -1;
    while (received > 0 && replies.size() < requests.size()) {
        Reply reply;
        iovec part{&reply, sizeof reply};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        do {
            received = recvmsg(channel, &message, MSG_CMSG_CLOEXEC);
        } while (received < 0 && errno == EINTR);
        if (received <= 0) message.msg_controllen = 0;
        for (cmsghdr* part = CMSG_FIRSTHDR(&message); part; part = CMSG_NXTHDR(&message, part)) {
            if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_RIGHTS) continue;
            int passed;
            std::memcpy(&passed, CMSG_DATA(part), sizeof passed);
            KeepFirstSocket(passed, fd);
        }
        const bool ours = reply.magic == nethelper::kMagic && reply.version == nethelper::kVersion;
        const bool whole = received == sizeof reply && !(message.msg_flags & MSG_TRUNC);
        if (!whole || !ours || reply.error == nethelper::kOtherVersion) break;
        replies.push_back(reply);
    }
    if (replies.size() == requests.size()) return replies;
    if (fd && *fd >= 0) close(std::exchange(*fd, -1));
    Stop();
    // A helper of another build answers in another size or version, or refuses ours.
    replies.resize(requests.size(), Reply{received > 0 ? nethelper::kOtherVersion : EPIPE});
    return replies;
}

void NetHelperClient::Stop() {
    if (const int channel = m_channel.exchange(-1); channel >= 0) close(channel);
    if (const pid_t pid = m_pid.exchange(-1); pid > 0) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace fk::platform
