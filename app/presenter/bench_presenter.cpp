#include "app/presenter/bench_presenter.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <variant>

#include "cli/macs_file.h"
#include "feedback/refusal_texts.h"
#include "net-helper/protocol.h"
#include "net/address_plan.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "upgrade/overloaded.h"
#include "upgrade/upload_checks.h"
#include "upgrade/upload_outcome.h"
#include "upgrade/upload_station.h"

namespace fk::bench {

namespace {

using Clock = std::chrono::steady_clock;
using platform::MessageIcon;

// Where the window remembers its images: the bench starts from the same ones.
constexpr const char* kImageFilesGroup = "Files";
const char* SettingName(ImagePage page) {
    return page == ImagePage::System ? "SystemFile" : "FontFile";
}

constexpr const char* kCloseQuestion = "Transfers are running. Stop them and close FlashKit Bench?";

// What a history row passes on goes nowhere: the list shows the events itself.
class QuietHost final : public SessionHost {
  public:
    void OnEvent(const SessionEvent&) override {}
};

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

}  // namespace

// One recorder of the run as the list shows it and the history records it.
struct BenchPresenter::Row {
    StationRecorder recorder;
    bool named = false;
    std::string state = "announcing";
    std::optional<history::Outcome> outcome;  // of its last transfer
    std::string outcomeText;
    bool completedOnce = false;
    cli::TransferProgress progress;  // of its last transfer
    std::unique_ptr<QuietHost> quiet = std::make_unique<QuietHost>();
    std::unique_ptr<history::RecordingSessionHost> recording;  // of its current transfer
};

BenchPresenter::BenchPresenter(const BenchServices& services)
    : m_services(services), m_view(services.view) {}

BenchPresenter::~BenchPresenter() = default;

void BenchPresenter::Open() {
    m_cards = BuildAdapterList(m_services.adapters.List());
    CardChosen(m_cards.empty() ? -1 : 0);
    m_view.SetCards(AdapterEntries(m_cards), m_selected);
    for (const ImagePage page : {ImagePage::System, ImagePage::Data}) {
        try {
            m_view.SetPathText(page, m_services.settings.Read(kImageFilesGroup, SettingName(page)));
        } catch (const std::runtime_error& error) {
            Refusal(error.what());
        }
    }
    ShowRecorders();
    m_view.SetRunning(false);
    m_view.SetSummary(Summary());
}

void BenchPresenter::Close() {
    if (m_running) StopPressed();
}

bool BenchPresenter::CloseRequested() {
    if (!m_running) return true;
    if (!m_view.AskYesNo(kCloseQuestion, m_services.applicationTitle)) return false;
    StopPressed();
    return true;
}

void BenchPresenter::CardChosen(int index) {
    m_selected = index;
    const AdapterRecord card = SelectedAdapter(m_cards, m_selected);
    const auto entries = AdapterEntries(m_cards);
    const std::string entry =
        index >= 0 && index < static_cast<int>(entries.size()) ? entries[index] : "";
    m_view.SetHostAddressText(
        FormatDottedQuad(HostAddressFor(card, entry, &m_services.tcpipConfig)));
}

// --- The recorders named ---

void BenchPresenter::ShowRecorders() {
    std::vector<std::string> macs;
    for (const MacAddress& mac : m_recorders) macs.push_back(FormatMac(mac));
    m_view.SetRecorders(macs);
}

bool BenchPresenter::AddMacs(const std::vector<std::string>& texts) {
    auto macs = cli::RecorderMacs(texts);
    if (const auto* refusal = std::get_if<std::string>(&macs)) {
        Refusal(*refusal);
        return false;
    }
    for (const MacAddress& mac : std::get<std::vector<MacAddress>>(macs)) {
        if (std::find(m_recorders.begin(), m_recorders.end(), mac) == m_recorders.end())
            m_recorders.push_back(mac);
    }
    ShowRecorders();
    return true;
}

void BenchPresenter::AddPressed() {
    MacAddress mac = kRecorderMacPrefix;
    if (ParseRecorderOctets({m_view.MacText(0), m_view.MacText(1), m_view.MacText(2)}, mac)) {
        m_view.ShowBox(kMacRefusalText, kMacRefusalCaption, MessageIcon::Stop);
        return;
    }
    if (AddMacs({FormatMac(mac)})) m_view.ClearMacs();
}

void BenchPresenter::AddLines(const std::string& text) {
    std::vector<std::string> texts;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (auto named = cli::MacsLineText(line)) texts.push_back(std::move(*named));
    }
    AddMacs(texts);
}

