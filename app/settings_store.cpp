#include "app/settings_store.h"

#include <QSettings>
#include <stdexcept>

#include "app/file_name_text.h"
#include "platform/format_text.h"

namespace fk {

namespace {

QString SettingKey(const std::string& group, const std::string& name) {
    return QString::fromStdString(group + '/' + name);
}

}  // namespace

std::string ReadSettingString(const std::string& group, const std::string& name) {
    return ReadSettingString(QSettings(kSettingsOrganisation, kSettingsApplication), group, name);
}

std::string ReadSettingString(const QSettings& settings, const std::string& group,
                              const std::string& name) {
    const QString key = SettingKey(group, name);
    if (!settings.contains(key)) return {};
    const QVariant value = settings.value(key);
    std::string bytes;
    if (value.typeId() == QMetaType::QString) {
        bytes = FileNameBytes(value.toString());
    } else if (value.typeId() == QMetaType::QByteArray) {
        bytes = value.toByteArray().toStdString();
    } else {
        throw std::runtime_error(FormatText("Invalid data type for '%s'", name.c_str()));
    }
    // A stored string ends at its first zero byte.
    if (const auto end = bytes.find('\0'); end != std::string::npos) bytes.resize(end);
    return bytes;
}

void WriteSettingString(const std::string& group, const std::string& name,
                        const std::string& value) {
    QSettings settings(kSettingsOrganisation, kSettingsApplication);
    // Never fall back to rewriting the file in place: a crash or a full disk half-way would
    // lose the values stored by earlier runs.
    settings.setAtomicSyncRequired(true);
    // A file name is bytes. One that is UTF-8 is stored as text, readable in the file; any other
    // as bytes, since the file's text is UTF-8 and would lose them.
    const QString text = QString::fromStdString(value);
    const bool utf8 = text.toStdString() == value;
    settings.setValue(SettingKey(group, name),
                      utf8 ? QVariant(text) : QVariant(QByteArray::fromStdString(value)));
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        throw std::runtime_error(FormatText("Failed to set data for '%s'", name.c_str()));
    }
}

}  // namespace fk
