#include <QProgressBar>
#include <QThread>
#include <algorithm>
#include <filesystem>
#include <optional>
#include <span>
#include <system_error>

#include "app/gui_thread_queue.h"
#include "app/kvupgradefrm.h"
#include "app/presenter/window_presenter.h"
#include "platform/sound.h"

using fk::platform::ToneStep;

void TKVUpgradeFrm::OnGuiThread(std::function<void()> change) {
    if (QThread::currentThread() == thread()) {
        // Changes queued earlier by a worker come first, so call order holds across threads.
        m_feedbackPort->RunWaiting();
        change();
    } else {
        m_feedbackPort->Post(std::move(change));
    }
}

void TKVUpgradeFrm::ShowStatus(const QString& text) {
    // A worker's text reaches the box from the event loop, which paints it next; painting it
    // there and then would cost the transfer a flush to the display per text.
    const bool paintNow = QThread::currentThread() == thread();
    OnGuiThread([this, text = text.toStdString(), paintNow] {
        m_paintStatusNow = paintNow;
        m_presenter->ShowStatus(text);
        m_paintStatusNow = true;
    });
}

void TKVUpgradeFrm::SetProgress(int percent) {
    OnGuiThread([this, percent] { m_ctrlProgXfer->setValue(std::clamp(percent, 0, 100)); });
}

void TKVUpgradeFrm::PlayCue(int cue) {
    const auto chosen = fk::SoundOf(static_cast<fk::Cue>(cue));
    if (!chosen) return;
    fk::platform::SoundOutput& sound = m_services.sound;
    // The GUI thread never waits for a sound: a blink tick, Abort or closing the window must
    // not hang on it. A worker waits, so that its error text follows its error cue.
    const bool wait = chosen->waitForEnd && QThread::currentThread() != thread();
    const std::stop_token stop = WorkerCueStop();
    // Looked up by bare name in the working directory of the moment.
    std::error_code error;
    const std::filesystem::path file = chosen->fileName;
    if (std::filesystem::is_regular_file(file, error)) {
        const std::string path = std::filesystem::absolute(file, error).string();
        if (wait) {
            sound.PlayWaveSync(path, stop);
        } else {
            sound.PlayWaveAsync(path);
        }
        return;
    }
    if (QThread::currentThread() == thread()) {
        sound.PlayTonesAsync(chosen->tones);
        return;
    }
    for (const ToneStep& tone : chosen->tones) {
        if (stop.stop_requested()) return;
        sound.Tone(tone.frequencyHz, tone.durationMs, stop);
    }
}

std::stop_token TKVUpgradeFrm::WorkerCueStop() {
    std::lock_guard lock(m_workerCueMutex);
    return m_workerCueStop.get_token();
}

void TKVUpgradeFrm::EndWorkerCues() {
    {
        std::lock_guard lock(m_workerCueMutex);
        m_workerCueStop.request_stop();
    }
    // Abort, a new upload and closing the window leave no cue of the last upload sounding.
    m_services.sound.Silence();
}

void TKVUpgradeFrm::AllowWorkerCues() {
    std::lock_guard lock(m_workerCueMutex);
    if (m_workerCueStop.stop_requested()) m_workerCueStop = std::stop_source();
}

void TKVUpgradeFrm::ShowMessageFromWorker(const QString& text, const QString& caption,
                                          fk::platform::MessageIcon icon) {
    OnGuiThread([this, text, caption, icon] {
        m_services.messageBoxes.ShowWithoutWaiting(text.toStdString(), caption.toStdString(), icon);
    });
}
