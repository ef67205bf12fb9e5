#pragma once

// Private test networks: two namespaces ("pc" and "recorder") joined by a veth pair, or a pc and
// a bench of recorders on a bridge, made for one test and deleted with it. Needs root. Nothing
// here ever touches the machine's own namespace beyond creating and deleting the namespaces.

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

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

// The PC's side of a test network: a namespace the calling thread can enter and leave.
class PcNamespace {
  public:
    PcNamespace(const PcNamespace&) = delete;
    PcNamespace& operator=(const PcNamespace&) = delete;

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

    std::string pc, pcLink;

  protected:
    PcNamespace() = default;
    ~PcNamespace() { LeavePc(); }

    // Distinct among the namespaces of every test running at once.
    static std::string NewTag() {
        static std::atomic<int> counter{0};
        return std::to_string(getpid()) + "-" + std::to_string(counter++);
    }

  private:
    int m_home = -1;
};

class NetnsPair : public PcNamespace {
  public:
    // pcAddress is given with its prefix (e.g. "192.168.77.1/24"); the recorder side gets no
    // address, only recorderMac on its link, as a recorder in network-boot mode has.
    explicit NetnsPair(const std::string& pcAddress = "192.168.77.1/24",
                       const std::string& recorderMac = "02:5e:a1:1a:2b:3c") {
        const std::string tag = NewTag();
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

    std::string recorder, recorderLink;

  private:
    void Must(const std::string& command) {
        if (RunCommand(command) != 0) {
            RunCommand("ip netns del " + pc);
            RunCommand("ip netns del " + recorder);
            throw std::runtime_error("test network setup failed: " + command);
        }
    }
};

// A bench of recorders on a switch: the pc namespace and `count` recorder namespaces, each with
// one veth pair into a Linux bridge in a namespace of its own, on the PC's private subnet. Each
// recorder side has no address, only its MAC 02:5e:a1:30:10:NN (NN = 01, 02, ...: a family whose
// images end in series 05), as recorders in network-boot mode switched on in a row.
class NetnsBench : public PcNamespace {
  public:
    struct Recorder {
        std::string ns, link, mac;
        std::string MacTail() const { return mac.substr(9); }  // "30:10:NN", as --mac takes it
    };
    static constexpr int kMaxRecorders = 64;

    explicit NetnsBench(int count, const std::string& pcAddress = "192.168.77.1/24") {
        if (count < 1 || count > kMaxRecorders)
            throw std::invalid_argument("a bench has 1 to 64 recorders");
        const std::string tag = NewTag();
        pc = "fk-pc-" + tag;
        m_switch = "fk-sw-" + tag;
        pcLink = "fkp" + tag.substr(0, 11);
        Must("ip netns add " + pc);
        Must("ip netns add " + m_switch);
        Must("ip -n " + m_switch + " link add br0 type bridge stp_state 0 forward_delay 0");
        Must("ip -n " + m_switch + " link set br0 up");
        Must("ip link add " + pcLink + " netns " + pc + " type veth peer name pc netns " +
             m_switch);
        Must("ip -n " + m_switch + " link set pc master br0 up");
        Must("ip -n " + pc + " link set lo up");
        Must("ip -n " + pc + " addr add " + pcAddress + " dev " + pcLink);
        Must("ip -n " + pc + " link set " + pcLink + " up");
        for (int n = 0; n < count; ++n) {
            char mac[18];
            std::snprintf(mac, sizeof mac, "02:5e:a1:30:10:%02x", n + 1);
            Recorder recorder{"fk-rec-" + tag + "-" + std::to_string(n), "rec0", mac};
            const std::string port = "r" + std::to_string(n);
            Must("ip netns add " + recorder.ns);
            recorders.push_back(recorder);
            Must("ip link add " + recorder.link + " netns " + recorder.ns +
                 " type veth peer name " + port + " netns " + m_switch);
            Must("ip -n " + m_switch + " link set " + port + " master br0 up");
            Must("ip -n " + recorder.ns + " link set lo up");
            Must("ip -n " + recorder.ns + " link set " + recorder.link + " address " + mac);
            Must("ip -n " + recorder.ns + " link set " + recorder.link + " up");
        }
    }

    ~NetnsBench() {
        LeavePc();
        DeleteAll();
    }

    // Another host on the switch that holds address (a recorder's, or one of its own) without
    // ever answering ARP for it, and reaches the pc through a fixed entry. Its namespace.
    std::string AddStranger(const std::string& address) {
        const std::string ns = pc + "-x" + std::to_string(m_strangers.size());
        const std::string port = "x" + std::to_string(m_strangers.size());
        Must("ip netns add " + ns);
        m_strangers.push_back(ns);
        Must("ip link add st0 netns " + ns + " type veth peer name " + port + " netns " + m_switch);
        Must("ip -n " + m_switch + " link set " + port + " master br0 up");
        Must("ip netns exec " + ns + " sysctl -qw net.ipv4.conf.st0.arp_ignore=8");
        // Blind, it does not know a recorder's port: its own are drawn from a range the recorders
        // never use, or one of a flood's 2,000 would be the transfer's own one run in fourteen,
        // and a read request from there is the recorder asking again.
        Must("ip netns exec " + ns + " sysctl -qw net.ipv4.ip_local_port_range='10000 19999'");
        Must("ip -n " + ns + " link set st0 up");
        Must("ip -n " + ns + " addr add " + address + "/32 dev st0");
        const std::string pcAddress = CommandOutput("ip -n " + pc + " -4 -o addr show dev " +
                                                    pcLink + " | awk '{print $4}' | cut -d/ -f1");
        const std::string pcMac = CommandOutput(OnPc("cat /sys/class/net/" + pcLink + "/address"));
        const auto line = [](std::string text) { return text.substr(0, text.find('\n')); };
        Must("ip -n " + ns + " route add " + line(pcAddress) + "/32 dev st0");
        Must("ip -n " + ns + " neigh replace " + line(pcAddress) + " lladdr " + line(pcMac) +
             " nud permanent dev st0");
        return ns;
    }

    std::vector<Recorder> recorders;

  private:
    void DeleteAll() {
        for (const std::string& ns : m_strangers) RunCommand("ip netns del " + ns);
        for (const Recorder& recorder : recorders) RunCommand("ip netns del " + recorder.ns);
        RunCommand("ip netns del " + m_switch);
        RunCommand("ip netns del " + pc);
    }

    void Must(const std::string& command) {
        if (RunCommand(command) != 0) {
            DeleteAll();
            throw std::runtime_error("test bench setup failed: " + command);
        }
    }

    std::string m_switch;
    std::vector<std::string> m_strangers;
};

}  // namespace fk::testing
