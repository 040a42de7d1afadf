// Numbers in the settings and take files are always written and read in the
// C locale: a process whose locale uses a decimal comma must still write
// "0.001200". ScopedCLocale switches the calling thread alone to "C".
#pragma once

#include <locale.h>

namespace kestrova {

class ScopedCLocale {
 public:
  ScopedCLocale();
  ~ScopedCLocale();
  ScopedCLocale(const ScopedCLocale&) = delete;
  ScopedCLocale& operator=(const ScopedCLocale&) = delete;

 private:
  locale_t previous_;
};

}  // namespace kestrova
