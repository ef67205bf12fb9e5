// The settings read path over any content of the settings file: the program reads its two
// remembered image paths at start, from a file the user (or a crash half-way through a write of
// some other program) may have left in any state. Each run hands the input to the toolkit's
// settings parser as the file's text, held in memory, and reads both values as the window does.
//
// Checked: a read gives a string or throws exactly the "Invalid data type" error for its value
// name, nothing else escapes; a string has no zero byte (it would cut the path short further
// on). A string is the bytes of a file name, which need not be UTF-8.

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSettings>
#include <QString>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "app/settings_store.h"
#include "fuzz_require.h"

namespace {

// The settings text lives in an anonymous memory file, which the parser opens by its
// /proc/self/fd name: no directory, no disk, nothing left behind.
class SettingsText {
  public:
    SettingsText() : m_fd(memfd_create("fk-fuzz-settings", 0)) {
        FUZZ_REQUIRE(m_fd >= 0);
        m_path = QString::fromStdString("/proc/self/fd/" + std::to_string(m_fd));
    }
    SettingsText(const SettingsText&) = delete;
    SettingsText& operator=(const SettingsText&) = delete;

    // The toolkit keeps a parsed settings file until its size or time stamp changes: every
    // input gets its own time stamp so that each one is parsed afresh.
    void Set(const std::uint8_t* data, std::size_t size) {
        FUZZ_REQUIRE(ftruncate(m_fd, 0) == 0);
        FUZZ_REQUIRE(pwrite(m_fd, data, size, 0) == static_cast<ssize_t>(size));
        const timespec times[2] = {{m_stamp, 0}, {m_stamp, 0}};
        ++m_stamp;
        FUZZ_REQUIRE(futimens(m_fd, times) == 0);
    }
    const QString& Path() const { return m_path; }

  private:
    int m_fd;
    QString m_path;
    std::int64_t m_stamp = 1'000'000'000;
};

void CheckRead(const QSettings& settings, const char* name) {
    try {
        const std::string value = fk::ReadSettingString(settings, "Files", name);
        FUZZ_REQUIRE(value.find('\0') == std::string::npos);
    } catch (const std::runtime_error& error) {
        FUZZ_REQUIRE(error.what() == std::string("Invalid data type for '") + name + "'");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static SettingsText text;
    // The program's own settings are in this format (the native one on Linux). One settings
    // object for the whole run: sync() parses the text again whenever it has changed.
    static QSettings settings(text.Path(), QSettings::IniFormat);
    text.Set(data, size);
    settings.sync();
    CheckRead(settings, "SystemFile");
    CheckRead(settings, "FontFile");
    return 0;
}
