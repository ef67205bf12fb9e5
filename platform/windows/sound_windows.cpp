#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "platform/sound.h"
#include "platform/windows/wide_text.h"

namespace fk::platform {

namespace {

// One player thread plays the sounds in turn; Beep holds it for the tone's length, so a tone is
// sounded in short steps that a silence can end between.
class WinmmSoundOutput final : public SoundOutput {
  public:
    WinmmSoundOutput() : m_player([this](std::stop_token stop) { Play(stop); }) {}
    ~WinmmSoundOutput() override {
        m_player.request_stop();
        Silence();
    }

    void PlayWaveAsync(const std::string& path) override { Push(windows::Wide(path)); }
    void PlayTonesAsync(std::span<const ToneStep> tones) override {
        Push(std::vector<ToneStep>(tones.begin(), tones.end()));
    }
    void PlayWaveSync(const std::string& path, std::stop_token stop) override {
        WaitFor(Push(windows::Wide(path)), stop);
    }
    void Tone(int frequencyHz, int durationMs, std::stop_token stop) override {
        WaitFor(Push(std::vector<ToneStep>{{frequencyHz, durationMs}}), stop);
    }
    void Silence() override {
        {
            std::lock_guard lock(m_mutex);
            m_waiting.clear();
            m_done = m_pushed;
            ++m_silences;
        }
        PlaySoundW(nullptr, nullptr, 0);
        m_changed.notify_all();
    }

  private:
    using Sound = std::variant<std::wstring, std::vector<ToneStep>>;
    static constexpr int kToneStepMs = 50;

    // The sound's number in the order of asking.
    unsigned long Push(Sound sound) {
        std::lock_guard lock(m_mutex);
        m_waiting.push_back(std::move(sound));
        m_changed.notify_all();
        return ++m_pushed;
    }

    void WaitFor(unsigned long number, const std::stop_token& stop) {
        std::unique_lock lock(m_mutex);
        while (m_done < number && !stop.stop_requested()) {
            m_changed.wait_for(lock, std::chrono::milliseconds(20));
        }
    }

    void Play(const std::stop_token& stop) {
        std::unique_lock lock(m_mutex);
        while (!stop.stop_requested()) {
            if (m_waiting.empty()) {
                m_changed.wait_for(lock, std::chrono::milliseconds(100));
                continue;
            }
            Sound sound = std::move(m_waiting.front());
            m_waiting.pop_front();
            const unsigned long silences = m_silences;
            lock.unlock();
            if (const auto* file = std::get_if<std::wstring>(&sound)) {
                PlaySoundW(file->c_str(), nullptr, SND_FILENAME | SND_SYNC | SND_NODEFAULT);
            } else {
                for (const ToneStep& tone : std::get<std::vector<ToneStep>>(sound)) {
                    for (int left = tone.durationMs; left > 0; left -= kToneStepMs) {
                        if (Silenced(silences)) break;
                        // Without a sound device Beep fails at once; the time is kept still.
                        const auto step = std::min(left, kToneStepMs);
                        if (!Beep(static_cast<DWORD>(tone.frequencyHz), static_cast<DWORD>(step)))
                            Sleep(static_cast<DWORD>(step));
                    }
                }
            }
            lock.lock();
            if (m_silences == silences) ++m_done;
            m_changed.notify_all();
        }
    }

    bool Silenced(unsigned long silences) {
        std::lock_guard lock(m_mutex);
        return m_silences != silences;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Sound> m_waiting;
    unsigned long m_pushed = 0, m_done = 0, m_silences = 0;
    std::jthread m_player;
};

}  // namespace

std::unique_ptr<SoundOutput> MakeSystemSoundOutput() {
    return std::make_unique<WinmmSoundOutput>();
}

}  // namespace fk::platform
