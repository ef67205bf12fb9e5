#include "tools/recorder-sim/options.h"

#include <charconv>
#include <cmath>

namespace fk::sim {

const char* const kHelpText =
    R"(Usage: flashkit-recorder-sim --interface IF [options]

Plays a recorder in network-boot mode on IF, whose MAC address must be 02:5e:a1:xx:yy:zz and
which must have no IPv4 address. Waits for BOOTP replies (op 2, xid "FKT0", chaddr = own MAC)
and, with --fetch, takes the offered address and fetches the offered file by TFTP.

Options:
  --interface IF        the recorder's network interface (required)
  --ask                 ask instead of waiting to be told: broadcast a BOOTP request (op 1, own
                        MAC in chaddr, a random xid) at once and every 0.5 s; only replies
                        with that xid are accepted
  --count N             report after N accepted replies (default 1); without --fetch, then exit
  --timeout SECONDS     bound on the whole run (default 30)
  --period-log FILE     write the time of each accepted reply (monotonic microseconds, one a line)
  --fetch               configure the offered address (/24) and fetch the offered file
  --output FILE         write what was fetched (header block and image) to FILE
  --expect-kind KIND    the header must announce this kind: 1 or system, 2 or data
  --retry SECONDS       repeat the last request or ACK after this long without DATA (default: never)
  --silent-arp          answer no ARP request (arp_ignore 8 on IF), as boot loaders that never
                        do: the PC reaches the recorder only through its own neighbour entry.
                        The server's MAC is taken from the BOOTP reply and fixed in the
                        recorder's table, so the recorder never asks either
Plain TFTP, for comparing servers (no BOOTP; with --fetch's checks and faults):
  --plain-tftp SERVER   fetch --file from the TFTP server at SERVER (A.B.C.D), from the address
                        --address (A.B.C.D, given to IF as /24 for the run), following the
                        port the server answers from
  --file NAME           the file to fetch
  --address ADDRESS     this recorder's own address
Faults, with --fetch:
  --wrong-name NAME     request NAME first, the offered name after a pause of 0.5 s
  --duplicate-acks N    send every ACK N times
  --lose-ack BLOCK      do not acknowledge BLOCK when it first arrives; acknowledge its resend
  --send-error          send a TFTP ERROR when block 2 arrives, then carry on
  --ack-zero            send an ACK of block 0 when block 2 arrives
  --ack-65535           send an ACK of block 65535 when block 2 arrives
  --stop-after BLOCK    go silent after acknowledging BLOCK; exit 0 at the timeout
  --upper-case-name     request the offered name in upper case
  --hold-ack BLOCK      acknowledge BLOCK only after a pause (see --hold); repeats of it that
                        arrive meanwhile are not acknowledged
  --hold SECONDS        the pause of --hold-ack (default 1)
  --ack-repeats         acknowledge every repeated block again, as boot loaders' clients do
                        (with --retry they also repeat their own ACK); an ACK held meanwhile
                        goes out just before, as a copy that was late on the wire
  --drop-final-ack WHEN do not acknowledge the final block: once (acknowledge its resend) or
                        always (then go silent with the whole file; exit 0 at the timeout)
  --restart-at BLOCK    when BLOCK first arrives, request the file again instead of
                        acknowledging it, and start the file afresh
  --ack-delay SECONDS   wait this long before every acknowledgement (fractions allowed, e.g.
                        0.0015); a pause before the header block's alone: --hold-ack 1
  --link-drop-at BLOCK  when BLOCK first arrives, take IF down (its peer loses the carrier),
                        bring it up after --link-drop, then acknowledge BLOCK
  --link-drop SECONDS   the length of --link-drop-at (default 2)
  --new-port-at BLOCK   acknowledge BLOCK and every later block from a new source port
  --help                show this text
  --version             show the version

Output on stdout, one line each:
  bootp replies=N yiaddr=A.B.C.D siaddr=A.B.C.D file=NAME
  ignored not_reply=N wrong_xid=N wrong_chaddr=N malformed=N
  tftp status=complete|stopped|timed_out|failed blocks=N image_bytes=N kind=K size=S
       last_block=N acks_sent=N duplicates=N stale=N strangers=N malformed=N server_errors=N
       silent_data=N retries=N data=N restarts=N link_drops=N
       (one line; kind and size "none" without header)
Bytes of NAME outside printable ASCII, spaces and backslashes are written as \xHH.
Exit status: 0 success, 1 wrong transfer or header, 2 usage, 3 interface or system failure,
4 timed out.
)";

namespace {

bool ParseDottedQuad(const std::string& text, std::uint32_t& address) {
    address = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.', at) : text.size();
        if (dot == std::string::npos) return false;
        unsigned long octet = 0;
        const auto* first = text.data() + at;
        const auto [next, error] = std::from_chars(first, text.data() + dot, octet);
        if (error != std::errc{} || next != text.data() + dot || first == next || octet > 255)
            return false;
        address = address << 8 | static_cast<std::uint32_t>(octet);
        at = dot + 1;
    }
    return address != 0;
}

bool ParseUnsigned(const std::string& text, unsigned long maximum, unsigned long& value) {
    const auto* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    return error == std::errc{} && next == end && !text.empty() && value <= maximum;
}

template <typename Duration>
bool ParseSeconds(const std::string& text, Duration& value) {
    std::size_t used = 0;
    double seconds = 0;
    try {
        seconds = std::stod(text, &used);
    } catch (const std::exception&) {
        return false;
    }
    if (used != text.size() || !std::isfinite(seconds) || seconds < 0 || seconds > 86400)
        return false;
    value = Duration{std::llround(seconds * Duration::period::den / Duration::period::num)};
    return true;
}

class Parser {
  public:
    explicit Parser(const std::vector<std::string>& arguments) : m_arguments(arguments) {}

