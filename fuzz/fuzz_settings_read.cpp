// The settings read path over any content of the settings file: the program reads its two
// remembered image paths at start, from a file the user (or a crash half-way through a write of
// some other program) may have left in any state. Each run writes the input as the file and
// reads both values as the window does.
//
// Checked: a read gives a string or throws exactly the "Invalid data type" error for its value
// name, nothing else escapes; a string has no zero byte (it would cut the path short further
// on). A string is the bytes of a file name, which need not be UTF-8.

#include <fcntl.h>
#include <sys/stat.h>

#include <QSettings>
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "app/settings_store.h"
#include "fuzz_require.h"

namespace {

namespace fs = std::filesystem;

// A private settings location for the whole run, in place of the user's own; removed when the
// run ends.
class SettingsLocation {
  public:
    SettingsLocation() {
        std::string pattern = (fs::temp_directory_path() / "fk-fuzz-settings-XXXXXX").string();
        FUZZ_REQUIRE(mkdtemp(pattern.data()) != nullptr);
        m_directory = pattern;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(pattern));
        fs::create_directories(m_directory / fk::kSettingsOrganisation);
    }
    ~SettingsLocation() { fs::remove_all(m_directory); }
    SettingsLocation(const SettingsLocation&) = delete;
    SettingsLocation& operator=(const SettingsLocation&) = delete;
    fs::path File() const {
        return m_directory / fk::kSettingsOrganisation /
               (std::string(fk::kSettingsApplication) + ".conf");
    }

  private:
    fs::path m_directory;
};

const fs::path& SettingsFile() {
    static const SettingsLocation location;
    static const fs::path file = location.File();
    return file;
}

// Qt keeps a parsed settings file until its size or time stamp changes: give every run its own
// time stamp so each one is read afresh.
void WriteSettingsFile(const std::uint8_t* data, std::size_t size) {
    static std::int64_t stamp = 1'000'000'000;
    std::ofstream(SettingsFile(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    const timespec times[2] = {{stamp, 0}, {stamp, 0}};
    ++stamp;
    FUZZ_REQUIRE(utimensat(AT_FDCWD, SettingsFile().c_str(), times, 0) == 0);
}

void CheckRead(const char* name) {
    try {
        const std::string value = fk::ReadSettingString("Files", name);
        FUZZ_REQUIRE(value.find('\0') == std::string::npos);
    } catch (const std::runtime_error& error) {
        FUZZ_REQUIRE(error.what() == std::string("Invalid data type for '") + name + "'");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WriteSettingsFile(data, size);
    CheckRead("SystemFile");
    CheckRead("FontFile");
    return 0;
}
