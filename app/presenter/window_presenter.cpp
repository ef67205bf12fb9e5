#include "app/presenter/window_presenter.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "feedback/refusal_texts.h"
#include "image/image_files.h"
#include "net/address_plan.h"
#include "platform/adapter_source.h"
#include "platform/format_text.h"

namespace fk::window {

namespace {

using platform::MessageAnswer;
using platform::MessageButtons;
using platform::MessageIcon;

constexpr const char* kImageFilesGroup = "Files";

// One of the two image choices: its rule, its question and where it is remembered.
struct ImageRule {
    std::string_view extension;
    const char* question;
    const char* questionCaption;
    MessageIcon questionIcon;
    const char* settingName;
    Control browse;
};

ImageRule RuleOf(ImagePage page) {
    if (page == ImagePage::System) {
        return {kSystemImageExtension,
                "'%s' may not be system image file.\r\n"
                "Do you want to search another system image file?",
                "Check system image file",
                MessageIcon::Stop,
                "SystemFile",
                Control::BrowseSystem};
    }
    return {kDataImageExtension,
            "'%s' may not be data image file.\r\n"
            "Do you want to search another data image file?",
            "Check data image file",
            MessageIcon::Question,
            "FontFile",
            Control::BrowseData};
}

bool IsErrorText(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.find("error") != std::string::npos;
}

std::string WorkingDir() {
    std::error_code error;
    const auto dir = std::filesystem::current_path(error);
    return error ? std::string() : dir.string();
}

}  // namespace

WindowPresenter::WindowPresenter(const PresenterServices& services)
    : m_services(services), m_view(services.view) {}

void WindowPresenter::Open(const std::string& workingDir) {
    LoadAdapterList();
    UpdateAddressPlan();
    m_view.SetDialogDir(ImagePage::System, workingDir);
    LoadImagePaths();
}

void WindowPresenter::Close() {
    if (Uploading()) StopUpload();
    // Joined, not waited for: after this no worker reports to the window.
    m_services.session.Shutdown();
    SaveImagePaths();
}

bool WindowPresenter::Uploading() const {
    return m_services.session.Running();
}

// --- Status line, progress, cues, boxes ---

void WindowPresenter::ShowStatus(const std::string& text) {
    if (IsErrorText(text)) {
        // The box turns red, the cue starts, then the text follows.
        m_look = StatusLook::Error;
        m_view.SetStatusLook(m_look);
        m_services.cues.Play(Cue::Error);
        m_view.SetStatus(text, m_look);
        // A running period is not restarted.
        if (!m_services.blink.Active()) m_services.blink.Start();
        return;
    }
    m_look = StatusLook::Normal;
    m_view.SetStatus(text, m_look);
    m_services.blink.Stop();
}

// Red on white and blue on red by turns; the cue sounds with each blue on red.
void WindowPresenter::BlinkTick() {
    const bool red = m_look == StatusLook::Error || m_look == StatusLook::ErrorOnWhite;
    m_look = red ? StatusLook::ErrorInverted : StatusLook::ErrorOnWhite;
    m_view.SetStatusLook(m_look);
    if (red) m_services.cues.Play(Cue::Error);
}

void WindowPresenter::ShowBox(const OperatorBox& box) {
    m_view.ShowBoxWithoutWaiting(box.text,
                                 box.caption.empty() ? m_services.applicationTitle : box.caption,
                                 box.kind == BoxKind::Stop ? MessageIcon::Stop : MessageIcon::None);
}

void WindowPresenter::OnEvent(const SessionEvent& event) {
    OnFeedback(FeedbackFor(event));
}

// The window's table: what each event shows and sounds.
void WindowPresenter::OnFeedback(const OperatorFeedback& feedback) {
    if (feedback.progress) m_view.SetProgress(std::clamp(*feedback.progress, 0, 100));
    if (feedback.status) ShowStatus(*feedback.status);
    if (feedback.cue) m_services.cues.Play(*feedback.cue);
    if (feedback.box) ShowBox(*feedback.box);
    if (feedback.idle) RestoreIdleControls();
}

// --- Upload and Abort ---

void WindowPresenter::UploadPressed() {
    if (m_button == UploadButton::Abort) {
        StopUpload();
        m_button = UploadButton::Upload;
        m_view.SetUploadButton(m_button);
        ShowStatus(kUploadingAbortedText);
        return;
    }
    if (!CaptureDeviceMac()) return;
    const auto plan = PlanUpload();
    if (!plan) return;
    StopUpload();
    m_services.session.Start(*plan);
    // Also when the sockets did not open: the pages wait for the Abort that follows.
    m_pagesEnabled = false;
    m_view.EnableImagePages(false);
    m_button = UploadButton::Abort;
    m_view.SetUploadButton(m_button);
}

std::optional<UploadPlan> WindowPresenter::PlanUpload() {
    const ImagePage page = m_view.CurrentPage();
    // The file checked is the file served: a path typed before its file existed was not taken
    // when it was typed.
    PathEdited(page);
    // The plan of the selected card, also after a card of the last upload went away.
    m_awaitedCard.reset();
    UpdateAddressPlan();
    auto planned = MakeUploadPlan({page, m_view.PathText(page), m_services.mac, Card()},
                                  m_services.adapters, m_adapterInfo, m_services.neighbours);
    if (auto* plan = std::get_if<UploadPlan>(&planned)) {
        // The file served is the page's, its path in its real case, as the change above took it.
        plan->file.path = ImagePath(page);
        plan->file.bootFileName = ImageName(page);
        return std::move(*plan);
    }
    const auto& refusal = std::get<UploadRefusal>(planned);
    const RefusalTexts texts = TextsOf(refusal);
    if (!texts.fileError.empty()) {
        m_view.ShowBox(texts.fileError, m_services.applicationTitle, MessageIcon::None,
                       MessageButtons::Ok);
    }
    m_view.ShowBox(texts.text, texts.caption, MessageIcon::Stop, MessageButtons::Ok);
    using Reason = UploadRefusal::Reason;
    if (refusal.reason == Reason::ImageMissing || refusal.reason == Reason::WrongRecorder) {
        BrowsePressed(page);
    }
    return std::nullopt;
}

void WindowPresenter::StopUpload() {
    // A stop leaves no cue of the last upload sounding.
    m_services.cues.Silence();
    m_services.session.Stop();
}

void WindowPresenter::RestoreIdleControls() {
    m_pagesEnabled = true;
    m_view.EnableImagePages(true);
    if (m_button == UploadButton::Abort) {
        m_button = UploadButton::Upload;
        m_view.SetUploadButton(m_button);
    }
}

// --- Cards ---

void WindowPresenter::LoadAdapterList() {
    m_adapterInfo = BuildAdapterList(m_services.adapters.List());
    m_selected = m_adapterInfo.empty() ? -1 : 0;
    m_view.SetCards(AdapterEntries(m_adapterInfo), m_selected);
    if (!m_adapterInfo.empty()) UpdateAddressPlan();
}

void WindowPresenter::UpdateAddressPlan() {
    if (m_awaitedCard) {
        m_selectedCard = {0, static_cast<int>(m_awaitedCard->index)};
        m_view.SetHostAddressText("0.0.0.0");
        return;
    }
    const AdapterRecord card = SelectedAdapter(m_adapterInfo, m_selected);
    const auto entries = AdapterEntries(m_adapterInfo);
    const std::string entry =
        m_selected >= 0 && m_selected < static_cast<int>(entries.size()) ? entries[m_selected] : "";
    const Ipv4 host = HostAddressFor(card, entry, &m_services.tcpipConfig);
    // The label may show the card's configured address, which a network manager takes away with
    // the carrier; an upload is planned only with an address the card holds, and waits for one.
    const bool held = ParseDottedQuad(card.ipAddress) != 0;
    m_selectedCard = {held ? host : 0, static_cast<int>(card.index)};
    m_view.SetHostAddressText(FormatDottedQuad(host));
}

void WindowPresenter::FollowSystemCards() {
    AdapterList cards = BuildAdapterList(m_services.adapters.List());
    const auto entries = AdapterEntries(cards);
    // Kept by name: a card plugged out and in again comes back with another index.
    const AdapterRecord wanted =
        m_awaitedCard ? *m_awaitedCard : SelectedAdapter(m_adapterInfo, m_selected);
    const auto kept = std::find_if(cards.begin(), cards.end(), [&](const AdapterRecord& c) {
        return !wanted.adapterName.empty() && c.adapterName == wanted.adapterName;
    });
    const int keep = kept == cards.end() ? 0 : static_cast<int>(kept - cards.begin());
    // The card of a running upload went away: its replies must not move to whatever card is now
    // first in the list, so the announcer waits for it, or for the operator's pick.
    m_awaitedCard.reset();
    if (kept == cards.end() && !wanted.adapterName.empty() && Uploading()) m_awaitedCard = wanted;
    if (entries != AdapterEntries(m_adapterInfo) || keep != m_selected) {
        m_selected = cards.empty() ? -1 : keep;
        m_view.SetCards(entries, m_selected);
    }
    m_adapterInfo = std::move(cards);
    UpdateAddressPlan();
}

void WindowPresenter::CardChosen(int index) {
    m_selected = index;
    m_awaitedCard.reset();
    UpdateAddressPlan();
    // A pick during an upload moves its announcements to the card picked.
    if (Uploading()) m_services.session.PickCard(m_selectedCard.ifindex);
}

// --- MAC boxes ---

void WindowPresenter::MacEdited(int box) {
    // A box holding anything but hex digits is emptied; a full octet moves the focus on.
    std::string text = m_view.MacText(box);
    if (text.empty()) return;
    std::uint32_t value = 0;
    if (!ParseHexByte(text, value)) {
        m_view.ClearMac(box);
        return;
    }
    if (text.size() != 2) return;
    if (box == 0) {
        m_view.Focus(Control::MacBox4);
    } else if (box == 1) {
        m_view.Focus(Control::MacBox5);
    } else {
        FocusBrowseButton();
    }
}

void WindowPresenter::FocusBrowseButton() {
    // While an upload runs the image pages are disabled; Abort is then the next button the
    // operator may want, so the focus does not stay behind in the box.
    m_view.Focus(m_pagesEnabled ? RuleOf(m_view.CurrentPage()).browse : Control::Upload);
}

bool WindowPresenter::CaptureDeviceMac() {
    const auto refused = ParseRecorderOctets(
        {m_view.MacText(0), m_view.MacText(1), m_view.MacText(2)}, m_services.mac);
    if (!refused) return true;
    m_view.ShowBox(kMacRefusalText, kMacRefusalCaption, MessageIcon::Stop, MessageButtons::Ok);
    m_view.Focus(static_cast<Control>(static_cast<int>(Control::MacBox3) + *refused));
    return false;
}

// --- Images ---

// Bare names go to the recorder and are compared with its request, so they are lower case;
// the path keeps its real case because this file system tells cases apart.
void WindowPresenter::Accept(ImagePage page, const std::string& path) {
    m_images[Slot(page)] = {BareImageName(path), path};
}

// Typed text counts only once it names a file; until then the last good choice stays.
void WindowPresenter::PathEdited(ImagePage page) {
    const std::string text = m_view.PathText(page);
    if (text.empty() || !IsExistingFile(text)) return;
    Accept(page, text);
}

void WindowPresenter::BrowsePressed(ImagePage page) {
    const ImageRule rule = RuleOf(page);
    for (;;) {
        const std::string boxText = m_view.PathText(page);
        m_view.SetDialogDir(page, boxText.empty() ? WorkingDir() : boxText);
        const auto chosen = m_view.ChooseImageFile(page);
        if (!chosen) return;
        if (HasImageExtension(*chosen, rule.extension)) {
            m_view.SetPathText(page, *chosen);
            Accept(page, *chosen);
            return;
        }
        const auto answer =
            m_view.ShowBox(FormatText(rule.question, chosen->c_str()), rule.questionCaption,
                           rule.questionIcon, MessageButtons::YesNo);
        if (answer != MessageAnswer::Yes) return;
    }
}

bool WindowPresenter::CheckSystemImage(std::uint8_t octet3, std::uint8_t octet4,
                                       std::uint8_t octet5) {
    const std::string path = m_view.PathText(ImagePage::System);
    const auto verdict = CheckSystemImageFile(path, octet3, octet4, octet5);
    if (const std::string fileError = TrailerFailureText(verdict.read, path); !fileError.empty()) {
        m_view.ShowBox(fileError, m_services.applicationTitle, MessageIcon::None,
                       MessageButtons::Ok);
    }
    return verdict.fits;
}

void WindowPresenter::LoadImagePaths() {
    for (const ImagePage page : {ImagePage::System, ImagePage::Data}) {
        const ImageRule rule = RuleOf(page);
        const std::string remembered = m_services.settings.Read(kImageFilesGroup, rule.settingName);
        if (IsExistingFile(remembered)) m_view.SetPathText(page, remembered);
        if (m_view.PathText(page).empty()) {
            if (const auto found = FindFirstImage(m_view.DialogDir(page), rule.extension)) {
                m_view.SetPathText(page, *found);
            }
        }
        PathEdited(page);
    }
}

// The paths last accepted, not the box texts: a box may hold a path to no file by now.
void WindowPresenter::SaveImagePaths() {
    for (const ImagePage page : {ImagePage::System, ImagePage::Data}) {
        if (const std::string& path = ImagePath(page); !path.empty()) {
            m_services.settings.Write(kImageFilesGroup, RuleOf(page).settingName, path);
        }
    }
}

}  // namespace fk::window
