#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <string_view>
#include <vector>

#include "platform/qt/qt_file_dialogs.h"
#include "platform/qt/qt_sound_output.h"
#include "platform/qt/wave_header.h"

namespace {

using fk::platform::WaveDurationMs;
using Bytes = std::vector<std::uint8_t>;

void Tag(Bytes& out, std::string_view tag) {
    for (char c : tag) out.push_back(static_cast<std::uint8_t>(c));
}
void Le32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(std::uint8_t(value >> shift));
}

// A PCM wave header: mono 8 kHz 8-bit (8000 bytes a second), an odd-sized chunk before the data.
Bytes WaveHeader(std::uint32_t byteRate, std::uint32_t dataBytes, bool withFmt = true) {
    Bytes out;
    Tag(out, "RIFF");
    Le32(out, 0);
    Tag(out, "WAVE");
    if (withFmt) {
        Tag(out, "fmt ");
        Le32(out, 16);
        for (std::uint8_t b : {1, 0, 1, 0}) out.push_back(b);  // PCM, mono
        Le32(out, 8000);                                       // sample rate
        Le32(out, byteRate);
        for (std::uint8_t b : {1, 0, 8, 0}) out.push_back(b);  // block align, bits
    }
    Tag(out, "LIST");
    Le32(out, 3);
    for (std::uint8_t b : {'a', 'b', 'c', '\0'}) out.push_back(b);  // padded to even
    Tag(out, "data");
    Le32(out, dataBytes);
    return out;
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

TEST(WaveHeader, DurationComesFromDataSizeAndByteRate) {
    EXPECT_EQ(WaveDurationMs(WaveHeader(8000, 4000)), 500);
    EXPECT_EQ(WaveDurationMs(WaveHeader(8000, 0)), 0);
    EXPECT_EQ(WaveDurationMs(WaveHeader(44100 * 4, 44100 * 4 * 3)), 3000);
}

TEST(WaveHeader, MalformedHeadersHaveNoDuration) {
    EXPECT_EQ(WaveDurationMs(WaveHeader(0, 4000)), std::nullopt);
    EXPECT_EQ(WaveDurationMs(WaveHeader(8000, 4000, false)), std::nullopt);
    Bytes notRiff = WaveHeader(8000, 4000);
    notRiff[0] = 'X';
    EXPECT_EQ(WaveDurationMs(notRiff), std::nullopt);
    const Bytes full = WaveHeader(8000, 4000);
    for (std::size_t length : {0, 4, 11, 12, 20, 30, 44, 50}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(WaveDurationMs(std::span(full).first(length)), std::nullopt);
    }
    Bytes hugeChunk = WaveHeader(8000, 4000);
    hugeChunk[19] = 0x7F;  // the fmt chunk claims more bytes than there are
    EXPECT_EQ(WaveDurationMs(hugeChunk), std::nullopt);
}

TEST(SilentSound, EveryWaitingCallTakesItsSoundsLength) {
    QTemporaryDir dir;
    const std::string wave = (dir.path() + "/error.wav").toStdString();
    const Bytes header = WaveHeader(8000, 2400);  // 300 ms
    std::ofstream(wave, std::ios::binary)
        .write(reinterpret_cast<const char*>(header.data()),
               static_cast<std::streamsize>(header.size()));
    fk::platform::SilentSoundOutput sound;

    const auto tone = ElapsedMs([&] { sound.Tone(1569, 300); });
    EXPECT_GE(tone, 300);
    EXPECT_LT(tone, 3000);
    const auto sync = ElapsedMs([&] { sound.PlayWaveSync(wave); });
    EXPECT_GE(sync, 300);
    EXPECT_LT(sync, 3000);
    EXPECT_LT(ElapsedMs([&] { sound.PlayWaveAsync(wave); }), 250);
    EXPECT_LT(ElapsedMs([&] { sound.PlayWaveSync(dir.path().toStdString() + "/none.wav"); }), 250);
}

TEST(QtSound, ToneWithoutAWorkingDeviceStillTakesItsLengthAndEnds) {
    fk::platform::QtSoundOutput sound{QAudioDevice()};
    const auto tone = ElapsedMs([&] { sound.Tone(1046, 200); });
    EXPECT_GE(tone, 200);
    EXPECT_LT(tone, 5000);
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
