// Two helpers for reading DDS samples: samples taken on loan, and the
// changes of liveliness of a reader's writers, collected on DDS's listener
// thread and handed to the thread that reads.
#pragma once

#include <dds/dds.h>

#include <mutex>
#include <utility>
#include <vector>

namespace kestrova::net {

// Up to `Batch` samples taken from `reader` on loan, handed back when it
// goes out of scope.
template <int Batch>
struct LoanedSamples {
  explicit LoanedSamples(dds_entity_t reader) : reader(reader) {
    count = dds_take(reader, samples, infos, Batch, Batch);
  }
  ~LoanedSamples() {
    if (count > 0) dds_return_loan(reader, samples, count);
  }
  LoanedSamples(const LoanedSamples&) = delete;
  LoanedSamples& operator=(const LoanedSamples&) = delete;

  dds_entity_t reader;
  void* samples[Batch] = {};
  dds_sample_info_t infos[Batch];
  int count = 0;
};

// The writers of a reader that became alive or not alive, in order. The
// reader must be deleted before this is.
class LivelinessChanges {
 public:
  using Change = std::pair<dds_instance_handle_t, bool>;  // writer, alive now

  // A listener for a reader's creation, which reports here; the caller deletes it.
  dds_listener_t* CreateListener() {
    dds_listener_t* listener = dds_create_listener(this);
    dds_lset_liveliness_changed(listener, &LivelinessChanges::Changed);
    return listener;
  }

  // The changes since the last call.
  std::vector<Change> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Change> changes;
    changes.swap(changes_);
    return changes;
  }

 private:
  static void Changed(dds_entity_t, const dds_liveliness_changed_status_t status, void* self) {
    auto* changes = static_cast<LivelinessChanges*>(self);
    std::lock_guard<std::mutex> lock(changes->mutex_);
    changes->changes_.emplace_back(status.last_publication_handle, status.alive_count_change > 0);
  }

  std::mutex mutex_;
  std::vector<Change> changes_;
};

}  // namespace kestrova::net
