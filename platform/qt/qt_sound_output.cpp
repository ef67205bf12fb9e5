#include "platform/qt/qt_sound_output.h"

#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numbers>
#include <vector>

#include "platform/qt/wave_header.h"

namespace fk::platform {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Grace for the sound thread's start-up and the device's latency.
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
    // Until the sound has ended, the deadline has passed or a stop is requested.
    void WaitUntil(Clock::time_point deadline, std::stop_token stop) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_until(lock, stop, deadline, [this] { return m_done; });
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

// Waits for the sound's end, but never less than its length: a device that fails at once
// still leaves the operator-facing timing as it would be.
void WaitForSound(Completion& completion, Clock::time_point start, milliseconds length,
                  std::stop_token stop) {
    completion.WaitUntil(start + length + kWaitMargin, stop);
    SleepUntil(start + length, stop);
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

// Lives on the sound thread; every member runs there.
class QtSoundOutput::Player : public QObject {
  public:
    explicit Player(const QAudioDevice& device) : m_device(device) {}

    void PlayWave(const QString& path, const std::shared_ptr<Completion>& completion) {
        // A new wave cuts off the one still playing.
        delete m_effect;
        m_effect = new QSoundEffect(m_device, this);
        connect(m_effect, &QObject::destroyed, this, [completion] { completion->Finish(); });
        connect(m_effect, &QSoundEffect::playingChanged, this, [effect = m_effect, completion] {
            if (!effect->isPlaying()) completion->Finish();
        });
        connect(m_effect, &QSoundEffect::statusChanged, this, [effect = m_effect, completion] {
            if (effect->status() == QSoundEffect::Error) completion->Finish();
        });
        m_effect->setSource(QUrl::fromLocalFile(path));
        m_effect->play();
    }

    void PlayTones(const std::vector<ToneStep>& tones,
                   const std::shared_ptr<Completion>& completion) {
        const QAudioFormat format = ToneFormat(m_device);
        auto* sink = new QAudioSink(m_device, format, this);
        auto* buffer = new QBuffer(sink);
        buffer->setData(SinePcm(format, tones));
        buffer->open(QIODevice::ReadOnly);
        connect(sink, &QAudioSink::stateChanged, this, [sink, completion](QAudio::State state) {
            if (state == QAudio::IdleState || state == QAudio::StoppedState) {
                completion->Finish();
                sink->deleteLater();
            }
        });
        sink->start(buffer);
        // A sink that cannot start reports no state change; its caller need not wait longer.
        if (sink->error() != QAudio::NoError) {
            completion->Finish();
            sink->deleteLater();
        }
    }

  private:
    QAudioDevice m_device;
    QSoundEffect* m_effect = nullptr;
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
    QMetaObject::invokeMethod(
        m_player,
        [player = m_player, path = QString::fromStdString(path)] {
            player->PlayWave(path, std::make_shared<Completion>());
        },
        Qt::QueuedConnection);
}

void QtSoundOutput::PlayTonesAsync(std::span<const ToneStep> tones) {
    QMetaObject::invokeMethod(
        m_player,
        [player = m_player, tones = std::vector(tones.begin(), tones.end())] {
            player->PlayTones(tones, std::make_shared<Completion>());
        },
        Qt::QueuedConnection);
}

void QtSoundOutput::PlayWaveSync(const std::string& path, std::stop_token stop) {
    const auto start = Clock::now();
    // A file without a readable header cannot be played; nothing to wait for.
    const auto length = WaveFileDuration(path);
    if (!length) return;
    auto completion = std::make_shared<Completion>();
    QMetaObject::invokeMethod(
        m_player,
        [player = m_player, path = QString::fromStdString(path), completion] {
            player->PlayWave(path, completion);
        },
        Qt::QueuedConnection);
    WaitForSound(*completion, start, *length, stop);
}

void QtSoundOutput::Tone(int frequencyHz, int durationMs, std::stop_token stop) {
    const auto start = Clock::now();
    auto completion = std::make_shared<Completion>();
    QMetaObject::invokeMethod(
        m_player,
        [player = m_player, tone = ToneStep{frequencyHz, durationMs}, completion] {
            player->PlayTones({tone}, completion);
        },
        Qt::QueuedConnection);
    WaitForSound(*completion, start, milliseconds(durationMs), stop);
}

std::unique_ptr<SoundOutput> MakeSoundOutput() {
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) return std::make_unique<SilentSoundOutput>();
    return std::make_unique<QtSoundOutput>(device);
}

}  // namespace fk::platform
