#include "settings/SettingsOwner.h"

namespace kestrova {

OperatorSettings SettingsOwner::Settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

void SettingsOwner::StoreSettings(const OperatorSettings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string elapsed = std::move(settings_.elapsedText);
  settings_ = settings;
  settings_.elapsedText = std::move(elapsed);
}

void SettingsOwner::Modify(const std::function<void(OperatorSettings&)>& edit) {
  std::lock_guard<std::mutex> lock(mutex_);
  edit(settings_);
}

std::string SettingsOwner::ElapsedText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_.elapsedText;
}

void SettingsOwner::SetElapsedText(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.elapsedText = text;
}

}  // namespace kestrova
