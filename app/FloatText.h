// Numbers in the window's edit fields, as the dialog framework exchanges
// them: shown in the short form "%.6g" (0.0012, 78.5, -70), read back from
// text that holds one number and nothing else. Always with a decimal point,
// whatever the user's locale.
#pragma once

#include <QString>

namespace kestrova {

QString FormatFloat(float value);

// False when the text is not one finite number (blanks around it allowed).
bool ParseFloat(const QString& text, float* value);

}  // namespace kestrova
