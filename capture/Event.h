// A Win32-style event: manual reset, initially unsignalled. Set wakes every
// waiter and stays set until Reset. Every wait has a time limit, so no thread
// can wait for ever on a sensor that stopped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestrova {

class ManualResetEvent {
 public:
  void Set();
  void Reset();
  bool IsSet() const;

  // True when the event is (or becomes) signalled within `limit`.
  bool Wait(std::chrono::milliseconds limit);

 private:
  mutable std::mutex mutex_;
  std::condition_variable signalled_;
  bool set_ = false;
};

}  // namespace kestrova
