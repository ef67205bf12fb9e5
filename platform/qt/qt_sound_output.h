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
    void Silence() override {}
};

// Wave files through QSoundEffect, tones as a generated sine through QAudioSink. The Qt objects
// live on a sound thread of their own, which plays the sounds from a queue, one at a time, each
// for its length (at most a margin more when the device does not say it has ended). Any thread
// may call; a waiting caller waits for that thread only, until its sound has ended or a stop,
// and never for the GUI thread.
class QtSoundOutput final : public SoundOutput {
  public:
    explicit QtSoundOutput(const QAudioDevice& device);
    ~QtSoundOutput() override;

    void PlayWaveAsync(const std::string& path) override;
    void PlayTonesAsync(std::span<const ToneStep> tones) override;
    void PlayWaveSync(const std::string& path, std::stop_token stop) override;
    void Tone(int frequencyHz, int durationMs, std::stop_token stop) override;
    void Silence() override;

  private:
    struct Sound;
    class Player;
    void Post(const Sound& sound);
    void PlayAndWait(const Sound& sound, std::stop_token stop);

    QThread m_thread;
    Player* m_player;
};

// The toolkit's sound when the system has an audio output, the silent one otherwise.
std::unique_ptr<SoundOutput> MakeSoundOutput();

}  // namespace fk::platform
