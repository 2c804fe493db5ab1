#include "tools/HtmlText.h"

namespace vxtool {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool isNoncharacter(char32_t u) { return (u >= 0xFDD0 && u <= 0xFDEF) || (u & 0xFFFE) == 0xFFFE; }

}  // namespace

QString htmlText(const QString& text) {
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            const char32_t u = QChar::surrogateToUcs4(c, text[i + 1].unicode());
            if (isNoncharacter(u))
                out += QChar(kReplacement);
            else
                out.append(text[i]).append(text[i + 1]);
            ++i;
            continue;
        }
        switch (c) {
            case '&':
                out += QLatin1String("&amp;");
                continue;
            case '<':
                out += QLatin1String("&lt;");
                continue;
            case '>':
                out += QLatin1String("&gt;");
                continue;
            case '"':
                out += QLatin1String("&quot;");
                continue;
            case '\'':
                out += QLatin1String("&#39;");
                continue;
            case '\t':
            case '\n':
            case '\r':
                out += QChar(c);
                continue;
            default:
                break;
        }
        if (c < 0x20)
            out += QChar(char16_t(0x2400 + c));
        else if (c == 0x7F)
            out += QChar(char16_t(0x2421));
        else if ((c >= 0x80 && c <= 0x9F) || QChar::isSurrogate(c) || isNoncharacter(c))
            out += QChar(kReplacement);
        else
            out += QChar(c);
    }
    return out;
}

}  // namespace vxtool
