#include "app/settings_store.h"

#include <QSettings>
#include <stdexcept>

#include "image/format_text.h"

namespace fk {

namespace {

QString SettingKey(const std::string& group, const std::string& name) {
    return QString::fromStdString(group + '/' + name);
}

}  // namespace

std::string ReadSettingString(const std::string& group, const std::string& name) {
    const QSettings settings(kSettingsOrganisation, kSettingsApplication);
    const QString key = SettingKey(group, name);
    if (!settings.contains(key)) return {};
    const QVariant value = settings.value(key);
    if (value.typeId() != QMetaType::QString) {
        throw std::runtime_error(FormatText("Invalid data type for '%s'", name.c_str()));
    }
    // A stored string ends at its first zero character.
    QString text = value.toString();
    if (const auto end = text.indexOf(QChar(u'\0')); end >= 0) text.truncate(end);
    return text.toStdString();
}

void WriteSettingString(const std::string& group, const std::string& name,
                        const std::string& value) {
    QSettings settings(kSettingsOrganisation, kSettingsApplication);
    // Never fall back to rewriting the file in place: a crash or a full disk half-way would
    // lose the values stored by earlier runs.
    settings.setAtomicSyncRequired(true);
    settings.setValue(SettingKey(group, name), QString::fromStdString(value));
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        throw std::runtime_error(FormatText("Failed to set data for '%s'", name.c_str()));
    }
}

}  // namespace fk
