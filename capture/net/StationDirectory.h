// The station runs a participant knows of, from their announcements. Each
// run is known by the DDS participant that really announced it (discovery
// tells, whatever a sample claims), so two runs of one name stay two, and a
// sample can be traced to the run that wrote it. A run is alive while its
// announcement writer is: a run that ends, dies or is cut off is no longer
// alive within the liveliness lease, and alive again if it comes back.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "capture/net/DdsReading.h"
#include "capture/net/NetDomain.h"
#include "settings/DepthFrameFormat.h"

namespace kestrova::net {

// The GUID of a DDS participant, as discovery gives it.
using ParticipantId = std::array<std::uint8_t, 16>;

// The participant that wrote the samples of `publication` (a matched
// writer of `reader`); false when it is not known (any more).
bool WriterParticipant(dds_entity_t reader, dds_instance_handle_t publication, ParticipantId* id);

struct RemoteCamera {
  int camera = 0;  // 1 to 4, as the station numbers it
  std::string serial;
  // The frames it sends, as announced (rows packed); a station of an older
  // frame type announces none (0 x 0).
  DepthFrameFormat format;
};

struct StationInfo {
  std::string name;
  std::string host;
  std::uint64_t run = 0;
  std::string version;  // the station program's version
  int frameType = 0;    // the version of the frame samples it sends
  std::vector<RemoteCamera> cameras;
  ParticipantId participant{};
  bool alive = true;

  bool Compatible() const { return frameType == FrameTypeVersion(); }
  bool HasCamera(int camera) const;
  // The camera's entry; null when the run has none.
  const RemoteCamera* Camera(int camera) const;
};

// "run 3f0a... on host h", for messages.
std::string RunText(const StationInfo& station);
// The versions of a station, for messages: "kestrova 0.2, frame type 2".
std::string VersionText(const StationInfo& station);

class StationDirectory {
 public:
  StationDirectory() = default;
  // Deletes the readers, so that DDS calls this no more.
  ~StationDirectory();
  StationDirectory(const StationDirectory&) = delete;
  StationDirectory& operator=(const StationDirectory&) = delete;

  // Starts reading announcements on `domain`; false with the reason.
  bool Open(NetDomain& domain, std::string* error);

  // The announcement reader, for waiting on.
  dds_entity_t Reader() const { return reader_; }

  // Takes new announcements and changes of liveliness. True when the
  // stations known changed.
  bool Update();

  // Every station run known, alive or not, in the order they were announced.
  std::vector<StationInfo> Runs() const;
  // The runs alive now.
  std::vector<StationInfo> Alive() const;

  // True while a station's announcement writer is known but its
  // announcement has not arrived yet.
  bool Pending() const;

 private:
  bool TakeAnnouncements();
  bool Add(dds_instance_handle_t publication, StationInfo info);
  bool ApplyLiveliness();

  LivelinessChanges livelinessChanges_;  // of the announcement writers
  dds_entity_t reader_ = 0;

  mutable std::mutex runsMutex_;
  std::map<dds_instance_handle_t, bool> writerAlive_;
  std::map<dds_instance_handle_t, StationInfo> runs_;  // by announcement writer
  std::vector<dds_instance_handle_t> order_;
};

}  // namespace kestrova::net
