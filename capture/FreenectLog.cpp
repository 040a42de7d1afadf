#include "capture/FreenectLog.h"

#include <cctype>
#include <cstdio>

namespace kestrova {

namespace {

std::string Trimmed(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(0, end);
}

// libfreenect ends its failure messages with the libusb result, as a number
// ("Could not open camera: -3") or a name ("...: LIBUSB_ERROR_BUSY").
std::string ResultOf(const std::string& message) {
  const std::string text = Trimmed(message);
  const size_t colon = text.rfind(": ");
  return colon == std::string::npos ? std::string() : text.substr(colon + 2);
}

}  // namespace

std::string MessageKind(const std::string& message) {
  std::string kind;
  for (char c : Trimmed(message)) {
    if (!std::isdigit(static_cast<unsigned char>(c))) {
      kind += c;
    } else if (kind.empty() || kind.back() != '#') {
      kind += '#';
    }
  }
  return kind;
}

std::string OpenFailureReason(const std::vector<std::string>& messages) {
  for (const std::string& message : messages) {
    const std::string result = ResultOf(message);
    if (result == "-3" || result == "LIBUSB_ERROR_ACCESS")
      return "permission denied (this user may not open the USB device: see the udev rules "
             "in the README)";
    if (result == "-6" || result == "LIBUSB_ERROR_BUSY")
      return "busy (another program, or the kernel's gspca_kinect driver, holds it)";
    if (result == "-4" || result == "LIBUSB_ERROR_NO_DEVICE") return "it was unplugged";
  }
  if (messages.empty()) return "libfreenect gave no reason";
  return "libfreenect: " + Trimmed(messages.front());
}

void FreenectLog::Report(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (recent_.size() >= kRecentLimit)
    recent_.erase(recent_.begin());  // nobody asked: a dead device repeats
  recent_.push_back(Trimmed(message));
  if (printedKinds_.insert(MessageKind(message)).second)
    std::fprintf(stderr, "kestrova: libfreenect: %s\n", Trimmed(message).c_str());
}

std::vector<std::string> FreenectLog::TakeRecent() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> recent;
  recent.swap(recent_);
  return recent;
}

}  // namespace kestrova
