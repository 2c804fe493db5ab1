// Text of a show made safe to place in an HTML page, as element content or inside a quoted
// attribute value, in the HTML and the SVG parts alike.
#pragma once

#include <QString>

namespace vxtool {

// text with &, <, >, " and ' as character references, so that no name or note can open
// an element or leave its attribute, whatever it holds. Characters an HTML parser takes
// as errors are replaced visibly: control characters other than tab, line feed and
// carriage return by their control pictures (U+2400...), DEL by U+2421, C1 controls,
// noncharacters and unpaired surrogates by U+FFFD. Line breaks stay; the page shows them.
QString htmlText(const QString& text);

}  // namespace vxtool
