#include "capture/net/NetDomain.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "DepthFrames.h"

namespace kestrova::net {

namespace {

const char kAnnouncementTopic[] = "kestrova_stations";

// The files of a security directory, as scripts/rig-security.sh makes them.
const char kCaFile[] = "ca.pem";
const char kCertificateFile[] = "cert.pem";
const char kKeyFile[] = "key.pem";
const char kGovernanceFile[] = "governance.p7s";
const char kPermissionsFile[] = "permissions.p7s";

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

std::string FileUri(const std::string& dir, const char* name) { return "file:" + dir + "/" + name; }

// The participant's DDS Security: Cyclone DDS's own plug-ins, the rig's CA
// for identities and for signed documents, this machine's identity.
void SetSecurityQos(dds_qos_t* qos, const std::string& dir) {
  const std::string plugins = KESTROVA_DDS_SECURITY_DIR;
  dds_qset_prop(qos, "dds.sec.auth.library.path", (plugins + "/libdds_security_auth.so").c_str());
  dds_qset_prop(qos, "dds.sec.auth.library.init", "init_authentication");
  dds_qset_prop(qos, "dds.sec.auth.library.finalize", "finalize_authentication");
  dds_qset_prop(qos, "dds.sec.crypto.library.path", (plugins + "/libdds_security_crypto.so").c_str());
  dds_qset_prop(qos, "dds.sec.crypto.library.init", "init_crypto");
  dds_qset_prop(qos, "dds.sec.crypto.library.finalize", "finalize_crypto");
  dds_qset_prop(qos, "dds.sec.access.library.path", (plugins + "/libdds_security_ac.so").c_str());
  dds_qset_prop(qos, "dds.sec.access.library.init", "init_access_control");
  dds_qset_prop(qos, "dds.sec.access.library.finalize", "finalize_access_control");
  dds_qset_prop(qos, "dds.sec.auth.identity_ca", FileUri(dir, kCaFile).c_str());
  dds_qset_prop(qos, "dds.sec.auth.identity_certificate", FileUri(dir, kCertificateFile).c_str());
  dds_qset_prop(qos, "dds.sec.auth.private_key", FileUri(dir, kKeyFile).c_str());
  dds_qset_prop(qos, "dds.sec.access.permissions_ca", FileUri(dir, kCaFile).c_str());
  dds_qset_prop(qos, "dds.sec.access.governance", FileUri(dir, kGovernanceFile).c_str());
  dds_qset_prop(qos, "dds.sec.access.permissions", FileUri(dir, kPermissionsFile).c_str());
}

std::string AbsolutePath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

}  // namespace

int FrameTypeVersion() { return kestrova_net_FRAME_TYPE_VERSION; }

std::string FrameTopicName(int frameTypeVersion) {
  return "kestrova_depth_frames_v" + std::to_string(frameTypeVersion);
}

int FrameTypeOfTopic(const std::string& topic) {
  const std::string first = "kestrova_depth_frames";
  if (topic == first) return 1;
  const std::string prefix = first + "_v";
  if (topic.rfind(prefix, 0) != 0 || topic.size() == prefix.size() || topic.size() > prefix.size() + 4)
    return 0;
  const std::string number = topic.substr(prefix.size());
  if (number.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::atoi(number.c_str());
}

std::string DdsError(dds_return_t result) { return dds_strretcode(result); }

bool CheckSecurityDirectory(const std::string& dir, std::string* error) {
  if (std::string(KESTROVA_DDS_SECURITY_DIR).empty()) {
    *error = "this build has no DDS Security plug-ins (Debian's libddsc0debian ships them)";
    return false;
  }
  struct stat info;
  if (stat(dir.c_str(), &info) != 0) {
    *error = "security directory '" + dir + "': " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *error = "security directory '" + dir + "' is not a directory";
    return false;
  }
  for (const char* name : {kCaFile, kCertificateFile, kKeyFile, kGovernanceFile, kPermissionsFile}) {
    const std::string path = dir + "/" + name;
    if (access(path.c_str(), R_OK) != 0) {
      *error = "security directory '" + dir + "' has no readable " + name + " (" +
               std::strerror(errno) + "); scripts/rig-security.sh makes one for each machine";
      return false;
    }
  }
  return true;
}

NetDomain::~NetDomain() { Close(); }

void NetDomain::Close() {
  if (participant_ > 0) dds_delete(participant_);
  participant_ = 0;
}

bool NetDomain::Open(int domain, const std::string& securityDir, std::string* error) {
  if (domain < 0 || domain > kMaxDomain) {
    *error = "DDS domain must be 0 to " + std::to_string(kMaxDomain);
    return false;
  }
  domain_ = domain;
  Qos qos;
  if (!securityDir.empty()) {
    if (!CheckSecurityDirectory(securityDir, error)) return false;
    securityDir_ = AbsolutePath(securityDir);
    SetSecurityQos(qos.qos, securityDir_);
  }
  participant_ = dds_create_participant(static_cast<dds_domainid_t>(domain), qos.qos, nullptr);
  if (participant_ < 0) {
    *error = "cannot join DDS domain " + std::to_string(domain) + ": " + DdsError(participant_);
    *error += Secure() ? " with the security files of " + securityDir_ +
                             " (a certificate not made by the CA in ca.pem, a key not its own, or "
                             "documents not signed by that CA; see the DDS messages above)"
                       : " (see CYCLONEDDS_URI)";
    return false;
  }
  frameTopic_ = dds_create_topic(participant_, &kestrova_net_DepthFrameSample_desc,
                                 FrameTopicName(FrameTypeVersion()).c_str(), nullptr, nullptr);
  announcementTopic_ = dds_create_topic(participant_, &kestrova_net_StationAnnouncement_desc,
                                        kAnnouncementTopic, nullptr, nullptr);
  if (frameTopic_ < 0 || announcementTopic_ < 0) {
    *error = "cannot create the DDS topics: " +
             DdsError(frameTopic_ < 0 ? frameTopic_ : announcementTopic_);
    return false;
  }
  return true;
}

std::string NetDomain::RefusalText(dds_entity_t failed, const std::string& what) const {
  if (Secure() && failed == DDS_RETCODE_NOT_ALLOWED_BY_SECURITY)
    return "this machine may not " + what + ": its permissions (" + securityDir_ + "/" +
           kPermissionsFile + ") do not allow it";
  return "cannot " + what + ": " + DdsError(failed);
}

dds_entity_t NetDomain::CreateFrameWriter() const {
  Qos qos;
  SetFrameQos(qos.qos);
  // The writer holds at most its history per camera, for at most four cameras.
  dds_qset_resource_limits(qos.qos, 4 * kFrameHistory, 4, kFrameHistory);
  return dds_create_writer(participant_, frameTopic_, qos.qos, nullptr);
}

dds_entity_t NetDomain::CreateFrameReader(const dds_listener_t* listener) const {
  Qos qos;
  SetFrameQos(qos.qos);
  return dds_create_reader(participant_, frameTopic_, qos.qos, listener);
}

dds_entity_t NetDomain::CreateAnnouncementWriter() const {
  Qos qos;
  SetAnnouncementQos(qos.qos);
  return dds_create_writer(participant_, announcementTopic_, qos.qos, nullptr);
}

dds_entity_t NetDomain::CreateAnnouncementReader(const dds_listener_t* listener) const {
  Qos qos;
  SetAnnouncementQos(qos.qos);
  return dds_create_reader(participant_, announcementTopic_, qos.qos, listener);
}

}  // namespace kestrova::net
