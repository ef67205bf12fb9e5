#pragma once

// What an upload session reports: typed facts, never texts. Each front end turns them into what
// its operator sees and hears (the window's status line, cues and boxes; the terminal's lines
// and exit status; the history's rows).

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "net/ipv4.h"
#include "net/mac.h"
#include "platform/net_privileges.h"
#include "platform/udp_socket.h"

namespace fk {

class ImageBlocks;

// Image pages of the window: which image an upload serves.
enum class ImagePage : int { System = 0, Data = 1 };

// The selected card as one value: its address and its interface index are only ever read
// together, so a card change cannot pair one card's address with the other card. Aligned to its
// size, so that every compiler keeps an atomic one lock-free.
struct alignas(8) SelectedCard {
    Ipv4 hostAddress = 0;
    int ifindex = 0;
};

// How a recorder's upload ended, as the front ends and the history keep it.
// Restarted: the recorder asked again mid-transfer, so the transfer it left is over.
enum class Outcome { Completed, Failed, Aborted, Interrupted, NoRequest, Unconfirmed, Restarted };

namespace event {

// A recorder's upload begins: an upload's with the station (before any socket opens), a
// station's recorder's with each read request it makes. Its end is a RecorderEnded.
struct Started {
    SelectedCard card;
    MacAddress mac{};
    std::string imagePath;
    ImagePage page = ImagePage::System;
    Ipv4 recorderAddress = 0;  // 0: the one the address rule gives
};
// A socket could not be opened (step 2: made, step 3: bound); the upload has not begun.
struct StartFailed {
    enum class Socket { Bootp, Tftp } socket = Socket::Bootp;
    int step = 2;
    int error = 0;
    platform::NetHelperProblem helperProblem = platform::NetHelperProblem::None;
};
// Both ports are open and the announcements begin.
struct Announcing {};
// The card has no address to announce from (cardName empty: the card itself has gone).
struct WaitingForAddress {
    std::string cardName;
};
// The card has its address again: the announcements go on.
struct AddressBack {};
// A read request for the boot file was answered with the header block; the image's blocks come
// from image.
struct RequestAccepted {
    platform::Endpoint recorder;
    std::uint64_t imageSize = 0;
    std::shared_ptr<ImageBlocks> image;
};
// The image could not be opened when a read request came.
struct ImageUnmeasurable {};
// A stray datagram on the TFTP port: a read request for another name, or an unknown opcode.
// At most one of them is reported per interval.
struct StrayDatagram {
    enum class Kind { WrongFileName, Unknown } kind = Kind::Unknown;
};
// The next block of the image went out for the first time.
struct BlockServed {
    std::size_t length = 0;
};
// The recorder acknowledged blockNo of blockTotal (the header block counts).
struct Acknowledged {
    std::uint64_t blockNo = 0, blockTotal = 0;
};
// The share of the transfer done, as the progress bar shows it; a new percent at most every
// few tens of milliseconds, 100 always.
struct Progress {
    int percent = 0;
};
// The block in flight went out again on the resend time-out (sent: it left the card).
struct Resent {
    int retry = 0;
    bool sent = true;
};
// A block could not be sent.
struct SendFailed {};
// The image could not be served from: the block's content was not sent.
struct FileError {
    enum class Kind {
        OpenFailed,
        NotRegular,
        Changed,
        SeekFailed,
        ReadFailed
    } kind = Kind::ReadFailed;
    std::string path;
    int error = 0;    // errno of OpenFailed and ReadFailed (0: read past the end)
    int blockNo = 0;  // of SeekFailed
};
// The recorder acknowledged the final block.
struct Completed {};
// The transfer ended without the recorder's last acknowledgement.
struct Failed {
    enum class Reason { SendTimeOut, AckTimeOut, ReceiveFailed, HeaderWait } reason;
    int error = 0;  // errno of ReceiveFailed
};
// Every block went out, but the final one was never acknowledged: the recorder may be writing.
struct Unconfirmed {};
// A station's recorder not served as it asked, or not yet: its place waits (more named than
// served at once; its turn is told by an Announcing of its own), no place or no address was left
// for a recorder learnt (turned away), or one answered never asked in time and was let go.
// Readdressed: another device answered for its address (held), so it has the next one.
// AddressHeld: another device answers for the address (held) of a recorder that has no other to
// take (an upload's): it is not served, and its upload ends failed.
struct Admission {
    enum class Kind {
        Waiting,
        NoPlace,
        NoAddress,
        LetGo,
        Readdressed,
        AddressHeld
    } kind = Kind::Waiting;
    Ipv4 held = 0;
};
// A recorder's upload is over: its one outcome, and what ended it (the last fact of its
// transfer, its recorder asking again, its address held, a port that never opened, or the
// station's stop, whose outcome the stop gave).
struct RecorderEnded {
    struct AskedAgain {};
    struct AddressHeld {
        Ipv4 address = 0;
    };
    struct Stopped {};
    using Reason =
        std::variant<Completed, Failed, Unconfirmed, StartFailed, AskedAgain, AddressHeld, Stopped>;
    Outcome outcome = Outcome::Failed;
    Reason reason;
};
// The station is over (by itself or stopped): the controls are idle again. Once per station.
struct Ended {};

}  // namespace event

using SessionEvent =
    std::variant<event::Started, event::StartFailed, event::Announcing, event::WaitingForAddress,
                 event::AddressBack, event::RequestAccepted, event::ImageUnmeasurable,
                 event::StrayDatagram, event::BlockServed, event::Acknowledged, event::Progress,
                 event::Resent, event::SendFailed, event::FileError, event::Completed,
                 event::Failed, event::Unconfirmed, event::Admission, event::RecorderEnded,
                 event::Ended>;

}  // namespace fk
