#pragma once

// The subcommands of flashkit-cli. Each returns the program's exit status (cli/exit_codes.h).

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "net/adapter_list.h"
#include "net/mac.h"
#include "upgrade/session_events.h"

namespace fk::cli {

enum class OutputMode { Terminal, Plain, Json };

struct UploadOptions {
    std::string card;
    std::string mac;
    std::string image;
    std::optional<bool> system;  // --system / --data; otherwise from the extension
    std::optional<double> waitSeconds;
    // The header block is resent this long before the upload fails: a recorder may erase its
    // flash before it acknowledges it.
    double headerWaitSeconds = 600;
    OutputMode output = OutputMode::Plain;
    std::string historyPath;
};

struct StationRunOptions {
    std::string card;
    std::vector<std::string> macs;  // --mac, each as upload takes it
    std::string macsFile;           // one a line, # starts a comment
    bool learn = false;
    std::size_t max = 16;
    bool untilDone = false;
    // How long to wait for the card's carrier and address; none: they must be there.
    std::optional<double> waitSeconds;
    std::string pool;  // FIRST-LAST; empty: the card's subnet
    std::string image;
    std::optional<bool> system;
    double headerWaitSeconds = 600;
    OutputMode output = OutputMode::Plain;
    std::string historyPath;
};

struct CheckOptions {
    std::string card;
    std::string mac;  // empty: not given
    bool json = false;
};

struct HistoryOptions {
    std::string mac;
    std::string since;
    bool json = false;
    bool csv = false;
    std::string historyPath;
};

int RunUpload(const UploadOptions& options);
int RunStation(const StationRunOptions& options);
int RunCards(bool json);
int RunCheck(const CheckOptions& options);
int RunHistory(const HistoryOptions& options);

// The card named by its interface name or by its entry in the card list.
std::optional<AdapterRecord> FindCard(const AdapterList& cards, const std::string& name);
// The card as --card takes it on a command line shown to the operator.
std::string CardArgument(const AdapterRecord& card);
// Why name is not among the cards an upload can use: no such card, or what keeps it from
// carrying one (the system's cards in query).
std::string NoUploadCardText(const platform::AdapterQuery& query, const std::string& name);

// "30:01:01" (or with '-'), or the whole address with the recorders' prefix: octets 3 to 5 go
// into mac. False, mac untouched beyond the octets that parsed, when it is not such a text.
bool ParseRecorderMacArgument(const std::string& text, MacAddress& mac);

// The terminal's lines for a refusal: "Caption: text".
std::string RefusalLine(const std::string& caption, const std::string& text);

// The program's name before every line of text, as an error on standard error is written;
// trailing line ends are dropped, and each line is the terminal's text (TerminalText).
std::string ErrorLines(std::string text);
void PrintError(const std::string& text);

}  // namespace fk::cli
