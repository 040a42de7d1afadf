#include "app/FloatText.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "settings/CLocale.h"

namespace kestrova {

QString FormatFloat(float value) {
  ScopedCLocale cLocale;
  char text[48];
  std::snprintf(text, sizeof text, "%.6g", static_cast<double>(value));
  return QString::fromLatin1(text);
}

bool ParseFloat(const QString& text, float* value) {
  const QByteArray bytes = text.trimmed().toUtf8();
  if (bytes.isEmpty()) return false;
  ScopedCLocale cLocale;
  char* end = nullptr;
  const double parsed = std::strtod(bytes.constData(), &end);
  if (end != bytes.constData() + bytes.size()) return false;
  const float result = static_cast<float>(parsed);
  if (!std::isfinite(result)) return false;
  *value = result;
  return true;
}

}  // namespace kestrova
