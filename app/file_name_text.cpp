#include "app/file_name_text.h"

#include <cstdint>

#include "image/image_files.h"
#include "image/utf8.h"

namespace fk {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

}  // namespace

QString FileNameText(std::string_view bytes) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    while (!bytes.empty()) {
        char32_t codePoint = 0;
        std::size_t length = Utf8SequenceLength(bytes, codePoint);
        if (length == 0) {
            codePoint = kEscapeBase + static_cast<std::uint8_t>(bytes[0]);
            length = 1;
        }
        if (codePoint >= 0x10000) {
            text += QChar::highSurrogate(codePoint);
            text += QChar::lowSurrogate(codePoint);
        } else {
            text += QChar(static_cast<char16_t>(codePoint));
        }
        bytes.remove_prefix(length);
    }
    return text;
}

std::string PathInBox(const QString& text) {
    return ResolveShownPath(FileNameBytes(text));
}

std::string FileNameBytes(const QString& text) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text[i + 1].unicode())) {
            AppendUtf8(bytes, QChar::surrogateToUcs4(unit, text[++i].unicode()));
        } else if (unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF) {
            bytes += static_cast<char>(unit - kEscapeBase);
        } else if (QChar::isSurrogate(unit)) {
            // A stray surrogate that no file name decoded into; it has no bytes of its own.
            AppendUtf8(bytes, QChar::ReplacementCharacter);
        } else {
            AppendUtf8(bytes, unit);
        }
    }
    return bytes;
}

}  // namespace fk