void BenchPresenter::LoadPressed(const std::string& path) {
    auto read = cli::ReadMacsFile(path);
    if (const auto* error = std::get_if<std::string>(&read)) {
        Refusal(*error);
        return;
    }
    AddMacs(std::get<std::vector<std::string>>(read));
}

void BenchPresenter::RemovePressed(std::size_t index) {
    if (index >= m_recorders.size()) return;
    m_recorders.erase(m_recorders.begin() + static_cast<std::ptrdiff_t>(index));
    ShowRecorders();
}

void BenchPresenter::Refusal(const std::string& text, const std::string& caption) {
    m_view.ShowBox(text, caption.empty() ? m_services.applicationTitle : caption,
                   MessageIcon::Stop);
}

// --- Start and Stop ---

// The station's plan with the checks of `flashkit-cli station`, in its order and words; nothing
// after a refusal's box.
std::optional<StationPlan> BenchPresenter::Plan() {
    const bool learn = m_view.Learn();
    const auto atOnce = static_cast<std::size_t>(std::clamp(m_view.AtOnce(), 1, 64));
    if (m_recorders.empty() && !learn) {
        Refusal("Name the recorders, or serve any that asks with \"learn recorders that ask\".");
        return std::nullopt;
    }
    // The network helper keeps no more entries than that for a card.
    if (m_recorders.size() > nethelper::kMaxRecorderEntries ||
        (learn && m_recorders.size() + atOnce > nethelper::kMaxRecorderEntries)) {
        Refusal(std::to_string(m_recorders.size()) + " named recorder(s)" +
                (learn ? " and " + std::to_string(atOnce) + " learnt" : "") + ": at most " +
                std::to_string(nethelper::kMaxRecorderEntries) +
                " recorders have entries at once.");
        return std::nullopt;
    }
    // The cards as they are now, the one chosen kept by name.
    const std::string chosen = SelectedAdapter(m_cards, m_selected).adapterName;
    m_cards = BuildAdapterList(m_services.adapters.List());
    const auto kept = std::find_if(m_cards.begin(), m_cards.end(),
                                   [&](const AdapterRecord& c) { return c.adapterName == chosen; });
    m_selected = kept != m_cards.end() ? static_cast<int>(kept - m_cards.begin())
                 : m_cards.empty()     ? -1
                                       : 0;
    m_view.SetCards(AdapterEntries(m_cards), m_selected);
    const AdapterRecord card = SelectedAdapter(m_cards, m_selected);
    const Ipv4 host = ParseDottedQuad(card.ipAddress);
    if (host == 0) {
        Refusal(CardLabel(card) + " has no IPv4 address to serve from.");
        return std::nullopt;
    }
    std::optional<AddressRange> pool;
    if (const std::string text = m_view.PoolText(); !text.empty()) {
        pool = ParseAddressRange(text);
        const Ipv4 mask = ParseDottedQuad(card.ipMask);
        if (!pool || SubnetPlaceOf(pool->first, host, mask) != SubnetPlace::Inside ||
            SubnetPlaceOf(pool->last, host, mask) != SubnetPlace::Inside) {
            Refusal("Address pool " + text + ": give FIRST-LAST, both inside the subnet of " +
                    CardLabel(card) + ", e.g. 192.168.1.50-192.168.1.99.");
            return std::nullopt;
        }
    }
    const ImagePage page = m_view.CurrentPage();
    const std::string image = m_view.PathText(page);
    const UploadChoices choices{page,
                                image,
                                kRecorderMacPrefix,
                                {host, static_cast<int>(card.index)},
                                false,
                                BenchChoices{m_recorders, pool}};
    auto planned = MakeUploadPlan(choices, m_services.adapters, m_cards, m_services.neighbours);
    if (const auto* refusal = std::get_if<UploadRefusal>(&planned)) {
        const RefusalTexts texts = TextsOf(*refusal);
        if (!texts.fileError.empty()) Refusal(texts.fileError);
        Refusal(texts.text, texts.caption);
        return std::nullopt;
    }
    const UploadPlan& upload = std::get<UploadPlan>(planned);
    StationPlan plan = UploadStationPlan(upload, m_services.adapters);
    plan.learn = learn;
    // On the station's thread: a recorder learnt gets the next free address if the image fits.
    plan.nextAddress = [page, image, rules = upload.bench->rules, ifindex = choices.card.ifindex,
                        &neighbours = m_services.neighbours](
                           const MacAddress& mac,
                           const std::set<Ipv4>& given) -> std::optional<Ipv4> {
        if (page == ImagePage::System && !CheckSystemImageFile(image, mac[3], mac[4], mac[5]).fits)
            return std::nullopt;
        return NextStationAddress(rules, given, [&neighbours, ifindex](Ipv4 address) {
            return neighbours.Find(ifindex, address);
        });
    };
    try {
        m_services.settings.Write(kImageFilesGroup, SettingName(page), image);
    } catch (const std::runtime_error& error) {
        Refusal(error.what());
    }
    m_page = page;
    m_image = image;
    m_card = choices.card;
    return plan;
}

