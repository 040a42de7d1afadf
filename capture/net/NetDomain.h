// One DDS participant of the depth-frame network, with the two topics
// stations and recorders share and the qualities of service of each.
//
// Frames: reliable, so a healthy network loses none; keep-last per camera,
// so neither a station nor a recorder holds more than a few frames of a
// camera however slow the other side is; volatile, so a recorder that joins
// late gets only new frames; automatic liveliness with a short lease, so a
// station that dies or is cut off is noticed within seconds.
// Announcements: reliable and transient-local (a late recorder learns of
// every running station at once), one per station.
#pragma once

#include <dds/dds.h>

#include <string>

namespace kestrova::net {

constexpr int kDefaultDomain = 0;
constexpr int kMaxDomain = 230;  // the highest id whose ports the standard mapping allows
constexpr int kFrameHistory = 8;  // frames kept per camera on each side
constexpr int kLivelinessLeaseMs = 3000;

class NetDomain {
 public:
  NetDomain() = default;
  ~NetDomain();
  NetDomain(const NetDomain&) = delete;
  NetDomain& operator=(const NetDomain&) = delete;

  // Joins DDS domain `domain`; false with the reason.
  bool Open(int domain, std::string* error);
  // Leaves the domain: deletes the participant with its topics, readers and writers.
  void Close();

  dds_entity_t Participant() const { return participant_; }
  int Domain() const { return domain_; }

  // Negative (a DDS error) on failure.
  dds_entity_t CreateFrameWriter() const;
  dds_entity_t CreateFrameReader() const;
  dds_entity_t CreateAnnouncementWriter() const;
  dds_entity_t CreateAnnouncementReader() const;

 private:
  dds_entity_t participant_ = 0;
  dds_entity_t frameTopic_ = 0;
  dds_entity_t announcementTopic_ = 0;
  int domain_ = kDefaultDomain;
};

// The DDS result text, for messages.
std::string DdsError(dds_return_t result);

}  // namespace kestrova::net
