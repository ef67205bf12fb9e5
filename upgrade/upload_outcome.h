#pragma once

#include <optional>

#include "upgrade/session_events.h"

namespace fk {

// The outcome an event gives its recorder's upload: a RecorderEnded's, the station's once for
// each upload; nothing for any other event.
std::optional<Outcome> OutcomeOf(const SessionEvent& event);

}  // namespace fk
