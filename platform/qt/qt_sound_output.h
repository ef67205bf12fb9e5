#pragma once

#include <QAudioDevice>
#include <QThread>
#include <memory>

#include "platform/sound.h"

namespace fk::platform {

// No audio device: every call takes the time its sound would take, and nothing is heard.
class SilentSoundOutput final : public SoundOutput {
  public:
    void PlayWaveAsync(const std::string& path) override;
    void PlayTonesAsync(std::span<const ToneStep> tones) override;
    void PlayWaveSync(const std::string& path, std::stop_token stop) override;
    void Tone(int frequencyHz, int durationMs, std::stop_token stop) override;
};

// Wave files through QSoundEffect, tones as a generated sine through QAudioSink. The Qt objects
// live on a sound thread of their own, so any thread may call; a waiting caller waits for that
// thread only, bounded by the sound's length plus a margin or by a stop, and never for the GUI
// thread.
class QtSoundOutput final : public SoundOutput {
  public:
    explicit QtSoundOutput(const QAudioDevice& device);
    ~QtSoundOutput() override;

    void PlayWaveAsync(const std::string& path) override;
    void PlayTonesAsync(std::span<const ToneStep> tones) override;
    void PlayWaveSync(const std::string& path, std::stop_token stop) override;
    void Tone(int frequencyHz, int durationMs, std::stop_token stop) override;

  private:
    class Player;
    QThread m_thread;
    Player* m_player;
};

// The toolkit's sound when the system has an audio output, the silent one otherwise.
std::unique_ptr<SoundOutput> MakeSoundOutput();

}  // namespace fk::platform
