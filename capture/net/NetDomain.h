// One DDS participant of the depth-frame network, with the topics stations
// and recorders share and the qualities of service of each.
//
// Frames: reliable, so a healthy network loses none; keep-last per camera,
// so neither a station nor a recorder holds more than a few frames of a
// camera however slow the other side is; volatile, so a recorder that joins
// late gets only new frames; automatic liveliness with a short lease, so a
// station that dies or is cut off is noticed within seconds. Their topic
// carries the frame type's version (see DepthFrames.idl).
// Announcements: reliable and transient-local (a late recorder learns of
// every running station at once), one per station run.
//
// With a security directory the participant joins under DDS Security: it
// authenticates with the rig's certificates, and the rig's signed
// governance and permissions decide what it may publish and read.
#pragma once

#include <dds/dds.h>

#include <string>

namespace kestrova::net {

constexpr int kDefaultDomain = 0;
constexpr int kMaxDomain = 230;  // the highest id whose ports the standard mapping allows
constexpr int kFrameHistory = 8;  // frames kept per camera on each side
constexpr int kLivelinessLeaseMs = 3000;

// The frame type this build sends and reads.
int FrameTypeVersion();
// "kestrova_depth_frames_v2" for version 2.
std::string FrameTopicName(int frameTypeVersion);
// The frame type version of a topic of frames, 1 for the first one's
// "kestrova_depth_frames"; 0 when `topic` is none.
int FrameTypeOfTopic(const std::string& topic);

class NetDomain {
 public:
  NetDomain() = default;
  ~NetDomain();
  NetDomain(const NetDomain&) = delete;
  NetDomain& operator=(const NetDomain&) = delete;

  // Joins DDS domain `domain`, under DDS Security with the files in
  // `securityDir` unless it is empty; false with the reason.
  bool Open(int domain, const std::string& securityDir, std::string* error);
  // Leaves the domain: deletes the participant with its topics, readers and writers.
  void Close();

  dds_entity_t Participant() const { return participant_; }
  int Domain() const { return domain_; }
  bool Secure() const { return !securityDir_.empty(); }

  // Negative (a DDS error) on failure.
  dds_entity_t CreateFrameWriter() const;
  // `listener` may be null; it is copied.
  dds_entity_t CreateFrameReader(const dds_listener_t* listener = nullptr) const;
  dds_entity_t CreateAnnouncementWriter() const;
  // `listener` may be null; it is copied.
  dds_entity_t CreateAnnouncementReader(const dds_listener_t* listener) const;

  // Why creating a reader or writer failed, for messages: under security a
  // refusal names this machine's permissions.
  std::string RefusalText(dds_entity_t failed, const std::string& what) const;

 private:
  dds_entity_t participant_ = 0;
  dds_entity_t frameTopic_ = 0;
  dds_entity_t announcementTopic_ = 0;
  int domain_ = kDefaultDomain;
  std::string securityDir_;
};

// The DDS result text, for messages.
std::string DdsError(dds_return_t result);

// False with the reason when `dir` lacks one of the security files, or
// security is not built in.
bool CheckSecurityDirectory(const std::string& dir, std::string* error);

}  // namespace kestrova::net
