#pragma once

#include <string>

namespace fk::platform {

// Wave files and tones. Callable from any thread. Without an audio device every call still
// takes its duration, silently, so the operator-facing timing stays the same.
class SoundOutput {
  public:
    virtual ~SoundOutput() = default;
    // Plays in the background, cutting off a sound that is still playing.
    virtual void PlayWaveAsync(const std::string& path) = 0;
    // Returns when the sound has ended.
    virtual void PlayWaveSync(const std::string& path) = 0;
    // Returns when the tone has ended.
    virtual void Tone(int frequencyHz, int durationMs) = 0;
};

}  // namespace fk::platform
