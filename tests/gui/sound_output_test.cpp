#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/qt/qt_file_dialogs.h"
#include "platform/qt/qt_sound_output.h"
#include "platform/qt/wave_header.h"

namespace {

using fk::platform::WaveDuration;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

void Tag(Bytes& out, std::string_view tag) {
    for (char c : tag) out.push_back(static_cast<std::uint8_t>(c));
}
void Le16(Bytes& out, std::uint16_t value) {
    for (int shift = 0; shift < 16; shift += 8) out.push_back(std::uint8_t(value >> shift));
}
void Le32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(std::uint8_t(value >> shift));
}

// The chunk headers of a PCM wave file up to its data, an odd-sized chunk before the data. The
// byte rate claims what a careless writer might; players go by rate and frame size.
Bytes WaveHeader(std::uint32_t sampleRate, std::uint16_t blockAlign, std::uint32_t dataBytes,
                 bool withFmt = true, std::uint16_t formatTag = 1) {
    Bytes out;
    Tag(out, "RIFF");
    Le32(out, 0);
    Tag(out, "WAVE");
    if (withFmt) {
        Tag(out, "fmt ");
        Le32(out, 16);
        Le16(out, formatTag);
        Le16(out, 1);  // channels
        Le32(out, sampleRate);
        Le32(out, 1);  // byte rate
        Le16(out, blockAlign);
        Le16(out, 8);  // bits
    }
    Tag(out, "LIST");
    Le32(out, 3);
    for (std::uint8_t b : {'a', 'b', 'c', '\0'}) out.push_back(b);  // padded to even
    Tag(out, "data");
    Le32(out, dataBytes);
    return out;
}

// The duration of a file made of the header and held bytes of data.
std::optional<std::chrono::milliseconds> Duration(const Bytes& header, std::uint64_t held) {
    return WaveDuration(header, header.size() + held);
}

void WriteWave(const std::string& path, const Bytes& header, std::size_t held) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(header.data()),
               static_cast<std::streamsize>(header.size()));
    file << std::string(held, '\x80');
}

template <class Action>
long long ElapsedMs(Action&& action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace

TEST(WaveHeader, DurationIsTheFramesTheFileHoldsAtItsSampleRate) {
    struct Row {
        const char* what;
        Bytes header;
        std::uint64_t held;
        std::chrono::milliseconds duration;
    };
    const Row rows[] = {
        {"as claimed", WaveHeader(8000, 1, 4000), 4000, 500ms},
        {"empty", WaveHeader(8000, 1, 0), 0, 0ms},
        {"stereo 16-bit", WaveHeader(44100, 4, 44100 * 4 * 3), 44100 * 4 * 3, 3000ms},
        {"float", WaveHeader(8000, 4, 32000, true, 3), 32000, 1000ms},
        {"more held than claimed", WaveHeader(8000, 1, 4000), 8000, 500ms},
        {"streaming header", WaveHeader(44100, 4, 0xFFFFFFFF), 44100 * 4, 1000ms},
        {"lowest rate, most data", WaveHeader(1000, 1, 0xFFFFFFFF), 0xFFFFFFFF, 4294967295ms},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(Duration(row.header, row.held), row.duration);
    }
}

TEST(WaveHeader, MalformedOrUnplayableHeadersHaveNoDuration) {
    EXPECT_EQ(Duration(WaveHeader(0, 1, 4000), 4000), std::nullopt);
    EXPECT_EQ(Duration(WaveHeader(999, 1, 4000), 4000), std::nullopt);
    EXPECT_EQ(Duration(WaveHeader(8000, 0, 4000), 4000), std::nullopt);
    EXPECT_EQ(Duration(WaveHeader(8000, 1, 4000, true, 2), 4000), std::nullopt);  // ADPCM
    EXPECT_EQ(Duration(WaveHeader(8000, 1, 4000, false), 4000), std::nullopt);
    Bytes notRiff = WaveHeader(8000, 1, 4000);
    notRiff[0] = 'X';
    EXPECT_EQ(Duration(notRiff, 4000), std::nullopt);
    const Bytes full = WaveHeader(8000, 1, 4000);
    for (std::size_t length : {0, 4, 11, 12, 20, 30, 44, 50}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(WaveDuration(std::span(full).first(length), length), std::nullopt);
    }
    Bytes hugeChunk = WaveHeader(8000, 1, 4000);
    hugeChunk[19] = 0x7F;  // the fmt chunk claims more bytes than there are
    EXPECT_EQ(Duration(hugeChunk, 4000), std::nullopt);
}

TEST(SilentSound, EveryWaitingCallTakesItsSoundsLengthUnlessStopped) {
    QTemporaryDir dir;
    const std::string wave = (dir.path() + "/error.wav").toStdString();
    WriteWave(wave, WaveHeader(8000, 1, 0xFFFFFFFF), 2400);  // 300 ms held
    const std::string longWave = (dir.path() + "/long.wav").toStdString();
    WriteWave(longWave, WaveHeader(8000, 1, 80000), 80000);  // 10 s
    fk::platform::SilentSoundOutput sound;

    const auto tone = ElapsedMs([&] { sound.Tone(1569, 300, {}); });
    EXPECT_GE(tone, 300);
    EXPECT_LT(tone, 3000);
    const auto sync = ElapsedMs([&] { sound.PlayWaveSync(wave, {}); });
    EXPECT_GE(sync, 300);
    EXPECT_LT(sync, 3000);
    EXPECT_LT(ElapsedMs([&] { sound.PlayWaveAsync(wave); }), 250);
    EXPECT_LT(ElapsedMs([&] { sound.PlayWaveSync(dir.path().toStdString() + "/none.wav", {}); }),
              250);

    std::stop_source stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        stop.request_stop();
    });
    EXPECT_LT(ElapsedMs([&] { sound.PlayWaveSync(longWave, stop.get_token()); }), 2000);
    stopper.join();
    EXPECT_LT(ElapsedMs([&] { sound.Tone(1046, 10000, stop.get_token()); }), 250);
}

