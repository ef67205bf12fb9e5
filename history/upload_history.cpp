#include "history/upload_history.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/process_marks.h"
#include "platform/state_folder.h"

namespace fk::history {

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Completed:
            return kCompleted;
        case Outcome::Failed:
            return kFailed;
        case Outcome::Aborted:
            return kAborted;
        case Outcome::Interrupted:
            return kInterrupted;
        case Outcome::NoRequest:
            return kNoRequest;
        case Outcome::Unconfirmed:
            return kUnconfirmed;
        case Outcome::Restarted:
            return kRestarted;
    }
    return kFailed;
}

namespace {

// Long enough to outlast another program's single-row write, short enough that a stuck lock
// costs a closing program no more than a moment per queued row.
constexpr int kBusyTimeoutMs = 1000;

constexpr const char* kCreateSchema = R"(
CREATE TABLE IF NOT EXISTS uploads (
    id INTEGER PRIMARY KEY,
    started TEXT NOT NULL,
    ended TEXT,
    program TEXT NOT NULL,
    card TEXT NOT NULL,
    host_address TEXT NOT NULL,
    recorder_address TEXT NOT NULL,
    recorder_mac TEXT NOT NULL,
    image_path TEXT NOT NULL,
    kind TEXT NOT NULL,
    size INTEGER NOT NULL,
    bytes_served INTEGER NOT NULL DEFAULT 0,
    sha256 TEXT,
    blocks INTEGER NOT NULL DEFAULT 0,
    resends INTEGER NOT NULL DEFAULT 0,
    outcome TEXT NOT NULL,
    final_text TEXT,
    writer_pid INTEGER,
    writer_boot TEXT,
    writer_start INTEGER
);
CREATE INDEX IF NOT EXISTS uploads_started ON uploads(started);
)";

// Columns added after the first schema, with no new version: a database that lacks them gets
// them, and older programs go on reading and writing it as before (they name their columns).
// They tell whose process writes a row: its pid, the boot it runs in, and when it started (a pid
// is reused, and counts again from each boot).
constexpr const char* kWriterColumns[] = {"writer_pid INTEGER", "writer_boot TEXT",
                                          "writer_start INTEGER"};

void WriteToStderr(const std::string& line) {
    std::fputs(line.c_str(), stderr);
}

// A prepared statement that is finalised on every path.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    explicit operator bool() const { return m_statement != nullptr; }
    sqlite3_stmt* get() const { return m_statement; }

    void Text(int index, const std::string& text) {
        sqlite3_bind_text(m_statement, index, text.c_str(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    void Number(int index, std::uint64_t value) {
        sqlite3_bind_int64(m_statement, index, static_cast<sqlite3_int64>(value));
    }
    std::string ColumnText(int column) const {
        const auto* text = sqlite3_column_text(m_statement, column);
        return text ? reinterpret_cast<const char*>(text) : "";
    }
    std::uint64_t ColumnNumber(int column) const {
        return static_cast<std::uint64_t>(sqlite3_column_int64(m_statement, column));
    }

  private:
    sqlite3_stmt* m_statement = nullptr;
};

int UserVersion(sqlite3* db) {
    Statement version(db, "PRAGMA user_version");
    if (!version || sqlite3_step(version.get()) != SQLITE_ROW) return -1;
    return sqlite3_column_int(version.get(), 0);
}

bool HasWriterColumns(sqlite3* db) {
    Statement columns(db,
                      "SELECT count(*) FROM pragma_table_info('uploads') WHERE name IN "
                      "('writer_pid', 'writer_boot', 'writer_start')");
    return columns && sqlite3_step(columns.get()) == SQLITE_ROW &&
           sqlite3_column_int(columns.get(), 0) == 3;
}

// Another program may add them at the same moment: whichever adds them, they are there after.
bool AddWriterColumns(sqlite3* db) {
    if (HasWriterColumns(db)) return true;
    for (const char* column : kWriterColumns) {
        sqlite3_exec(db, ("ALTER TABLE uploads ADD COLUMN " + std::string(column)).c_str(), nullptr,
                     nullptr, nullptr);
    }
    return HasWriterColumns(db);
}

WriterMark ThisProcess() {
    const std::int64_t pid = getpid();
    return {pid, platform::BootId(), platform::ProcessStartTime(pid).value_or(0)};
}

}  // namespace

bool WriterGone(const WriterMark& writer, const std::string& bootId,
                std::optional<std::uint64_t> startOfPid) {
    return writer.bootId != bootId || !startOfPid || *startOfPid != writer.startTime;
}

std::string DefaultHistoryPath() {
    return (std::filesystem::path(platform::StateFolder()) / "history.sqlite3").string();
}

std::string UtcTimeText(std::int64_t secondsSinceEpoch) {
    const std::time_t seconds = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000Z", &utc);
    return text;
}

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar: the system's own call for
// it (timegm) is not on every system.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

std::int64_t SecondsOf(const std::tm& time) {
    return DaysFromCivil(time.tm_year + 1900, static_cast<unsigned>(time.tm_mon + 1),
                         static_cast<unsigned>(time.tm_mday)) *
               86400 +
           time.tm_hour * 3600 + time.tm_min * 60 + time.tm_sec;
}

}  // namespace

