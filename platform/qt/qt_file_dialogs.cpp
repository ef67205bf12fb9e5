#include "platform/qt/qt_file_dialogs.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

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
    // A name that is not UTF-8 comes back with U+FFFD in it; the window finds the file it
    // stands for.
    return QFile::encodeName(dialog.selectedFiles().first()).toStdString();
}

}  // namespace fk::platform
