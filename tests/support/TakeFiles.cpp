#include "tests/support/TakeFiles.h"

#include <cstring>
#include <sstream>

#include "tests/support/TempDir.h"

namespace kestrova::testing {

std::vector<std::array<long long, 3>> ReadTimeStampLines(const std::string& path) {
  std::vector<std::array<long long, 3>> lines;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    std::array<long long, 3> numbers{};
    std::istringstream fields(line);
    fields >> numbers[0] >> numbers[1] >> numbers[2];
    lines.push_back(numbers);
  }
  return lines;
}

std::vector<std::int32_t> ReadRecordCounts(const std::string& path, size_t* trailing) {
  std::string data = ReadFile(path);
  std::vector<std::int32_t> counts;
  size_t at = 0;
  while (at + 4 <= data.size()) {
    std::int32_t count;
    std::memcpy(&count, data.data() + at, 4);
    size_t end = at + 4 + 12 * static_cast<size_t>(count);
    if (count < 0 || end > data.size()) break;
    counts.push_back(count);
    at = end;
  }
  if (trailing) *trailing = data.size() - at;
  return counts;
}

}  // namespace kestrova::testing
