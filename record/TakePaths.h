// Paths of a take's files: the directory as the operator typed it, the
// platform's separator, the file name ("%s/PCL%d.dat"). A trailing separator
// in the directory gives two. A path must fit into 1024 bytes with its NUL.
#pragma once

#include <string>

namespace kestrova {

constexpr size_t kMaxPathBytes = 1024;

// False, with a reason naming the path, when it would not fit.
bool ComposeTakePath(const std::string& dir, const std::string& fileName, std::string* path,
                     std::string* error);

}  // namespace kestrova
