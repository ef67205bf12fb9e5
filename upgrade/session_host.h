#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "net/ipv4.h"
#include "net/mac.h"
#include "platform/message_box.h"
#include "platform/udp_socket.h"

namespace fk {

class ServedImage;

// Image pages of the window: which image an upload serves.
enum class ImagePage : int { System = 0, Data = 1 };

// The selected card as one value: its address and its interface index are only ever read
// together, so a card change cannot pair one card's address with the other card. Aligned to its
// size, so that every compiler keeps an atomic one lock-free.
struct alignas(8) SelectedCard {
    Ipv4 hostAddress = 0;
    int ifindex = 0;
};

// What the upload workers read from, and report to, the window. Every read is safe from a
// worker thread without the GUI thread's help; every report may be made from any thread and
// takes effect on the window in call order.
class SessionHost {
  public:
    virtual ~SessionHost() = default;

    // Reads.
    virtual ImagePage ActivePage() const = 0;
    virtual std::string BootFileName(ImagePage page) const = 0;  // bare name, lower case
    virtual std::string ImagePath(ImagePage page) const = 0;     // path to open
    virtual SelectedCard Card() const = 0;
    virtual MacAddress DeviceMac() const = 0;  // captured at Upload

    // Reports.
    virtual void ShowStatus(const std::string& text) = 0;
    virtual void SetProgress(int percent) = 0;
    virtual void PlayCue(int cue) = 0;  // cue 3 returns when the cue has ended
    // Never waits for the operator: a worker must not be held by a box. An empty caption asks
    // for the plain box, captioned with the application title.
    virtual void ShowMessage(const std::string& text, const std::string& caption,
                             platform::MessageIcon icon) = 0;
    // The session has ended (completed, aborted, failed to start): restore the idle controls.
    // Called once per upload, from the thread that stopped it.
    virtual void SessionEnded() = 0;

    // Facts of the upload for its record and for the terminal; the window shows none of them.
    // Called from whichever thread the session or its workers run on.
    virtual void UploadStarted() {}
    // A read request for the boot file was answered with the header block; the image's blocks
    // come from image.
    virtual void RequestAccepted(const platform::Endpoint& /*recorder*/,
                                 std::uint64_t /*imageSize*/,
                                 const std::shared_ptr<ServedImage>& /*image*/) {}
    // The image's bytes, block by block in order, each once as it is first served.
    virtual void BlockServed(std::span<const std::uint8_t> /*content*/) {}
    // blockNo of blockTotal blocks (the header block counts) is acknowledged.
    virtual void BlockAcknowledged(std::uint64_t /*blockNo*/, std::uint64_t /*blockTotal*/) {}
    virtual void BlockResent() {}
    // The session ends the upload by itself: completed, or failed with the text it shows. An
    // upload stopped from outside (Abort, the window closed) ends without this.
    virtual void UploadFinished(bool /*completed*/, const std::string& /*text*/) {}
};

}  // namespace fk