std::string LocalTimeText(const std::string& utcText) {
    std::tm utc{};
    if (std::sscanf(utcText.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &utc.tm_year, &utc.tm_mon,
                    &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec) != 6) {
        return utcText;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    const std::int64_t seconds = SecondsOf(utc);
    const auto time = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&time, &local);
    const std::int64_t offset = (SecondsOf(local) - seconds) / 60;
    char text[64] = {};
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d %c%02d:%02d",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                  static_cast<int>((offset < 0 ? -offset : offset) / 60),
                  static_cast<int>((offset < 0 ? -offset : offset) % 60));
    return text;
}

std::string UtcTimeText() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now - seconds);
    std::string text = UtcTimeText(seconds.count());
    char fraction[8] = {};
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(millis.count()));
    return text.replace(19, 4, fraction);
}

HistoryQuery ReadHistory(const std::string& path, const HistoryFilter& filter) {
    HistoryQuery query;
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return query;
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const auto fail = [&](const std::string& what) {
        query.ok = false;
        query.error = what + ": " + (db ? sqlite3_errmsg(db) : "out of memory") + " (" + path + ")";
        sqlite3_close(db);
        return query;
    };
    if (opened != SQLITE_OK) return fail("cannot open the upload history");
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    if (UserVersion(db) > kSchemaVersion) {
        sqlite3_close(db);
        return {false, "the upload history was written by a newer FlashKit (" + path + ")", {}};
    }
    {
        const std::string writer =
            HasWriterColumns(db) ? "writer_pid, writer_boot, writer_start" : "NULL, NULL, NULL";
        Statement select(
            db, ("SELECT id, started, coalesce(ended, ''), program, card, host_address, "
                 "recorder_address, recorder_mac, image_path, kind, size, bytes_served, "
                 "coalesce(sha256, ''), blocks, resends, outcome, coalesce(final_text, ''), " +
                 writer +
                 " FROM uploads WHERE (?1 = '' OR lower(recorder_mac) LIKE '%' || lower(?1)) "
                 "AND (?2 = '' OR started >= ?2) ORDER BY started, id")
                    .c_str());
        if (!select) return fail("cannot read the upload history");
        std::optional<std::string> bootId;
        select.Text(1, filter.recorderMac);
        select.Text(2, filter.since);
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
            UploadRow row;
            row.id = static_cast<std::int64_t>(select.ColumnNumber(0));
            row.started = select.ColumnText(1);
            row.ended = select.ColumnText(2);
            row.start = {select.ColumnText(3), select.ColumnText(4),   select.ColumnText(5),
                         select.ColumnText(6), select.ColumnText(7),   select.ColumnText(8),
                         select.ColumnText(9), select.ColumnNumber(10)};
            row.end = {select.ColumnText(15),   select.ColumnText(16), select.ColumnNumber(10),
                       select.ColumnNumber(11), select.ColumnText(12), select.ColumnNumber(13),
                       select.ColumnNumber(14)};
            // A row whose program is gone stays running for ever: it was cut short.
            if (row.end.outcome == kRunning &&
                sqlite3_column_type(select.get(), 17) != SQLITE_NULL) {
                const WriterMark mark{static_cast<std::int64_t>(select.ColumnNumber(17)),
                                      select.ColumnText(18), select.ColumnNumber(19)};
                if (!bootId) bootId = platform::BootId();
                if (WriterGone(mark, *bootId, platform::ProcessStartTime(mark.pid))) {
                    row.end.outcome = kInterrupted;
                }
            }
            query.rows.push_back(std::move(row));
        }
        if (step != SQLITE_DONE) return fail("cannot read the upload history");
    }
    sqlite3_close(db);
    return query;
}

UploadHistory::UploadHistory(std::string path, ErrorSink errorSink)
    : m_path(std::move(path)),
      m_errorSink(errorSink ? std::move(errorSink) : WriteToStderr),
      m_process(ThisProcess()),
      m_writer(&UploadHistory::Writer, this) {}