void BenchPresenter::StartPressed() {
    if (m_running) return;
    auto plan = Plan();
    if (!plan) return;
    m_rows.clear();
    m_turnedAway.clear();
    for (const StationRecorder& recorder : plan->named) {
        Row& row = m_rows[recorder.address];
        row.recorder = recorder;
        row.named = true;
    }
    m_allCompletedTold = false;
    m_running = true;
    m_view.SetRunning(true);
    Changed();
    m_services.session.Start(*plan, static_cast<std::size_t>(std::clamp(m_view.AtOnce(), 1, 64)));
}

// As Ctrl-C ends the terminal's station: entries removed, ports closed, rows interrupted.
void BenchPresenter::StopPressed() {
    if (!m_running) return;
    m_services.cues.Silence();
    m_services.session.Stop();
    Tick();
}

// --- The station's events ---

BenchPresenter::Row& BenchPresenter::RowOf(const StationRecorder& recorder) {
    Row& row = m_rows[recorder.address];
    row.recorder = recorder;
    return row;
}

// Every transfer is a row of the history of its own, begun at its Started; its request shows.
void BenchPresenter::Began(Row& row, const event::RequestAccepted& accepted) {
    row.progress.Begin(accepted.imageSize, Clock::now());
    row.outcome.reset();
    row.outcomeText.clear();
    row.state = "transferring";
}

void BenchPresenter::Ended(Row& row, const event::RecorderEnded& end) {
    const history::Outcome outcome = end.outcome;
    // Cut short by the stop: the row says so, and the summary counts no end of its own.
    if (std::holds_alternative<event::RecorderEnded::Stopped>(end.reason)) {
        row.state = history::OutcomeName(outcome);
        row.outcomeText = FinalTextOf(end);
        return;
    }
    // It asked again: its next transfer follows at once.
    if (std::holds_alternative<event::RecorderEnded::AskedAgain>(end.reason)) return;
    row.outcome = outcome;
    row.outcomeText = FinalTextOf(end);
    row.state = history::OutcomeName(outcome);
    row.progress.End(outcome == history::Outcome::Completed, Clock::now());
    row.completedOnce |= outcome == history::Outcome::Completed;
    m_view.Announce(FormatMac(row.recorder.mac) + " " + row.state + ": " + row.outcomeText);
    if (outcome != history::Outcome::Completed) m_services.cues.Play(Cue::Error);
    const bool allNamedDone =
        std::any_of(m_rows.begin(), m_rows.end(), [](const auto& e) { return e.second.named; }) &&
        std::all_of(m_rows.begin(), m_rows.end(), [](const auto& entry) {
            return !entry.second.named || entry.second.completedOnce;
        });
    if (allNamedDone && !m_allCompletedTold) {
        m_allCompletedTold = true;
        m_services.cues.Play(Cue::Completed);
    }
}

// The station is over: a transfer its stop cut short had its end from it already.
void BenchPresenter::StationEnded() {
    for (auto& [address, row] : m_rows) row.recording.reset();
    m_running = false;
    m_view.SetRunning(false);
}

void BenchPresenter::Admitted(const StationRecorder& recorder, const event::Admission& admission) {
    using Kind = event::Admission::Kind;
    switch (admission.kind) {
        case Kind::Waiting:
            RowOf(recorder).state = "waiting";
            return;
        case Kind::LetGo:
            m_rows.erase(recorder.address);
            return;
        case Kind::Readdressed: {
            auto moved = m_rows.extract(admission.held);
            Row& row = m_rows[recorder.address];
            if (!moved.empty()) row = std::move(moved.mapped());
            row.recorder = recorder;
            return;
        }
        case Kind::AddressHeld:
            RowOf(recorder).state = "address held";
            return;
        case Kind::NoPlace:
        case Kind::NoAddress:
            m_turnedAway[recorder.mac] =
                admission.kind == Kind::NoPlace ? "no place free" : "no address left for it";
            return;
    }
}

