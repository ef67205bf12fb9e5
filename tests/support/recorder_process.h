#pragma once

// Child processes for end-to-end tests: the simulated recorder (or the tftp-hpa client) started on
// the recorder side of a NetnsPair, with its output collected and a hard time limit. The child
// runs in its own process group, which is killed if it outlives the limit or the object.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/netns.h"

extern char** environ;

namespace fk::testing {

struct ProcessResult {
    int exitCode = -1;           // -1 when it did not exit by itself
    bool killedAtLimit = false;  // it was still running at the limit and was killed
    std::string out, err;

    // The key=value pairs of the first stdout line whose first word is `tag`, e.g. Line("tftp")
    // ["status"]; empty when there is no such line.
    std::map<std::string, std::string> Line(std::string_view tag) const {
        std::map<std::string, std::string> fields;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string word;
            if (!(words >> word) || word != tag) continue;
            while (words >> word) {
                const auto equals = word.find('=');
                if (equals != std::string::npos)
                    fields[word.substr(0, equals)] = word.substr(equals + 1);
            }
            break;
        }
        return fields;
    }
};

class ChildProcess {
  public:
    // Starts argv[0] (looked up in PATH) at once; it is killed after `limit`.
    ChildProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit)
        : m_deadline(std::chrono::steady_clock::now() + limit) {
        int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        const int failed =
            posix_spawnp(&m_pid, args[0], &actions, &attributes, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        close(outPipe[1]);
        close(errPipe[1]);
        m_out = outPipe[0];
        m_err = errPipe[0];
        if (failed != 0) {
            m_pid = -1;
            CloseReaders();
            throw std::runtime_error("cannot start " + argv[0]);
        }
    }

    ~ChildProcess() {
        if (m_pid > 0) {
            kill(-m_pid, SIGKILL);
            Reap();
        }
        CloseReaders();
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Sends a signal to the child itself (not its group), as an operator's kill would.
    void Signal(int signal) {
        if (m_pid > 0) kill(m_pid, signal);
    }
    // To its whole process group, as a terminal's Ctrl-C or `timeout` sends it.
    void SignalGroup(int signal) {
        if (m_pid > 0) kill(-m_pid, signal);
    }

    // Collects the output until the child exits, killing it at the limit. Call once.
    ProcessResult Wait() {
        ProcessResult result;
        while (m_out >= 0 || m_err >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                m_deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 && !result.killedAtLimit) {
                kill(-m_pid, SIGKILL);
                result.killedAtLimit = true;
            }
            // After a kill the pipes close at once; the short wait only bounds a stray holder.
            const int wait = result.killedAtLimit ? 1000 : static_cast<int>(left.count());
            std::array<pollfd, 2> fds{pollfd{m_out, POLLIN, 0}, pollfd{m_err, POLLIN, 0}};
            const int ready = poll(fds.data(), fds.size(), wait);
            if (ready < 0 && errno != EINTR) break;
            if (ready == 0 && result.killedAtLimit) break;
            Drain(m_out, fds[0].revents, result.out);
            Drain(m_err, fds[1].revents, result.err);
        }
        if (!result.killedAtLimit && m_pid > 0 && std::chrono::steady_clock::now() >= m_deadline) {
            kill(-m_pid, SIGKILL);
            result.killedAtLimit = true;
        }
        const int status = Reap();
        if (WIFEXITED(status) && !result.killedAtLimit) result.exitCode = WEXITSTATUS(status);
        CloseReaders();
        return result;
    }

  private:
    static void Drain(int& fd, short events, std::string& into) {
        if (fd < 0 || events == 0) return;
        char buffer[4096];
        const auto count = read(fd, buffer, sizeof buffer);
        if (count > 0) {
            into.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0 || errno != EINTR) {
            close(fd);
            fd = -1;
        }
    }

    // Waits for the child; once its pipes closed it is exiting or gone, so this is short. A child
    // that closed its output and hangs on is killed at the limit.
    int Reap() {
        int status = 0;
        while (m_pid > 0) {
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid || (done < 0 && errno != EINTR)) break;
            if (std::chrono::steady_clock::now() >= m_deadline) kill(-m_pid, SIGKILL);
            usleep(10000);
        }
        m_pid = -1;
        return status;
    }

    void CloseReaders() {
        if (m_out >= 0) close(m_out);
        if (m_err >= 0) close(m_err);
        m_out = m_err = -1;
    }

    std::chrono::steady_clock::time_point m_deadline;
    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
};

// Where the build put the simulator; the e2e target passes it in.
inline std::string RecorderSimPath() {
#ifdef FLASHKIT_RECORDER_SIM
    return FLASHKIT_RECORDER_SIM;
#else
    return "flashkit-recorder-sim";
#endif
}

// The simulated recorder on the recorder link of `net`, or on one recorder of a bench:
//   ip netns exec <recorder> flashkit-recorder-sim --interface <recorderLink> <arguments...>
// Give it a --timeout below `limit` so that it ends by itself and reports.
class RecorderProcess : public ChildProcess {
  public:
    RecorderProcess(const NetnsPair& net, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds limit)
        : ChildProcess(Command(net.recorder, net.recorderLink, arguments), limit) {}
    RecorderProcess(const NetnsBench::Recorder& recorder, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds limit)
        : ChildProcess(Command(recorder.ns, recorder.link, arguments), limit) {}

  private:
    static std::vector<std::string> Command(const std::string& ns, const std::string& link,
                                            const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{"ip",          "netns", "exec", ns, RecorderSimPath(),
                                      "--interface", link};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
};

// The tftp-hpa client is the independent check of a TFTP server; tests skip without it.
inline bool TftpClientAvailable() {
    return RunCommand("command -v tftp") == 0;
}

// A recorder link needs an address before a plain client can talk; the simulator takes its own.
inline bool GiveRecorderAddress(const NetnsPair& net, const std::string& addressWithPrefix) {
    return RunCommand("ip -n " + net.recorder + " addr add " + addressWithPrefix + " dev " +
                      net.recorderLink) == 0;
}

// Fetches `remoteName` from server:69 in binary mode with the tftp-hpa client, on the recorder
// side, into `localPath`. The client's exit code is not trusted; compare the file.
inline ProcessResult TftpGet(const NetnsPair& net, const std::string& server,
                             const std::string& remoteName, const std::string& localPath,
                             std::chrono::milliseconds limit) {
    ChildProcess client({"ip", "netns", "exec", net.recorder, "tftp", "-m", "binary", server, "-c",
                         "get", remoteName, localPath},
                        limit);
    return client.Wait();
}

}  // namespace fk::testing
