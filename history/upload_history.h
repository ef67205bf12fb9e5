#pragma once

// The record of every upload, from the window or the terminal, in an SQLite database in the
// user's state directory. Writing never holds an upload up: Begin and Finish only queue the
// row, and a thread of this object writes it, waiting at most a moment for another program's
// lock. A database that cannot be written (locked, full, unwritable, from a newer version) is
// said once on the error sink and the uploads go on unrecorded.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "upgrade/upload_outcome.h"

struct sqlite3;

namespace fk::history {

// Outcomes as they are stored.
inline constexpr const char* kRunning = "running";
inline constexpr const char* kCompleted = "completed";
inline constexpr const char* kFailed = "failed";
inline constexpr const char* kAborted = "aborted";          // stopped by the operator
inline constexpr const char* kInterrupted = "interrupted";  // stopped by a signal
inline constexpr const char* kNoRequest = "no_request";     // the recorder never asked
// Every block went out, the final one was never acknowledged: the recorder may be writing.
inline constexpr const char* kUnconfirmed = "unconfirmed";
// The recorder asked again mid-transfer: the transfer it left is over, a new row begins.
inline constexpr const char* kRestarted = "restarted";

// How an upload ended, as the front ends and the recording host pass it on.
using fk::Outcome;
// The stored name of an outcome.
const char* OutcomeName(Outcome outcome);

// The schema this program writes; a database of a later one is left alone.
inline constexpr int kSchemaVersion = 1;

struct UploadStart {
    std::string program;  // which front end: flashkit or flashkit-cli
    std::string card;     // the card's interface name
    std::string hostAddress, recorderAddress, recorderMac;
    std::string imagePath;
    std::string kind;  // system or data
    std::uint64_t size = 0;
};

struct UploadEnd {
    std::string outcome;
    std::string finalText;
    std::uint64_t size = 0;         // of the image the recorder was served
    std::uint64_t bytesServed = 0;  // image bytes sent at least once, in order
    std::string sha256;             // of those bytes, lower-case hex; empty when they are not known
    std::uint64_t blocks = 0;       // the highest block acknowledged, header block included
    std::uint64_t resends = 0;
};

struct UploadRow {
    std::int64_t id = 0;
    std::string started, ended;  // UTC, "YYYY-MM-DDTHH:MM:SS.mmmZ"; ended empty while running
    UploadStart start;
    UploadEnd end;
};

struct HistoryFilter {
    std::string recorderMac;  // rows whose MAC ends with this text (any case); empty: all
    std::string since;        // rows started at or after this UTC time text; empty: all
};

struct HistoryQuery {
    bool ok = true;
    std::string error;
    std::vector<UploadRow> rows;  // oldest first
};

// history.sqlite3 in the user's state folder: $XDG_STATE_HOME/flashkit/ (~/.local/state/
// flashkit/ without it) on Linux, %LOCALAPPDATA%\FlashKit\ on Windows.
std::string DefaultHistoryPath();

// The current time, or the given seconds since the epoch, in the stored form.
std::string UtcTimeText();
std::string UtcTimeText(std::int64_t secondsSinceEpoch);
// A stored time as the operator reads it: local time to the second with its offset from UTC,
// "2026-12-07 15:30:05 +01:00"; a text not in the stored form comes back as it is.
std::string LocalTimeText(const std::string& utcText);

// Reads the record; a database that does not exist yet holds no uploads. A row left running by a
// process that is gone reads as interrupted.
HistoryQuery ReadHistory(const std::string& path, const HistoryFilter& filter);

// The process that writes a row.
struct WriterMark {
    std::int64_t pid = 0;
    std::string bootId;           // the kernel's id of the boot it runs in
    std::uint64_t startTime = 0;  // when it started, in clock ticks after boot
};

// Whether the writer is gone: another boot, no process of its pid (startOfPid: none), or another
// process that has its pid since.
bool WriterGone(const WriterMark& writer, const std::string& bootId,
                std::optional<std::uint64_t> startOfPid);

class UploadHistory {
  public:
    using ErrorSink = std::function<void(const std::string& line)>;

    // Nothing is opened before the first row; failures go to errorSink (default: stderr).
    explicit UploadHistory(std::string path, ErrorSink errorSink = {});
    // Writes what is still queued, then ends the writer.
    ~UploadHistory();
    UploadHistory(const UploadHistory&) = delete;
    UploadHistory& operator=(const UploadHistory&) = delete;

    // A text worked out on the writer's thread, just before the row is written.
    using Later = std::function<std::string()>;

    // Any thread; never waits for the database. Begin gives the token that Finish names;
    // sha256Later, if any, gives the end's hash.
    std::uint64_t Begin(const UploadStart& start);
    void Finish(std::uint64_t token, const UploadEnd& end, Later sha256Later = {});
    // Waits until everything queued so far has been written or given up.
    void Flush();

    const std::string& Path() const { return m_path; }

  private:
    struct Entry {
        std::uint64_t token = 0;
        std::string time;
        std::optional<UploadStart> start;  // a Begin; otherwise a Finish
        UploadEnd end;
        Later sha256Later;
    };

    void Writer();
    void Write(Entry& entry);
    bool Open();
    void Report(const std::string& what);

    const std::string m_path;
    ErrorSink m_errorSink;
    const WriterMark m_process;  // this one, written with each row

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Entry> m_queue;
    std::uint64_t m_nextToken = 1;
    std::uint64_t m_written = 0;  // entries taken from the queue and done with
    std::uint64_t m_queued = 0;
    bool m_stopping = false;

    // Writer thread only.
    sqlite3* m_db = nullptr;
    bool m_reported = false;
    std::map<std::uint64_t, std::int64_t> m_rowOf;  // token to row id

    std::thread m_writer;
};

}  // namespace fk::history
