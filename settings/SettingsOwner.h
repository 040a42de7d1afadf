// The engine's owner: the holder of the OperatorSettings. The operator
// window keeps one; tests and command-line tools make their own.
//
// The UI thread writes the settings while the loops and grabs read them, so
// every access goes through a copy taken under a lock: a reader never sees a
// half-written record.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "settings/Settings.h"

namespace kestrova {

class SettingsOwner {
 public:
  SettingsOwner() = default;

  // A consistent copy of every field.
  OperatorSettings Settings() const;

  // Replaces every field but elapsedText, which only the recording loop writes.
  void StoreSettings(const OperatorSettings& settings);

  // Edits the record in place under the lock.
  void Modify(const std::function<void(OperatorSettings&)>& edit);

  std::string ElapsedText() const;
  void SetElapsedText(const std::string& text);

 private:
  mutable std::mutex mutex_;
  OperatorSettings settings_;
};

}  // namespace kestrova