UploadHistory::~UploadHistory() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_writer.join();
    sqlite3_close(m_db);
}

std::uint64_t UploadHistory::Begin(const UploadStart& start) {
    std::uint64_t token = 0;
    {
        std::lock_guard lock(m_mutex);
        token = m_nextToken++;
        m_queue.push_back({token, UtcTimeText(), start, {}, {}});
        ++m_queued;
    }
    m_changed.notify_all();
    return token;
}

void UploadHistory::Finish(std::uint64_t token, const UploadEnd& end, Later sha256Later) {
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back({token, UtcTimeText(), std::nullopt, end, std::move(sha256Later)});
        ++m_queued;
    }
    m_changed.notify_all();
}

void UploadHistory::Flush() {
    std::unique_lock lock(m_mutex);
    const std::uint64_t target = m_queued;
    m_changed.wait(lock, [&] { return m_written >= target; });
}

void UploadHistory::Writer() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty()) return;
        Entry entry = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        Write(entry);
        lock.lock();
        ++m_written;
        m_changed.notify_all();
    }
}

bool UploadHistory::Open() {
    if (m_db) return true;
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(m_path).parent_path(), error);
    if (sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        Report("cannot open it");
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    // WAL lets the window and the terminal write while the other reads.
    sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    const int version = UserVersion(m_db);
    const bool ready =
        version == kSchemaVersion ||
        (version == 0 &&
         sqlite3_exec(m_db,
                      ("BEGIN IMMEDIATE;" + std::string(kCreateSchema) +
                       "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";COMMIT;")
                          .c_str(),
                      nullptr, nullptr, nullptr) == SQLITE_OK);
    if (!ready || !AddWriterColumns(m_db)) {
        if (version > kSchemaVersion) {
            Report("it was written by a newer FlashKit");
        } else {
            Report("cannot set it up");
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    return true;
}

void UploadHistory::Write(Entry& entry) {
    if (!Open()) return;
    if (entry.sha256Later) entry.end.sha256 = entry.sha256Later();
    if (entry.start) {
        const UploadStart& start = *entry.start;
        Statement insert(m_db,
                         "INSERT INTO uploads (started, program, card, host_address, "
                         "recorder_address, recorder_mac, image_path, kind, size, outcome, "
                         "writer_pid, writer_boot, writer_start) "
                         "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        if (insert) {
            insert.Text(1, entry.time);
            insert.Text(2, start.program);
            insert.Text(3, start.card);
            insert.Text(4, start.hostAddress);
            insert.Text(5, start.recorderAddress);
            insert.Text(6, start.recorderMac);
            insert.Text(7, start.imagePath);
            insert.Text(8, start.kind);
            insert.Number(9, start.size);
            insert.Text(10, kRunning);
            // A process whose start the system does not tell cannot be told apart later: its rows
            // are left unmarked.
            if (m_process.startTime != 0) {
                insert.Number(11, static_cast<std::uint64_t>(m_process.pid));
                insert.Text(12, m_process.bootId);
                insert.Number(13, m_process.startTime);
            }
        }
        if (!insert || sqlite3_step(insert.get()) != SQLITE_DONE) {
            Report("cannot add the upload");
            return;
        }
        m_rowOf[entry.token] = sqlite3_last_insert_rowid(m_db);
        return;
    }
    const auto row = m_rowOf.find(entry.token);
    // Its beginning could not be written: there is nothing to end.
    if (row == m_rowOf.end()) return;
    const UploadEnd& end = entry.end;
    Statement update(m_db,
                     "UPDATE uploads SET ended = ?, outcome = ?, final_text = ?, size = ?, "
                     "bytes_served = ?, sha256 = ?, blocks = ?, resends = ? WHERE id = ?");
    if (update) {
        update.Text(1, entry.time);
        update.Text(2, end.outcome);
        update.Text(3, end.finalText);
        update.Number(4, end.size);
        update.Number(5, end.bytesServed);
        update.Text(6, end.sha256);
        update.Number(7, end.blocks);
        update.Number(8, end.resends);
        sqlite3_bind_int64(update.get(), 9, row->second);
    }
    if (!update || sqlite3_step(update.get()) != SQLITE_DONE) {
        Report("cannot end the upload's row");
        return;
    }
    m_rowOf.erase(row);
}

void UploadHistory::Report(const std::string& what) {
    if (m_reported) return;
    m_reported = true;
    const std::string reason = m_db ? sqlite3_errmsg(m_db) : "out of memory";
    m_errorSink("flashkit: the upload history is not written (" + what + ": " + reason +
                "): " + m_path + "\n");
}

}  // namespace fk::history