    ParsedOptions Run() {
        Options options;
        bool needsFetch = false;
        for (m_index = 0; m_index < m_arguments.size(); ++m_index) {
            const auto& name = m_arguments[m_index];
            std::string text;
            unsigned long number = 0;
            if (name == "--help") {
                m_result.help = true;
                return m_result;
            } else if (name == "--version") {
                m_result.version = true;
                return m_result;
            } else if (name == "--fetch") {
                options.fetch = true;
            } else if (name == "--interface") {
                if (!Value(name, options.interface)) return m_result;
            } else if (name == "--count") {
                if (!Number(name, 1, 1000000, number)) return m_result;
                options.count = static_cast<unsigned>(number);
            } else if (name == "--timeout" || name == "--retry") {
                auto& target = name == "--timeout" ? options.timeout : options.retryAfter;
                if (!Value(name, text)) return m_result;
                if (!ParseSeconds(text, target) || (name == "--timeout" && target.count() == 0))
                    return Error(name + " needs a number of seconds, not \"" + text + "\"");
            } else if (name == "--period-log") {
                if (!Value(name, options.periodLog)) return m_result;
            } else if (name == "--output") {
                if (!Value(name, options.output)) return m_result;
                needsFetch = true;
            } else if (name == "--expect-kind") {
                if (!Value(name, text)) return m_result;
                if (text == "1" || text == "system")
                    options.expectKind = 1;
                else if (text == "2" || text == "data")
                    options.expectKind = 2;
                else
                    return Error("--expect-kind is 1 (system) or 2 (data), not \"" + text + "\"");
                needsFetch = true;
            } else if (name == "--wrong-name") {
                if (!Value(name, text)) return m_result;
                options.misbehaviour.wrongName = text;
                needsFetch = true;
            } else if (name == "--duplicate-acks") {
                if (!Number(name, 1, 100, number)) return m_result;
                options.misbehaviour.duplicateAcks = static_cast<unsigned>(number);
                needsFetch = true;
            } else if (name == "--lose-ack" || name == "--stop-after" || name == "--hold-ack" ||
                       name == "--restart-at" || name == "--link-drop-at" ||
                       name == "--new-port-at") {
                if (!Number(name, 0, 65535, number)) return m_result;
                auto& target = name == "--lose-ack"       ? options.misbehaviour.loseAck
                               : name == "--stop-after"   ? options.misbehaviour.stopAfter
                               : name == "--hold-ack"     ? options.misbehaviour.holdAck
                               : name == "--restart-at"   ? options.misbehaviour.restartAt
                               : name == "--link-drop-at" ? options.misbehaviour.linkDropAt
                                                          : options.misbehaviour.newPortAt;
                target = static_cast<std::uint16_t>(number);
                needsFetch = true;
            } else if (name == "--hold" || name == "--link-drop") {
                auto& target =
                    name == "--hold" ? options.misbehaviour.hold : options.misbehaviour.linkDrop;
                if (!Value(name, text)) return m_result;
                if (!ParseSeconds(text, target))
                    return Error(name + " needs a number of seconds, not \"" + text + "\"");
                needsFetch = true;
            } else if (name == "--ack-delay") {
                if (!Value(name, text)) return m_result;
                if (!ParseSeconds(text, options.misbehaviour.ackDelay))
                    return Error(name + " needs a number of seconds, not \"" + text + "\"");
                needsFetch = true;
            } else if (name == "--plain-tftp" || name == "--address") {
                auto& target = name == "--address" ? options.plainAddress : options.plainServer;
                if (!Value(name, text)) return m_result;
                if (!ParseDottedQuad(text, target))
                    return Error(name + " needs an address A.B.C.D, not \"" + text + "\"");
            } else if (name == "--file") {
                if (!Value(name, options.plainFile)) return m_result;
            } else if (name == "--silent-arp") {
                options.silentArp = true;
            } else if (name == "--ask") {
                options.ask = true;
            } else if (name == "--drop-final-ack") {
                if (!Value(name, text)) return m_result;
                if (text == "once")
                    options.misbehaviour.dropFinalAck = FinalAckDrop::Once;
                else if (text == "always")
                    options.misbehaviour.dropFinalAck = FinalAckDrop::Always;
                else
                    return Error("--drop-final-ack is once or always, not \"" + text + "\"");
                needsFetch = true;
            } else if (name == "--ack-repeats") {
                options.misbehaviour.ackRepeats = needsFetch = true;
            } else if (name == "--upper-case-name") {
                options.misbehaviour.upperCaseName = needsFetch = true;
            } else if (name == "--send-error") {
                options.misbehaviour.sendError = needsFetch = true;
            } else if (name == "--ack-zero") {
                options.misbehaviour.ackZero = needsFetch = true;
            } else if (name == "--ack-65535") {
                options.misbehaviour.ack65535 = needsFetch = true;
            } else {
                return Error("unknown option \"" + name + "\"");
            }
        }
        if (options.interface.empty()) return Error("--interface is required");
        const bool plain = options.plainServer != 0;
        if (plain != (options.plainAddress != 0) || plain != !options.plainFile.empty())
            return Error("--plain-tftp, --address and --file go together");
        if (plain && (options.silentArp || options.ask))
            return Error("--plain-tftp asks nobody for an address: no --ask or --silent-arp");
        if (plain) options.fetch = true;
        if (needsFetch && !options.fetch)
            return Error("--output, --expect-kind and the fault options need --fetch");
        m_result.options = std::move(options);
        return m_result;
    }

  private:
    bool Value(const std::string& name, std::string& value) {
        if (m_index + 1 >= m_arguments.size() || m_arguments[m_index + 1].empty()) {
            Error(name + " needs a value");
            return false;
        }
        value = m_arguments[++m_index];
        return true;
    }

    bool Number(const std::string& name, unsigned long minimum, unsigned long maximum,
                unsigned long& value) {
        std::string text;
        if (!Value(name, text)) return false;
        if (!ParseUnsigned(text, maximum, value) || value < minimum) {
            Error(name + " needs a whole number from " + std::to_string(minimum) + " to " +
                  std::to_string(maximum) + ", not \"" + text + "\"");
            return false;
        }
        return true;
    }

    ParsedOptions Error(std::string message) {
        m_result.error = std::move(message);
        return m_result;
    }

    const std::vector<std::string>& m_arguments;
    std::size_t m_index = 0;
    ParsedOptions m_result;
};

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& arguments) {
    return Parser(arguments).Run();
}

}  // namespace fk::sim
