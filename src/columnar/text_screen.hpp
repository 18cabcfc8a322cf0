// The importer's screen of JSON text, before it lets the store copy the text
// instead of reading each value in Python: whether the text certainly holds
// no value the importer refuses other than one nested too deeply.
//
// It looks at bytes, not values: the bytes are read as marks (a digit, an
// exponent mark 'e' or 'E', anything else; a '+' is dropped), and the text
// passes when the marks hold no run of 19 digits (an integer beyond the signed
// 64-bit range has one), no digit, exponent mark and three digits (a number
// beyond a double has that or such a run), and the bytes no "\ud" or "\uD"
// (the escape of a surrogate; a lone one cannot be stored, and UTF-8 text has
// none as it is). Strings are screened too, so some harmless texts fail.
#pragma once

#include <string_view>

namespace orbisk::columnar {

bool json_text_screened(std::string_view text);

}  // namespace orbisk::columnar