TEST(QtSound, ToneWithoutAWorkingDeviceStillTakesItsLengthAndEnds) {
    fk::platform::QtSoundOutput sound{QAudioDevice()};
    const auto tone = ElapsedMs([&] { sound.Tone(1046, 200, {}); });
    EXPECT_GE(tone, 200);
    EXPECT_LT(tone, 5000);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_LT(ElapsedMs([&] { sound.Tone(1046, 10000, stop.get_token()); }), 250);
    const fk::platform::ToneStep tones[] = {{1046, 300}, {1318, 300}};
    EXPECT_LT(ElapsedMs([&] { sound.PlayTonesAsync(tones); }), 250);
}

// A failed start asks for the start cue and the error cue twice at once: they sound one after
// the other, never as a chord, so a sound asked for next waits for all three. A stop silences the
// sound playing, 10 s long here, and whatever waits behind it, also for a waiting caller. (Tones
// stand in for a file: the toolkit's sample cache keeps a file's sound past the end of the test.)
TEST(QtSound, CuesPlayOneAfterTheOtherAndAStopSilencesThePlayingOne) {
    fk::platform::QtSoundOutput sound{QAudioDevice()};
    const fk::platform::ToneStep start[] = {{1046, 1000}};
    const fk::platform::ToneStep error[] = {{1569, 300}};
    const fk::platform::ToneStep longTone[] = {{1046, 10000}};
    const auto queued = ElapsedMs([&] {
        sound.PlayTonesAsync(start);
        sound.PlayTonesAsync(error);
        sound.PlayTonesAsync(error);
        sound.Tone(2093, 10, {});
    });
    EXPECT_GE(queued, 1600);
    EXPECT_LT(queued, 5000);

    sound.PlayTonesAsync(longTone);
    sound.PlayTonesAsync(start);
    std::this_thread::sleep_for(100ms);
    sound.Silence();
    EXPECT_LT(ElapsedMs([&] { sound.Tone(2093, 10, {}); }), 1000);

    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        sound.Silence();
    });
    EXPECT_LT(ElapsedMs([&] { sound.Tone(1046, 10000, {}); }), 2000);
    stopper.join();
}

TEST(QtFileDialogFilters, EntriesBecomeAnyCaseQtFilters) {
    EXPECT_EQ(fk::platform::QtNameFilters("Vantorix System File (*.Bin)|*.bin"),
              QStringList{"Vantorix System File (*.Bin) (*.[bB][iI][nN])"});
    EXPECT_EQ(fk::platform::QtNameFilters("Data (*.Fnt)|*.Fnt|All|*.*;x?.a1"),
              (QStringList{"Data (*.Fnt) (*.[fF][nN][tT])", "All (*.* [xX]?.[aA]1)"}));
    EXPECT_TRUE(fk::platform::QtNameFilters("").isEmpty());
    EXPECT_EQ(fk::platform::QtDefaultSuffix("*.Bin"), QStringLiteral("Bin"));
    EXPECT_EQ(fk::platform::QtDefaultSuffix("Fnt"), QStringLiteral("Fnt"));
}
