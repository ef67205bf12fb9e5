#pragma once

// The two privileged network operations of an upload: binding UDP ports 67 and 69, and adding or
// deleting the recorder's neighbour entry. A process that holds cap_net_bind_service and
// cap_net_admin itself (root, or a build tree given both) does them in-process; any other asks
// the network helper (net-helper/), which it starts on first need and which obeys the same
// rules. Every front end that uploads reaches them through UdpSocket::Bind and the system
// neighbour table, so none needs to know which of the two answers.

#include <sys/types.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "net-helper/protocol.h"
#include "platform/neighbour_table.h"

namespace fk::platform {

// Why the helper could not be asked, as far as an operator can act on it.
enum class NetHelperProblem {
    None,
    NotPermitted,  // exists, but this user may not run it: not (yet) in the flashkit group
    Missing,       // not installed where it belongs
    Mismatch,      // of another FlashKit build: it speaks another version of the protocol
    Failed         // started, but ended or answered nonsense
};

// A UDP socket bound to port 67 or 69 on every address of the card ifindex, and serving that
// card alone: 0 and the socket in fd, or the errno (EACCES when the helper cannot be asked).
int BindPrivilegedUdp(std::uint16_t port, int ifindex, int& fd);
// The recorders' entries on the card, in order, in one round trip: each 0, the errno, or
// EINPROGRESS while the address is asked on the wire before a first entry (asked again, the add
// decides once the answer came or the probe's time is up). A delete of an entry this process did
// not make finds nothing (ENOENT); it ends a probe still waiting.
std::vector<int> AddRecorderNeighbours(int ifindex,
                                       std::span<const NeighbourTable::Wanted> entries);
int RemoveRecorderNeighbour(int ifindex, std::uint32_t address);

// What the last attempt to start the helper met; None once it runs or is not needed.
NetHelperProblem LastNetHelperProblem();
// ../libexec/flashkit/flashkit-net-helper from the program's own folder.
std::string NetHelperPath();

// The helper as a child process on one end of a socket pair. One start, exchange or stop at a
// time has the channel; none of them holds a lock while it spawns the helper, talks to it or
// waits for it to end, so that a caller asking only whether it runs never waits on the helper.
class NetHelperClient {
  public:
    explicit NetHelperClient(std::string path) : m_path(std::move(path)) {}
    // Closes the channel, which makes the helper delete its entries and end, and reaps it.
    ~NetHelperClient();
    NetHelperClient(const NetHelperClient&) = delete;
    NetHelperClient& operator=(const NetHelperClient&) = delete;

    // 0 once the helper was started; otherwise the errno of the start.
    int Start();
    bool Running() const { return m_channel >= 0; }
    // The requests, sent together, and their replies in order. A bind's socket goes to *fd.
    // EPIPE for each left unanswered when the helper is gone, kOtherVersion when its reply is of
    // another build (the client then counts as stopped).
    std::vector<nethelper::Reply> Call(std::span<const nethelper::Request> requests,
                                       int* fd = nullptr);
    nethelper::Reply Call(const nethelper::Request& request, int* fd = nullptr) {
        return Call({&request, 1}, fd).front();
    }
    // The window's end of the channel, for tests that send what the window never would.
    int Channel() const { return m_channel; }
    pid_t Pid() const { return m_pid; }

  private:
    // The channel for one start, exchange or stop: the replies then answer its own requests.
    class Turn;
    // Closes the channel and reaps the helper; the caller has the turn.
    void Stop();

    const std::string m_path;
    std::mutex m_mutex;  // m_busy
    std::condition_variable m_turnFree;
    bool m_busy = false;
    // Changed only with the turn; read by anyone.
    std::atomic<int> m_channel{-1};
    std::atomic<pid_t> m_pid{-1};
};

}  // namespace fk::platform
