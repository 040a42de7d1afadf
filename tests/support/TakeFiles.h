// Plain readers of take files for tests (they trust the files).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrova::testing {

// The three numbers of every line of a TSn.txt.
std::vector<std::array<long long, 3>> ReadTimeStampLines(const std::string& path);

// The point counts of every whole record of a PCLn.dat; `trailing` gets the
// number of bytes after the last whole record.
std::vector<std::int32_t> ReadRecordCounts(const std::string& path, size_t* trailing = nullptr);

}  // namespace kestrova::testing
