#pragma once

// What upload and station do alike before they serve: the image's kind, the plan with its
// refusal told, the card named and awaited, the history and the session's options.

#include <chrono>
#include <optional>
#include <string>
#include <variant>

#include "cli/exit_codes.h"
#include "cli/terminal_output.h"
#include "history/upload_history.h"
#include "net/adapter_list.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "upgrade/station_session.h"
#include "upgrade/upload_checks.h"

namespace fk::cli {

// Which image IMAGE is: as --system or --data say, else by its extension. Nothing, refused, when
// it is neither.
std::optional<ImagePage> ImageKind(const std::string& image, std::optional<bool> system,
                                   TerminalOutput& output);

// The run planned with the core's checks; nothing, the refusal told, when one refuses.
std::optional<UploadPlan> PlanRun(const UploadChoices& choices, platform::AdapterSource& adapters,
                                  platform::NeighbourTable& neighbours, TerminalOutput& output);

// The card named; nothing, the reason told, when there is no such card an upload can use.
std::optional<AdapterRecord> NamedCard(const std::string& name, platform::AdapterSource& adapters,
                                       TerminalOutput& output);

// The end of --wait from now; none, never.
std::chrono::steady_clock::time_point WaitDeadline(std::optional<double> waitSeconds);

// The card named once it has a carrier and an IPv4 address, waited for until `until` and said
// so once; else the exit status, the reason told: it went, the wait (waitSeconds long) ran out,
// or a stop signal came.
std::variant<AdapterRecord, ExitCode> AwaitCard(const std::string& name,
                                                std::optional<double> waitSeconds,
                                                std::chrono::steady_clock::time_point until,
                                                platform::AdapterSource& adapters,
                                                TerminalOutput& output);

// The upload history at path (empty: the default place), its errors told on standard error.
history::UploadHistory OpenHistory(const std::string& path);

// The session's options: the header block resent for headerWaitSeconds before the upload fails.
StationOptions SessionOptions(double headerWaitSeconds);

}  // namespace fk::cli
