#include "tools/JsonText.h"

#include <cmath>
#include <cstdio>

#include "settings/CLocale.h"

namespace kestrova {

std::string JsonNumber(double value, const char* format) {
  if (!std::isfinite(value)) return "null";
  ScopedCLocale cLocale;
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace kestrova
