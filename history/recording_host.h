#pragma once

// The session host that records: it stands between the upload session and a front end's own
// host (the window's, the terminal's), passes every read and report on unchanged, and makes one
// row of the upload history of each upload, with the SHA-256 of the bytes served. The hash is
// not made while the blocks go out, where it would cost the transfer time: the history's own
// thread reads the served bytes back from the image the engine served them from, once the row
// ends.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "history/upload_history.h"
#include "upgrade/session_host.h"

namespace fk::history {

class RecordingSessionHost final : public SessionHost {
  public:
    // history may be none: then nothing is recorded. program names the front end in the rows.
    RecordingSessionHost(SessionHost& inner, UploadHistory* history, std::string program);

    // How an upload that the session does not end by itself is recorded; set by the front end
    // before it stops one. Every upload starts out as the operator's abort.
    void SetStopOutcome(const std::string& outcome, const std::string& text);

    ImagePage ActivePage() const override { return m_inner.ActivePage(); }
    std::string BootFileName(ImagePage page) const override { return m_inner.BootFileName(page); }
    std::string ImagePath(ImagePage page) const override { return m_inner.ImagePath(page); }
    SelectedCard Card() const override { return m_inner.Card(); }
    MacAddress DeviceMac() const override { return m_inner.DeviceMac(); }

    void ShowStatus(const std::string& text) override { m_inner.ShowStatus(text); }
    void SetProgress(int percent) override { m_inner.SetProgress(percent); }
    void PlayCue(int cue) override { m_inner.PlayCue(cue); }
    void ShowMessage(const std::string& text, const std::string& caption,
                     platform::MessageIcon icon) override {
        m_inner.ShowMessage(text, caption, icon);
    }
    void SessionEnded() override;

    void UploadStarted() override;
    void RequestAccepted(const platform::Endpoint& recorder, std::uint64_t imageSize,
                         const std::shared_ptr<ServedImage>& image) override;
    void BlockServed(std::span<const std::uint8_t> content) override;
    void BlockAcknowledged(std::uint64_t blockNo, std::uint64_t blockTotal) override;
    void BlockResent() override;
    void UploadFinished(bool completed, const std::string& text) override;

  private:
    // Ends the open row, if any. Callers hold m_mutex.
    void EndRow(const std::string& outcome, const std::string& text);

    SessionHost& m_inner;
    UploadHistory* const m_history;
    const std::string m_program;

    std::mutex m_mutex;  // the fields below: reports come from the session's threads
    std::optional<std::uint64_t> m_token;
    std::string m_stopOutcome = kAborted;
    std::string m_stopText = "Uploading Aborted";
    std::shared_ptr<ServedImage> m_image;  // of the request being served
    std::uint64_t m_size = 0;
    std::uint64_t m_bytesServed = 0;
    std::uint64_t m_blocks = 0;
    std::uint64_t m_resends = 0;
};

}  // namespace fk::history
