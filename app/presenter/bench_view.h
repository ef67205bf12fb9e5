#pragma once

// What the bench presenter needs of the FlashKit Bench window: a small interface per toolkit, in
// plain values (UTF-8 or file-name bytes, ints, enums), as the one-recorder window's view.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "feedback/operator_feedback.h"
#include "platform/message_box.h"
#include "upgrade/session_events.h"

namespace fk {
struct StationPlan;
}

namespace fk::bench {

// One line of the list: a recorder as the station serves it.
struct BenchRow {
    std::string mac;
    std::string address;
    std::string state;
    int percent = 0;
    std::string rate;     // "--" until known
    std::string outcome;  // the text its last transfer ended with
    bool operator==(const BenchRow&) const = default;
};

class BenchView {
  public:
    virtual ~BenchView() = default;

    // The card list, as the window's; the operator's choice comes back through CardChosen.
    virtual void SetCards(const std::vector<std::string>& entries, int selected) = 0;
    virtual void SetHostAddressText(const std::string& text) = 0;

    // The three MAC boxes, octets 3 to 5 (box 0 to 2), and the recorders named so far.
    virtual std::string MacText(int box) const = 0;
    virtual void ClearMacs() = 0;
    virtual void SetRecorders(const std::vector<std::string>& macs) = 0;

    // The image: which page is shown and its path box, as file-name bytes.
    virtual ImagePage CurrentPage() const = 0;
    virtual std::string PathText(ImagePage page) const = 0;
    virtual void SetPathText(ImagePage page, const std::string& path) = 0;

    virtual bool Learn() const = 0;
    virtual int AtOnce() const = 0;
    virtual std::string PoolText() const = 0;

    // The list and its summary line, redrawn whole.
    virtual void SetRows(const std::vector<BenchRow>& rows) = 0;
    virtual void SetSummary(const std::string& text) = 0;
    // Start or Stop is offered; the set-up takes input only while nothing runs.
    virtual void SetRunning(bool running) = 0;
    // A row that ended, for a screen reader.
    virtual void Announce(const std::string& text) = 0;

    virtual void ShowBox(const std::string& text, const std::string& caption,
                         platform::MessageIcon icon) = 0;
    virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
    // Where "Save report" writes; nothing when the operator cancels.
    virtual std::optional<std::string> ChooseReportFile() = 0;
};

// The station as the bench drives it; its events come back through BenchPresenter::OnEvent on
// the view's thread, in the order the station made them.
class BenchSession {
  public:
    virtual ~BenchSession() = default;
    // A new station serving at most atOnce recorders at once.
    virtual void Start(const StationPlan& plan, std::size_t atOnce) = 0;
    // Ends the station; every event it made, its Ended last, has reached the presenter on return.
    virtual void Stop() = 0;
};

}  // namespace fk::bench
