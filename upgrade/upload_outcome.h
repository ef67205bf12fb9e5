#pragma once

#include <optional>

#include "upgrade/session_events.h"

namespace fk {

// How an upload ended, as the front ends and the history keep it.
// Restarted: the recorder asked again mid-transfer, so the transfer it left is over.
enum class Outcome { Completed, Failed, Aborted, Interrupted, NoRequest, Unconfirmed, Restarted };

// The outcome an event gives its upload; nothing for an event that ends none. An upload that
// ends without one (Ended alone) was stopped from outside: its front end says why.
std::optional<Outcome> OutcomeOf(const SessionEvent& event);

}  // namespace fk