// The station's own events: its ports and its end.
void BenchPresenter::StationEvent(const SessionEvent& event) {
    const OperatorFeedback feedback = FeedbackFor(event);
    if (std::holds_alternative<event::Ended>(event)) {
        StationEnded();
    } else if (std::holds_alternative<event::StartFailed>(event) ||
               std::holds_alternative<event::Failed>(event)) {
        m_services.cues.Play(Cue::Error);
        Refusal(feedback.status.value_or("The ports failed"));
        if (feedback.box) Refusal(feedback.box->text, feedback.box->caption);
    }
}

// The one place that words the station's events for the list.
void BenchPresenter::OnEvent(const StationRecorder& recorder, const SessionEvent& event) {
    Changed();
    if (const auto* admission = std::get_if<event::Admission>(&event))
        return Admitted(recorder, *admission);
    if (recorder.address == 0) return StationEvent(event);
    Row& row = RowOf(recorder);
    // A Started opens a record of its own; every event up to its RecorderEnded goes to it.
    if (std::holds_alternative<event::Started>(event)) {
        row.recording = std::make_unique<history::RecordingSessionHost>(
            *row.quiet, m_services.history, "flashkit", FinalTextOf);
    }
    if (row.recording) row.recording->OnEvent(event);
    std::visit(
        Overloaded{
            [&](const event::Announcing&) { row.state = row.named ? "announcing" : "answered"; },
            [&](const event::RequestAccepted& accepted) { Began(row, accepted); },
            [&](const event::Acknowledged& acked) { row.progress.Acknowledge(acked.blockNo); },
            [&](const event::RecorderEnded& end) { Ended(row, end); },
            // Recorded, and worded by the end that follows them or by the list's progress.
            [](const event::Started&) {},
            [](const event::StartFailed&) {},
            [](const event::WaitingForAddress&) {},
            [](const event::AddressBack&) {},
            [](const event::ImageUnmeasurable&) {},
            [](const event::StrayDatagram&) {},
            [](const event::BlockServed&) {},
            [](const event::Progress&) {},
            [](const event::Resent&) {},
            [](const event::SendFailed&) {},
            [](const event::FileError&) {},
            [](const event::Completed&) {},
            [](const event::Failed&) {},
            [](const event::Unconfirmed&) {},
            [](const event::Admission&) {},
            [](const event::Ended&) {},
        },
        event);
}

// --- The list ---

std::string BenchPresenter::Summary() const {
    int completed = 0, failed = 0, unconfirmed = 0, waiting = 0;
    for (const auto& [address, row] : m_rows) {
        completed += row.outcome == history::Outcome::Completed;
        failed += row.outcome == history::Outcome::Failed;
        unconfirmed += row.outcome == history::Outcome::Unconfirmed;
        waiting += row.state == "waiting";
    }
    return std::to_string(completed) + " completed, " + std::to_string(failed) + " failed, " +
           std::to_string(unconfirmed) + " unconfirmed, " + std::to_string(waiting) + " waiting";
}

std::vector<BenchRow> BenchPresenter::Rows() const {
    std::vector<BenchRow> rows;
    const auto now = Clock::now();
    for (const auto& [address, row] : m_rows) {
        const auto snapshot = row.progress.Snapshot(now);
        const auto rate = cli::Rate(snapshot);
        rows.push_back({FormatMac(row.recorder.mac), FormatDottedQuad(address), row.state,
                        snapshot.percent,
                        rate && row.progress.Begun() ? cli::FormatBytes(*rate) + "/s" : "--",
                        row.outcomeText});
    }
    for (const auto& [mac, reason] : m_turnedAway)
        rows.push_back({FormatMac(mac), "", "turned away", 0, "--", reason});
    return rows;
}

void BenchPresenter::Tick() {
    if (!m_dirty) return;
    m_dirty = false;
    m_view.SetRows(Rows());
    m_view.SetSummary(Summary());
}

void BenchPresenter::SaveReportPressed() {
    const auto path = m_view.ChooseReportFile();
    if (!path) return;
    std::ofstream file(*path, std::ios::binary | std::ios::trunc);
    file << "mac,address,state,percent,rate,outcome\r\n";
    for (const BenchRow& row : Rows()) {
        file << row.mac << ',' << row.address << ',' << CsvField(row.state) << ',' << row.percent
             << ',' << row.rate << ',' << CsvField(row.outcome) << "\r\n";
    }
    file.close();
    if (!file) Refusal("Cannot write the report File (" + *path + ")");
}

void BenchPresenter::ClearPressed() {
    if (m_running) return;
    m_rows.clear();
    m_turnedAway.clear();
    Changed();
    Tick();
}

}  // namespace fk::bench
