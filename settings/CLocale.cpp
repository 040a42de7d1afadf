#include "settings/CLocale.h"

namespace kestrova {

namespace {
locale_t CLocale() {
  // Created once and never freed: it is shared by every thread.
  static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}
}  // namespace

ScopedCLocale::ScopedCLocale() : previous_(uselocale(CLocale())) {}

ScopedCLocale::~ScopedCLocale() { uselocale(previous_); }

}  // namespace kestrova
