#include "feedback/operator_feedback.h"

#include <cerrno>

#include "feedback/refusal_texts.h"
#include "platform/format_text.h"
#include "upgrade/overloaded.h"

namespace fk {

namespace {

constexpr const char* kTransmissionErrorCaption = "FlashPilot Transmission Error";

OperatorFeedback Status(std::string text) {
    OperatorFeedback feedback;
    feedback.status = std::move(text);
    return feedback;
}

// The status text, and the same text in a box.
OperatorFeedback StatusAndBox(std::string text, const char* caption, BoxKind kind) {
    OperatorFeedback feedback;
    feedback.box = OperatorBox{text, caption, kind};
    feedback.status = std::move(text);
    return feedback;
}

OperatorFeedback FileErrorFeedback(const event::FileError& error) {
    using Kind = event::FileError::Kind;
    const char* path = error.path.c_str();
    switch (error.kind) {
        case Kind::SeekFailed:
            return StatusAndBox(
                FormatText("File (%s) Read Error, fseek() block = %d", path, error.blockNo), "",
                BoxKind::Plain);
        case Kind::OpenFailed:
            return StatusAndBox(
                FormatText("File (%s) Open Error (Error Code = %d)", path, error.error), "",
                BoxKind::Plain);
        case Kind::NotRegular:
            return StatusAndBox(FormatText("File (%s) Open Error, not a regular file", path), "",
                                BoxKind::Plain);
        case Kind::Changed:
            return StatusAndBox(
                FormatText("File (%s) Read Error, the file changed during the upload", path), "",
                BoxKind::Plain);
        case Kind::ReadFailed:
            break;
    }
    return Status(FormatText("File read error, fread(), %d", error.error));
}

OperatorFeedback FailedFeedback(const event::Failed& failed) {
    using Reason = event::Failed::Reason;
    switch (failed.reason) {
        case Reason::SendTimeOut:
            return StatusAndBox("TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)",
                                kTransmissionErrorCaption, BoxKind::Stop);
        case Reason::AckTimeOut:
            return StatusAndBox("TFTP TRANSMISSION TIME OUT ERROR(ACK TIME OUT)",
                                kTransmissionErrorCaption, BoxKind::Stop);
        case Reason::HeaderWait:
            return StatusAndBox(
                "The recorder did not acknowledge the header block within the wait allowed; it "
                "may still have been preparing its flash",
                kTransmissionErrorCaption, BoxKind::Stop);
        case Reason::ReceiveFailed:
            break;
    }
    return StatusAndBox(
        FormatText("Step 2: Tftp receive data error: error code (%d)", failed.error), "",
        BoxKind::Plain);
}

}  // namespace

std::optional<OperatorBox> NetHelperProblemBox(platform::NetHelperProblem problem) {
    switch (problem) {
        case platform::NetHelperProblem::NotPermitted:
            return OperatorBox{
                "Uploading needs the network privileges of the group \"flashkit\", and this user "
                "is not a member of it. Ask the administrator to add you to the group "
                "\"flashkit\", then log out and in again: group membership is read at login.",
                "Group flashkit needed", BoxKind::Stop};
        case platform::NetHelperProblem::Mismatch:
            return OperatorBox{"Uploading needs the network helper " + platform::NetHelperPath() +
                                   ", and the network helper does not match this FlashKit: "
                                   "reinstall FlashKit.",
                               "Network helper mismatch", BoxKind::Stop};
        case platform::NetHelperProblem::Missing:
            return OperatorBox{"The network helper " + platform::NetHelperPath() +
                                   " is missing, so the ports of an upload cannot be opened. Ask "
                                   "the administrator to install FlashKit again.",
                               "Network helper missing", BoxKind::Stop};
        case platform::NetHelperProblem::None:
        case platform::NetHelperProblem::Failed:
            break;
    }
    return std::nullopt;
}

OperatorFeedback FeedbackFor(const SessionEvent& event) {
    return std::visit(
        Overloaded{
            [](const event::Started&) {
                auto feedback = Status("Uploading Started");
                feedback.cue = Cue::Start;
                return feedback;
            },
            [](const event::StartFailed& failed) {
                auto feedback = Status(FormatText(
                    "Step %d %s socket error: error code (%d)", failed.step,
                    failed.socket == event::StartFailed::Socket::Bootp ? "bootp" : "tftp",
                    failed.error));
                feedback.cue = Cue::Error;
                // A refused bind may be the helper that could not be asked: then the operator
                // is told why.
                if (failed.error == EACCES)
                    feedback.box = NetHelperProblemBox(failed.helperProblem);
                return feedback;
            },
            [](const event::Announcing&) {
                OperatorFeedback feedback;
                feedback.progress = 0;
                return feedback;
            },
            [](const event::WaitingForAddress& waiting) {
                return Status(waiting.cardName.empty()
                                  ? "Waiting for the network card to come back"
                                  : "Waiting for an IPv4 address on " + waiting.cardName);
            },
            [](const event::AddressBack&) { return Status("Uploading Started"); },
            [](const event::RequestAccepted&) { return OperatorFeedback{}; },
            [](const event::ImageUnmeasurable&) {
                OperatorFeedback feedback;
                feedback.box =
                    OperatorBox{"Image file open error", "File open error", BoxKind::Stop};
                return feedback;
            },
            [](const event::StrayDatagram& stray) {
                return Status(stray.kind == event::StrayDatagram::Kind::WrongFileName
                                  ? "Tftp file request error: file name is not same between "
                                    "Bootp and Tftp."
                                  : "Tftp error received");
            },
            [](const event::BlockServed&) { return OperatorFeedback{}; },
            [](const event::Acknowledged&) { return OperatorFeedback{}; },
            [](const event::Progress& progress) {
                auto feedback = Status(FormatText("Upload %d (%%) Completed", progress.percent));
                feedback.progress = progress.percent;
                return feedback;
            },
            [](const event::Resent& resent) {
                return Status(resent.sent ? FormatText("retry transfer %d", resent.retry)
                                          : std::string("Data transfer error"));
            },
            [](const event::SendFailed&) { return Status("Data transfer error"); },
            [](const event::FileError& error) { return FileErrorFeedback(error); },
            [](const event::Completed&) {
                auto feedback = Status(kUploadingCompletedText);
                feedback.cue = Cue::Completed;
                return feedback;
            },
            [](const event::Failed& failed) { return FailedFeedback(failed); },
            [](const event::Unconfirmed&) {
                auto feedback = Status("Upload not confirmed: do not switch the recorder off");
                feedback.box = OperatorBox{
                    "Every block of the image was sent, but the recorder did not confirm the "
                    "last one. It may be writing its flash now: do not switch it off. Wait until "
                    "it restarts by itself.",
                    "Upload not confirmed", BoxKind::Stop};
                return feedback;
            },
            // A station's places and addresses: its table words them beside the recorder. An
            // upload's address held stops it as the check before the start would have refused it.
            [](const event::Admission& admission) {
                OperatorFeedback feedback;
                if (admission.kind == event::Admission::Kind::AddressHeld) {
                    feedback.box =
                        OperatorBox{RecorderAddressHeldText(admission.held, kAnsweringDeviceHolder),
                                    kRecorderAddressHeldCaption, BoxKind::Stop};
                }
                return feedback;
            },
            // Its last fact, or the stop, has been told already.
            [](const event::RecorderEnded&) { return OperatorFeedback{}; },
            [](const event::Ended&) {
                OperatorFeedback feedback;
                feedback.idle = true;
                return feedback;
            },
        },
        event);
}

std::string FinalTextOf(const event::RecorderEnded& ended) {
    using Ended = event::RecorderEnded;
    const auto statusOf = [](const SessionEvent& fact) {
        return FeedbackFor(fact).status.value_or("");
    };
    return std::visit(
        Overloaded{
            [&](const event::Completed& fact) { return statusOf(fact); },
            [&](const event::Failed& fact) { return statusOf(fact); },
            [&](const event::Unconfirmed& fact) { return statusOf(fact); },
            [&](const event::StartFailed& fact) { return statusOf(fact); },
            [](const Ended::AskedAgain&) {
                return std::string("The recorder asked again: its transfer began anew");
            },
            [](const Ended::AddressHeld& held) {
                return RecorderAddressHeldText(held.address, kAnsweringDeviceHolder);
            },
            [](const Ended::Stopped&) { return std::string(kUploadingAbortedText); },
        },
        ended.reason);
}

namespace {

constexpr platform::ToneStep kStartTones[] = {{1046, 1000}};
constexpr platform::ToneStep kCompleteTones[] = {
    {1046, 300}, {1318, 300}, {1568, 300}, {2093, 400}};
constexpr platform::ToneStep kErrorTones[] = {{1569, 300}};

}  // namespace

std::optional<CueSound> SoundOf(Cue cue) {
    switch (cue) {
        case Cue::Start:
            return CueSound{"start.wav", false, kStartTones};
        case Cue::Completed:
            return CueSound{"complete.wav", false, kCompleteTones};
        case Cue::Error:
            return CueSound{"error.wav", true, kErrorTones};
    }
    return std::nullopt;
}

}  // namespace fk
