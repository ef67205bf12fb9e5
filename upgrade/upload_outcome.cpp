#include "upgrade/upload_outcome.h"

#include "upgrade/overloaded.h"

namespace fk {

std::optional<Outcome> OutcomeOf(const SessionEvent& event) {
    using None = std::optional<Outcome>;
    return std::visit(Overloaded{
                          [](const event::Started&) { return None(); },
                          [](const event::StartFailed&) { return None(); },
                          [](const event::Announcing&) { return None(); },
                          [](const event::WaitingForAddress&) { return None(); },
                          [](const event::AddressBack&) { return None(); },
                          [](const event::RequestAccepted&) { return None(); },
                          [](const event::ImageUnmeasurable&) { return None(); },
                          [](const event::StrayDatagram&) { return None(); },
                          [](const event::BlockServed&) { return None(); },
                          [](const event::Acknowledged&) { return None(); },
                          [](const event::Progress&) { return None(); },
                          [](const event::Resent&) { return None(); },
                          [](const event::SendFailed&) { return None(); },
                          [](const event::FileError&) { return None(); },
                          [](const event::Completed&) { return None(); },
                          [](const event::Failed&) { return None(); },
                          [](const event::Unconfirmed&) { return None(); },
                          [](const event::Admission&) { return None(); },
                          [](const event::RecorderEnded& ended) { return None(ended.outcome); },
                          [](const event::Ended&) { return None(); },
                      },
                      event);
}

}  // namespace fk
