#include "platform/qt/qt_sound_output.h"

#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <numbers>
#include <optional>
#include <vector>

#include "platform/qt/wave_header.h"

namespace fk::platform {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long past its length a sound may hold the device when the device does not say it has
// ended.
constexpr milliseconds kWaitMargin{1000};
constexpr double kToneAmplitude = 0.3;

// The end of one sound, signalled by the sound thread to a waiting caller.
class Completion {
  public:
    void Finish() {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
    }
    // Until the sound has ended or a stop is requested.
    void Wait(std::stop_token stop) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, stop, [this] { return m_done; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable_any m_changed;
    bool m_done = false;
};

// Sleeps until the deadline unless a stop is requested first.
void SleepUntil(Clock::time_point deadline, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait_until(lock, stop, deadline, [] { return false; });
}

void WriteSample(char*& out, const QAudioFormat& format, double value) {
    switch (format.sampleFormat()) {
        case QAudioFormat::UInt8:
            *reinterpret_cast<quint8*>(out) = static_cast<quint8>(128 + value * 127);
            break;
        case QAudioFormat::Int16:
            *reinterpret_cast<qint16*>(out) = static_cast<qint16>(value * 32767);
            break;
        case QAudioFormat::Int32:
            *reinterpret_cast<qint32*>(out) = static_cast<qint32>(value * 2147483647.0);
            break;
        case QAudioFormat::Float:
            *reinterpret_cast<float*>(out) = static_cast<float>(value);
            break;
        default:
            break;
    }
    out += format.bytesPerSample();
}

QByteArray SinePcm(const QAudioFormat& format, std::span<const ToneStep> tones) {
    QByteArray pcm;
    for (const ToneStep& tone : tones) {
        const int frames =
            static_cast<int>(qint64{format.sampleRate()} * std::max(tone.durationMs, 0) / 1000);
        const qsizetype begin = pcm.size();
        pcm.resize(begin + qsizetype{frames} * format.bytesPerFrame(), '\0');
        char* out = pcm.data() + begin;
        for (int frame = 0; frame < frames; ++frame) {
            const double value = kToneAmplitude * std::sin(2 * std::numbers::pi * tone.frequencyHz *
                                                           frame / format.sampleRate());
            for (int channel = 0; channel < format.channelCount(); ++channel) {
                WriteSample(out, format, value);
            }
        }
    }
    return pcm;
}

QAudioFormat ToneFormat(const QAudioDevice& device) {
    QAudioFormat format;
    format.setSampleRate(44100);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    return device.isFormatSupported(format) ? format : device.preferredFormat();
}

}  // namespace

// One sound asked for: a wave file, or tones one after the other.
struct QtSoundOutput::Sound {
    QString wavePath;  // empty for tones
    std::vector<ToneStep> tones;
    std::shared_ptr<Completion> completion;  // of a waiting caller; none in the background
};

// Lives on the sound thread; every member runs there. Plays its queue one sound at a time.
class QtSoundOutput::Player : public QObject {
  public:
    explicit Player(const QAudioDevice& device) : m_device(device), m_slotEnd(this) {
        m_slotEnd.setSingleShot(true);
        // A coarse timer may fire up to 5 % early, and a sound must not be cut short.
        m_slotEnd.setTimerType(Qt::PreciseTimer);
        connect(&m_slotEnd, &QTimer::timeout, this, &Player::Next);
    }
    ~Player() override { Silence(); }

    void Enqueue(Sound sound) {
        // A wave file may last longer than the second after which the blinking asks for the
        // error cue again: one already waiting its turn is not queued twice. Tones are short.
        const bool waiting =
            std::any_of(m_waiting.begin(), m_waiting.end(), [&](const Sound& other) {
                return !sound.wavePath.isEmpty() && other.wavePath == sound.wavePath;
            });
        if (waiting && !sound.completion) return;
        m_waiting.push_back(std::move(sound));
        if (!m_current) Next();
    }

    void Silence() {
        for (const Sound& sound : m_waiting) {
            if (sound.completion) sound.completion->Finish();
        }
        m_waiting.clear();
        EndCurrent();
    }

  private:
    // Ends the sound playing, if any, and starts the next one that can be played.
    void Next() {
        EndCurrent();
        while (!m_waiting.empty()) {
            Sound sound = std::move(m_waiting.front());
            m_waiting.pop_front();
            const auto length = LengthOf(sound);
            // A file without a readable header cannot be played; no tone takes its place.
            if (!length) {
                if (sound.completion) sound.completion->Finish();
                continue;
            }
            m_current = std::move(sound);
            m_soundEnd = Clock::now() + *length;
            // The device may never say that the sound has ended.
            StartSlotTimer(*length + kWaitMargin);
            if (m_current->wavePath.isEmpty()) {
                StartTones(m_current->tones);
            } else {
                StartWave(m_current->wavePath);
            }
            return;
        }
    }

    static std::optional<milliseconds> LengthOf(const Sound& sound) {
        if (!sound.wavePath.isEmpty()) return WaveFileDuration(sound.wavePath.toStdString());
        milliseconds length{0};
        for (const ToneStep& tone : sound.tones)
            length += milliseconds(std::max(tone.durationMs, 0));
        return length;
    }

