#pragma once

// The session host that records: it stands between the upload session and a front end's own
// host (the window's, the terminal's), passes every event on unchanged, and makes one row of the
// upload history of each upload, with the SHA-256 of the bytes served. The hash is not made
// while the blocks go out, where it would cost the transfer time: the history's own thread reads
// the served bytes back from the image the engine served them from, once the row ends.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "history/upload_history.h"
#include "upgrade/session_host.h"

namespace fk::history {

class RecordingSessionHost final : public SessionHost {
  public:
    // The final text a row keeps, in the front end's words for how the upload ended.
    using FinalText = std::function<std::string(const event::RecorderEnded& ended)>;

    // history may be none: then nothing is recorded. program names the front end in the rows.
    // A row opens at a Started and ends with its RecorderEnded, with the outcome that gives.
    RecordingSessionHost(SessionHost& inner, UploadHistory* history, std::string program,
                         FinalText finalText);

    void OnEvent(const SessionEvent& event) override;

  private:
    // A row's end, taken from the open row under the lock and written to the history after it.
    struct RowEnd {
        std::uint64_t token = 0;
        UploadEnd end;
        UploadHistory::Later sha256;
    };

    void Begin(const event::Started& started);
    // Takes the end of the open row, if any: the row is closed. Callers hold m_mutex.
    std::optional<RowEnd> EndRow(Outcome outcome, const std::string& text);
    // Writes a row's end; without the lock.
    void Finish(std::optional<RowEnd> row);

    SessionHost& m_inner;
    UploadHistory* const m_history;
    const std::string m_program;
    const FinalText m_finalText;

    std::mutex m_mutex;  // the fields below: events come from the session's threads
    std::optional<std::uint64_t> m_token;
    std::shared_ptr<ImageBlocks> m_image;  // of the request being served
    std::uint64_t m_size = 0;
    std::uint64_t m_bytesServed = 0;
    std::uint64_t m_blocks = 0;
    std::uint64_t m_resends = 0;
};

}  // namespace fk::history
