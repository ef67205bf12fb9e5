#pragma once

// A private test network: two namespaces ("pc" and "recorder") joined by a veth pair, made for one
// test and deleted with it. Needs root. Nothing here ever touches the machine's own namespace
// beyond creating and deleting the two namespaces.

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace fk::testing {

inline int RunCommand(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a command prints on standard output (its errors are dropped).
inline std::string CommandOutput(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
        pclose(pipe);
    }
    return text;
}

class NetnsPair {
  public:
    // pcAddress is given with its prefix (e.g. "192.168.77.1/24"); the recorder side gets no
    // address, only recorderMac on its link, as a recorder in network-boot mode has.
    explicit NetnsPair(const std::string& pcAddress = "192.168.77.1/24",
                       const std::string& recorderMac = "02:5e:a1:1a:2b:3c") {
        static std::atomic<int> counter{0};
        const std::string tag = std::to_string(getpid()) + "-" + std::to_string(counter++);
        pc = "fk-pc-" + tag;
        recorder = "fk-rec-" + tag;
        // Interface names are limited to 15 characters.
        pcLink = "fkp" + tag.substr(0, 11);
        recorderLink = "fkr" + tag.substr(0, 11);
        Must("ip netns add " + pc);
        Must("ip netns add " + recorder);
        Must("ip link add " + pcLink + " netns " + pc + " type veth peer name " + recorderLink +
             " netns " + recorder);
        Must("ip -n " + pc + " link set lo up");
        Must("ip -n " + recorder + " link set lo up");
        Must("ip -n " + pc + " addr add " + pcAddress + " dev " + pcLink);
        Must("ip -n " + pc + " link set " + pcLink + " up");
        Must("ip -n " + recorder + " link set " + recorderLink + " address " + recorderMac);
        Must("ip -n " + recorder + " link set " + recorderLink + " up");
    }

    ~NetnsPair() {
        LeavePc();
        RunCommand("ip netns del " + pc);
        RunCommand("ip netns del " + recorder);
    }

    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    // Moves the calling thread into the pc namespace; threads it starts afterwards live there too.
    void EnterPc() {
        if (m_home >= 0) return;
        m_home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/var/run/netns/" + pc).c_str(), O_RDONLY | O_CLOEXEC);
        if (m_home < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
            if (target >= 0) close(target);
            throw std::runtime_error("cannot enter namespace " + pc);
        }
        close(target);
    }

    void LeavePc() {
        if (m_home < 0) return;
        setns(m_home, CLONE_NEWNET);
        close(m_home);
        m_home = -1;
    }

    // Prefix for running a command on the pc side.
    std::string OnPc(const std::string& command) const {
        return "ip netns exec " + pc + " " + command;
    }

    std::string pc, recorder, pcLink, recorderLink;

  private:
    void Must(const std::string& command) {
        if (RunCommand(command) != 0) {
            RunCommand("ip netns del " + pc);
            RunCommand("ip netns del " + recorder);
            throw std::runtime_error("test network setup failed: " + command);
        }
    }

    int m_home = -1;
};

}  // namespace fk::testing
