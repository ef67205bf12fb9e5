// flashkit-net-helper: holds the two network privileges an upload needs (binding UDP ports 67 and
// 69, changing the neighbour table) so that the window holds none. The window starts it with one
// end of a socket pair on descriptor 3 and talks to it in the fixed-size messages of protocol.h.
// Only group members may run it (root:flashkit 0750); its file capabilities are exactly
// cap_net_bind_service and cap_net_admin. It runs in a session of its own and ignores the signals
// that end a terminal's jobs, so that the window's end, however it comes, reaches it as the end
// of its channel and it deletes its entries; what a SIGKILL leaves, a helper still running in the
// namespace (or the next to start) sweeps.

#include <fcntl.h>
#include <linux/netlink.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "net-helper/protocol.h"
#include "net-helper/service.h"

namespace {

using fk::nethelper::kChannelFd;

// Nothing of the caller's may steer the helper: no environment, no descriptor but the channel,
// no further privileges for anything it might run, and no tracing or core dump of its memory.
bool ShedInheritance() {
    if (clearenv() != 0) return false;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return false;
    struct stat channel {};
    if (fstat(kChannelFd, &channel) != 0 || !S_ISSOCK(channel.st_mode)) return false;
    return close_range(0, kChannelFd - 1, 0) == 0 && close_range(kChannelFd + 1, ~0U, 0) == 0;
}

// Out of the caller's session and process group: a Ctrl-C, a hang-up or a `timeout` sent to the
// window's group must end the window only, whose end then closes the channel.
bool LeaveTheCallersSession() {
    if (setsid() < 0) return false;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        if (sigaction(signal, &ignore, nullptr) != 0) return false;
    }
    return true;
}

// Only the calls the service makes; any other call ends the helper at once. Sockets only of the
// two kinds it opens: UDP for a bind, route netlink for the neighbour table (a probe's time is read
// from the clock, and its end waited for beside the channel); of the socket options only the one
// that binds a socket to its card. The entry record, opened before, is read, written and locked
// (the whole file, and each slot with an open file description lock), never opened.
bool AllowOnlyTheServiceCalls() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (!filter) return false;
    bool ok = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS) == 0;
    for (const int call : {SCMP_SYS(recvfrom),     SCMP_SYS(recvmsg),       SCMP_SYS(sendto),
                           SCMP_SYS(sendmsg),      SCMP_SYS(bind),          SCMP_SYS(close),
                           SCMP_SYS(brk),          SCMP_SYS(mmap),          SCMP_SYS(munmap),
                           SCMP_SYS(mremap),       SCMP_SYS(madvise),       SCMP_SYS(futex),
                           SCMP_SYS(rt_sigreturn), SCMP_SYS(clock_gettime), SCMP_SYS(ppoll),
                           SCMP_SYS(pread64),      SCMP_SYS(pwrite64),      SCMP_SYS(flock),
                           SCMP_SYS(exit),         SCMP_SYS(exit_group)}) {
        ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
    }
    const auto withoutFlags = static_cast<scmp_datum_t>(~(SOCK_CLOEXEC | SOCK_NONBLOCK));
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(socket), 2,
                                SCMP_A0(SCMP_CMP_EQ, AF_INET),
                                SCMP_A1(SCMP_CMP_MASKED_EQ, withoutFlags, SOCK_DGRAM)) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(socket), 3,
                                SCMP_A0(SCMP_CMP_EQ, AF_NETLINK),
                                SCMP_A1(SCMP_CMP_MASKED_EQ, withoutFlags, SOCK_RAW),
                                SCMP_A2(SCMP_CMP_EQ, NETLINK_ROUTE)) == 0;
    for (const int command : {F_OFD_GETLK, F_OFD_SETLK}) {
        ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(fcntl), 1,
                                    SCMP_A1(SCMP_CMP_EQ, static_cast<scmp_datum_t>(command))) == 0;
    }
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(setsockopt), 2,
                                SCMP_A1(SCMP_CMP_EQ, SOL_SOCKET),
                                SCMP_A2(SCMP_CMP_EQ, SO_BINDTOIFINDEX)) == 0;
    ok = ok && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ok;
}

}  // namespace

int main() {
    if (!ShedInheritance() || !LeaveTheCallersSession()) return EXIT_FAILURE;
    fk::nethelper::NetService service;
    if (service.JoinNamespace() != 0 || !AllowOnlyTheServiceCalls()) return EXIT_FAILURE;
    fk::nethelper::Serve(kChannelFd, service);
    return EXIT_SUCCESS;
}
