#include "capture/net/NetDomain.h"

#include "DepthFrames.h"

namespace kestrova::net {

namespace {

const char kFrameTopic[] = "kestrova_depth_frames";
const char kAnnouncementTopic[] = "kestrova_stations";

// Deletes a QoS object when it goes out of scope.
struct Qos {
  dds_qos_t* qos = dds_create_qos();
  ~Qos() { dds_delete_qos(qos); }
};

void SetFrameQos(dds_qos_t* qos) {
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
  dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, kFrameHistory);
  dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
  dds_qset_liveliness(qos, DDS_LIVELINESS_AUTOMATIC, DDS_MSECS(kLivelinessLeaseMs));
}

void SetAnnouncementQos(dds_qos_t* qos) {
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
  dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1);
  dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
  dds_qset_liveliness(qos, DDS_LIVELINESS_AUTOMATIC, DDS_MSECS(kLivelinessLeaseMs));
}

}  // namespace

std::string DdsError(dds_return_t result) { return dds_strretcode(result); }

NetDomain::~NetDomain() { Close(); }

void NetDomain::Close() {
  if (participant_ > 0) dds_delete(participant_);
  participant_ = 0;
}

bool NetDomain::Open(int domain, std::string* error) {
  if (domain < 0 || domain > kMaxDomain) {
    *error = "DDS domain must be 0 to " + std::to_string(kMaxDomain);
    return false;
  }
  domain_ = domain;
  participant_ = dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr);
  if (participant_ < 0) {
    *error = "cannot join DDS domain " + std::to_string(domain) + ": " + DdsError(participant_) +
             " (see CYCLONEDDS_URI)";
    return false;
  }
  frameTopic_ = dds_create_topic(participant_, &kestrova_net_DepthFrameSample_desc, kFrameTopic,
                                 nullptr, nullptr);
  announcementTopic_ = dds_create_topic(participant_, &kestrova_net_StationAnnouncement_desc,
                                        kAnnouncementTopic, nullptr, nullptr);
  if (frameTopic_ < 0 || announcementTopic_ < 0) {
    *error = "cannot create the DDS topics: " +
             DdsError(frameTopic_ < 0 ? frameTopic_ : announcementTopic_);
    return false;
  }
  return true;
}

dds_entity_t NetDomain::CreateFrameWriter() const {
  Qos qos;
  SetFrameQos(qos.qos);
  // The writer holds at most its history per camera, for at most four cameras.
  dds_qset_resource_limits(qos.qos, 4 * kFrameHistory, 4, kFrameHistory);
  return dds_create_writer(participant_, frameTopic_, qos.qos, nullptr);
}

dds_entity_t NetDomain::CreateFrameReader() const {
  Qos qos;
  SetFrameQos(qos.qos);
  return dds_create_reader(participant_, frameTopic_, qos.qos, nullptr);
}

dds_entity_t NetDomain::CreateAnnouncementWriter() const {
  Qos qos;
  SetAnnouncementQos(qos.qos);
  return dds_create_writer(participant_, announcementTopic_, qos.qos, nullptr);
}

dds_entity_t NetDomain::CreateAnnouncementReader() const {
  Qos qos;
  SetAnnouncementQos(qos.qos);
  return dds_create_reader(participant_, announcementTopic_, qos.qos, nullptr);
}

}  // namespace kestrova::net
