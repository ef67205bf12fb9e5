#pragma once

#include <memory>
#include <span>
#include <stop_token>
#include <string>

namespace fk::platform {

struct ToneStep {
    int frequencyHz;
    int durationMs;
};

// Wave files and tones. Callable from any thread. Sounds play one after the other in the order
// they were asked for, never over each other. Without an audio device every waiting call still
// takes its duration, silently, so the operator-facing timing stays the same.
class SoundOutput {
  public:
    virtual ~SoundOutput() = default;
    // Both return at once and play in the background; the tones one after the other.
    virtual void PlayWaveAsync(const std::string& path) = 0;
    virtual void PlayTonesAsync(std::span<const ToneStep> tones) = 0;
    // Both return when the sound has ended, or as soon as a stop is requested: a window that
    // closes, or starts another upload, does not wait for a cue of the last one.
    virtual void PlayWaveSync(const std::string& path, std::stop_token stop) = 0;
    virtual void Tone(int frequencyHz, int durationMs, std::stop_token stop) = 0;
    // Ends the sound that is playing and drops those waiting their turn, at once; a caller
    // waiting for one of them returns.
    virtual void Silence() = 0;
};

#ifdef _WIN32
// WINMM's wave files and the system's beeps; on Linux the toolkit plays them (platform/qt).
std::unique_ptr<SoundOutput> MakeSystemSoundOutput();
#endif

}  // namespace fk::platform
