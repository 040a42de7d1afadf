#include "record/TakeVersion.h"

#include <unistd.h>

#include "record/TakePaths.h"
#include "settings/ParamsFile.h"
#include "settings/Version.h"

namespace kestrova {

namespace {

constexpr char kHeader[] = "# Kestrova version file 1";
constexpr char kWrittenLabel[] = "WRITTEN: ";
constexpr char kRecordedLabel[] = "RECORDED: ";
// A version is far shorter; a longer line is no version file.
constexpr std::size_t kMaxLineBytes = 256;

bool Printable(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  return !text.empty();
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

TakeVersion RecordingVersion() { return {ProgramVersion(), std::string()}; }

TakeVersion ReprocessingVersion(const TakeVersion& original, bool found) {
  if (!found) return {ProgramVersion(), kUnknownVersion};
  return {ProgramVersion(), original.recorded.empty() ? original.written : original.recorded};
}

std::string TakeVersionText(const TakeVersion& version) {
  std::string text = std::string(kHeader) + "\r\n" + kWrittenLabel + version.written + "\r\n";
  if (!version.recorded.empty()) text += kRecordedLabel + version.recorded + "\r\n";
  return text;
}

bool WriteTakeVersion(const std::string& dir, const TakeVersion& version, std::string* error) {
  std::string path;
  if (!ComposeTakePath(dir, kTakeVersionFile, &path, error)) return false;
  return WriteFileAtomically(path, TakeVersionText(version), error);
}

bool ReadTakeVersion(const std::string& dir, TakeVersion* version, ReadFault* fault) {
  *version = TakeVersion();
  *fault = ReadFault();
  std::string path, error;
  if (!ComposeTakePath(dir, kTakeVersionFile, &path, &error)) return false;
  if (::access(path.c_str(), F_OK) != 0) return false;  // an older take
  FileBytes bytes;
  if (!bytes.Open(path, kTakeVersionFile, fault)) return false;
  auto fail = [&](std::uint64_t at, long long line, const std::string& reason) {
    *fault = {true, kTakeVersionFile, at, line, reason};
    *version = TakeVersion();
    return false;
  };
  for (long long lineIndex = 0;; ++lineIndex) {
    const std::uint64_t start = bytes.Offset();
    std::string line;
    const TextLine read = ReadTextLine(bytes, kMaxLineBytes, &line);
    if (read == TextLine::End) break;
    if (read != TextLine::Line) return fail(start, lineIndex, TextLineFault(read, "a version"));
    if (line.empty() || line[0] == '#') continue;
    std::string* field = StartsWith(line, kWrittenLabel)    ? &version->written
                         : StartsWith(line, kRecordedLabel) ? &version->recorded
                                                            : nullptr;
    if (field == nullptr) continue;  // a label of a later version
    const std::string value = line.substr(line.find(' ') + 1);
    if (!Printable(value)) return fail(start, lineIndex, "a version that is not printable text");
    *field = value;
  }
  if (version->written.empty()) return fail(0, -1, "no WRITTEN: line");
  return true;
}

}  // namespace kestrova
