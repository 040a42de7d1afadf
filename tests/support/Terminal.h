// The terminal (standard error) of a test, from construction to Text();
// released even when an assertion ends the test early.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace kestrova::testing {

class Terminal {
 public:
  Terminal() { ::testing::internal::CaptureStderr(); }
  ~Terminal() {
    if (capturing_) ::testing::internal::GetCapturedStderr();
  }
  std::string Text() {
    capturing_ = false;
    return ::testing::internal::GetCapturedStderr();
  }

 private:
  bool capturing_ = true;
};

}  // namespace kestrova::testing
