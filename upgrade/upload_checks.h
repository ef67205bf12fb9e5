#pragma once

// The checks made when an upload is asked for, before any socket opens: the window's Upload
// button and the terminal's upload and station commands all run them, in this order. A refusal
// says what was refused and why, in facts; each front end words it (feedback/refusal_texts.h).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "image/system_image_check.h"
#include "net/adapter_list.h"
#include "net/address_plan.h"
#include "net/device_address.h"
#include "net/ipv4.h"
#include "net/mac.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "upgrade/session_events.h"
#include "upgrade/station_session.h"
#include "upgrade/tftp_engine.h"

namespace fk {

// The BOOTP file field holds 128 bytes and must end with a zero for the recorder to read it.
inline constexpr std::size_t kMaxBootFileNameLength = 127;
// Block numbers are 16 bits and block 1 is the header: the last block that can be served is
// 65535, and it must be short.
inline constexpr std::uint64_t kMaxImageSize = 65534ull * 512 - 1;

bool BootFileNameFits(std::string_view bootFileName);
bool ImageSizeFits(std::uint64_t imageSize);

// Reads the three typed octets into octets 3 to 5 of mac, each stored as soon as it parses, so
// a refusal of the second leaves the first stored. The index (0 to 2) of the refused text, or
// nothing when all three parse.
std::optional<std::size_t> ParseRecorderOctets(const std::array<std::string, 3>& texts,
                                               MacAddress& mac);

// Whether the system image at path is built for the recorder with these MAC octets 3 to 5.
struct SystemImageVerdict {
    bool fits = false;
    TrailerReadResult read;  // a failure: the trailer could not be read
};
SystemImageVerdict CheckSystemImageFile(const std::string& path, std::uint8_t octet3,
                                        std::uint8_t octet4, std::uint8_t octet5);

struct UploadRefusal {
    enum class Reason {
        ImageMissing,
        WrongRecorder,
        NameTooLong,           // the boot file name does not fit the BOOTP file field
        TooLarge,              // the image has more blocks than block numbers
        AddressUnusable,       // the recorder's address is no host address of the card's subnet
        AddressHeld,           // the recorder's address is somebody else's
        NoAddressForRecorder,  // a bench's: no address is left for a recorder named
        NoAddressLeft          // a bench's: none for any recorder that may ask
    };
    Reason reason = Reason::ImageMissing;
    std::string imagePath;
    TrailerReadResult trailerRead;            // a failure is told before the refusal
    std::string bootFileName;                 // of NameTooLong
    Ipv4 recorder = 0;                        // of AddressUnusable and AddressHeld
    SubnetPlace place = SubnetPlace::Inside;  // of AddressUnusable
    AddressHolder holder;                     // of AddressHeld
    MacAddress mac{};                         // of NoAddressForRecorder
    std::optional<AddressRange> pool;         // of NoAddress...: where addresses were sought,
    std::string cardName;                     // else in the subnet of this card
};

// A station's bench of recorders, each given an address of its own from the card's subnet,
// where an upload's one recorder has the address rule's.
struct BenchChoices {
    std::vector<MacAddress> named;  // none: recorders are served as they ask
    std::optional<AddressRange> pool;
};

// The operator's choices for one upload, as a front end took them.
struct UploadChoices {
    ImagePage page = ImagePage::System;
    std::string imagePath;
    MacAddress mac = kRecorderMacPrefix;  // of an upload's one recorder
    SelectedCard card;
    // The card has no address yet and the front end waits for one, then plans again: the
    // addresses the recorders would get are not checked now.
    bool deferAddressCheck = false;
    std::optional<BenchChoices> bench{};
};

struct BenchPlan {
    std::vector<StationRecorder> named;  // each at the address it is given
    StationAddressRules rules;           // for the recorders learnt as they ask
};

// An upload as checked at Upload and fixed for its run.
struct UploadPlan {
    ServedFile file;
    MacAddress mac = kRecorderMacPrefix;
    SelectedCard card;
    std::uint64_t imageSize = 0;
    std::optional<BenchPlan> bench{};
};

// Every check of an Upload, in order (image, then the recorders' addresses): the plan, or the
// first refusal. The image is checked for every recorder named; a bench that names none checks
// the file alone and that a system image fits some recorder (a recorder learnt is checked as it
// asks). The recorder's address is free for an upload; a bench's named recorders each get one,
// and one is left for a recorder learnt when none is named. The MACs are parsed by each front
// end from its own inputs before this.
std::variant<UploadPlan, UploadRefusal> MakeUploadPlan(const UploadChoices& choices,
                                                       platform::AdapterSource& adapters,
                                                       const AdapterList& known,
                                                       platform::NeighbourTable& neighbours);

}  // namespace fk