    // The device is done with the sound, or failed: the next one still waits for this one's
    // length, so that a device that fails at once keeps the operator-facing timing.
    void OutputEnded() {
        const auto left = std::chrono::ceil<milliseconds>(m_soundEnd - Clock::now());
        StartSlotTimer(std::max(left, milliseconds(0)));
    }

    // A timer counts in int milliseconds; a file's length may be longer (weeks at 1000 Hz).
    void StartSlotTimer(milliseconds interval) {
        m_slotEnd.start(std::min(interval, milliseconds(std::numeric_limits<int>::max())));
    }

    void StartWave(const QString& path) {
        m_effect = new QSoundEffect(m_device, this);
        connect(m_effect, &QSoundEffect::playingChanged, this, [this] {
            if (!m_effect->isPlaying()) OutputEnded();
        });
        connect(m_effect, &QSoundEffect::statusChanged, this, [this] {
            if (m_effect->status() == QSoundEffect::Error) OutputEnded();
        });
        m_effect->setSource(QUrl::fromLocalFile(path));
        m_effect->play();
    }

    void StartTones(const std::vector<ToneStep>& tones) {
        const QAudioFormat format = ToneFormat(m_device);
        m_sink = new QAudioSink(m_device, format, this);
        auto* buffer = new QBuffer(m_sink);
        buffer->setData(SinePcm(format, tones));
        buffer->open(QIODevice::ReadOnly);
        connect(m_sink, &QAudioSink::stateChanged, this, [this](QAudio::State state) {
            if (state == QAudio::IdleState || state == QAudio::StoppedState) OutputEnded();
        });
        m_sink->start(buffer);
        // A sink that cannot start reports no state change.
        if (m_sink->error() != QAudio::NoError) OutputEnded();
    }

    // Stops the output at once and tells a caller waiting for the sound.
    void EndCurrent() {
        m_slotEnd.stop();
        if (m_effect) {
            m_effect->disconnect(this);
            m_effect->stop();
            m_effect->deleteLater();
            m_effect = nullptr;
        }
        if (m_sink) {
            m_sink->disconnect(this);
            m_sink->stop();
            m_sink->deleteLater();
            m_sink = nullptr;
        }
        if (m_current && m_current->completion) m_current->completion->Finish();
        m_current.reset();
    }

    QAudioDevice m_device;
    QTimer m_slotEnd;  // when the next sound may start
    std::deque<Sound> m_waiting;
    std::optional<Sound> m_current;
    Clock::time_point m_soundEnd;
    QSoundEffect* m_effect = nullptr;
    QAudioSink* m_sink = nullptr;
};

void SilentSoundOutput::PlayWaveAsync(const std::string&) {}

void SilentSoundOutput::PlayTonesAsync(std::span<const ToneStep>) {}

void SilentSoundOutput::PlayWaveSync(const std::string& path, std::stop_token stop) {
    SleepUntil(Clock::now() + WaveFileDuration(path).value_or(milliseconds(0)), stop);
}

void SilentSoundOutput::Tone(int, int durationMs, std::stop_token stop) {
    SleepUntil(Clock::now() + milliseconds(durationMs), stop);
}

QtSoundOutput::QtSoundOutput(const QAudioDevice& device) : m_player(new Player(device)) {
    m_thread.setObjectName(QStringLiteral("sound"));
    m_player->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_player, &QObject::deleteLater);
    m_thread.start();
}

QtSoundOutput::~QtSoundOutput() {
    m_thread.quit();
    m_thread.wait();
}

void QtSoundOutput::PlayWaveAsync(const std::string& path) {
    Post({QString::fromStdString(path), {}, nullptr});
}

void QtSoundOutput::PlayTonesAsync(std::span<const ToneStep> tones) {
    Post({{}, std::vector(tones.begin(), tones.end()), nullptr});
}

void QtSoundOutput::PlayWaveSync(const std::string& path, std::stop_token stop) {
    PlayAndWait({QString::fromStdString(path), {}, std::make_shared<Completion>()}, stop);
}

void QtSoundOutput::Tone(int frequencyHz, int durationMs, std::stop_token stop) {
    PlayAndWait({{}, {ToneStep{frequencyHz, durationMs}}, std::make_shared<Completion>()}, stop);
}

void QtSoundOutput::Silence() {
    QMetaObject::invokeMethod(
        m_player, [player = m_player] { player->Silence(); }, Qt::QueuedConnection);
}

void QtSoundOutput::Post(const Sound& sound) {
    QMetaObject::invokeMethod(
        m_player, [player = m_player, sound] { player->Enqueue(sound); }, Qt::QueuedConnection);
}

void QtSoundOutput::PlayAndWait(const Sound& sound, std::stop_token stop) {
    if (stop.stop_requested()) return;
    Post(sound);
    sound.completion->Wait(stop);
}

std::unique_ptr<SoundOutput> MakeSoundOutput() {
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) return std::make_unique<SilentSoundOutput>();
    return std::make_unique<QtSoundOutput>(device);
}

}  // namespace fk::platform
