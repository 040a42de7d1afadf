// Numbers and strings as JSON text, whatever the locale.
#pragma once

#include <string>

namespace kestrova {

// "%g" (or `format`) in the C locale; "null" for a value that is not finite.
std::string JsonNumber(double value, const char* format = "%g");
// A quoted string with quotes, backslashes and control characters escaped.
std::string JsonString(const std::string& text);

}  // namespace kestrova
