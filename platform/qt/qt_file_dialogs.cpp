#include "platform/qt/qt_file_dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <filesystem>
#include <optional>
#include <system_error>

namespace fk::platform {

namespace {

QString AnyCaseGlob(const QString& pattern) {
    QString glob;
    for (const QChar c : pattern) {
        if (c.isLetter() && c.toLower() != c.toUpper()) {
            glob += u'[' + QString(c.toLower()) + QString(c.toUpper()) + u']';
        } else {
            glob += c;
        }
    }
    return glob;
}

}  // namespace

std::string FileSystemName(const QString& shown) {
    std::filesystem::path resolved;
    for (const QString& part : shown.split(u'/')) {
        if (part.isEmpty()) {
            if (resolved.empty()) resolved = "/";
            continue;
        }
        std::filesystem::path next = resolved / QFile::encodeName(part).toStdString();
        std::error_code error;
        if (!std::filesystem::exists(std::filesystem::symlink_status(next, error))) {
            // The toolkit shows bytes that are not UTF-8 as U+FFFD: find the one entry of the
            // directory that is shown so.
            std::optional<std::filesystem::path> match;
            const auto directory = resolved.empty() ? std::filesystem::path(".") : resolved;
            for (std::filesystem::directory_iterator entries(directory, error), end;
                 !error && entries != end; entries.increment(error)) {
                const std::string name = entries->path().filename().string();
                if (QFile::decodeName(QByteArray::fromStdString(name)) != part) continue;
                if (match) {
                    match.reset();
                    break;
                }
                match = resolved / name;
            }
            if (match) next = *match;
        }
        resolved = std::move(next);
    }
    return resolved.string();
}

QStringList QtNameFilters(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(u';', Qt::SkipEmptyParts);
        for (QString& pattern : patterns) pattern = AnyCaseGlob(pattern.trimmed());
        filters << parts[i] + QStringLiteral(" (") + patterns.join(u' ') + u')';
    }
    return filters;
}

QString QtDefaultSuffix(const std::string& defaultExt) {
    QString suffix = QString::fromStdString(defaultExt);
    if (suffix.startsWith(u'*')) suffix.remove(0, 1);
    if (suffix.startsWith(u'.')) suffix.remove(0, 1);
    return suffix;
}

std::optional<std::string> QtFileDialogs::GetOpenFileName(const OpenFileRequest& request) {
    QFileDialog dialog(QApplication::activeWindow());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    // Our own dialog, so the any-case patterns behave the same on every desktop.
    dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
    dialog.setNameFilters(QtNameFilters(request.filter));
    dialog.setDefaultSuffix(QtDefaultSuffix(request.defaultExt));
    const QFileInfo initial(QFile::decodeName(QByteArray::fromStdString(request.initialFolder)));
    if (!request.initialFolder.empty()) {
        if (initial.isDir()) {
            dialog.setDirectory(initial.absoluteFilePath());
        } else {
            dialog.setDirectory(initial.absolutePath());
            dialog.selectFile(initial.fileName());
        }
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return FileSystemName(dialog.selectedFiles().first());
}

}  // namespace fk::platform
