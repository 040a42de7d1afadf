#include "record/StagedFolder.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kestrova {

namespace fs = std::filesystem;

namespace {

constexpr char kStagingMark[] = ".kestrova-partial-";

std::string Reason(const std::string& action, const std::string& path, const std::error_code& error) {
  return action + " " + path + ": " + error.message();
}

// Removes the staging folders in `dir` for `name` whose process is gone.
void RemoveAbandoned(const fs::path& dir, const std::string& prefix) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const long pid = std::strtol(digits.c_str(), nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      std::error_code ignored;
      fs::remove_all(entry.path(), ignored);
    }
  }
}

// Blocks the signals that ask a program to stop while it lives.
class StopSignalsHeld {
 public:
  StopSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal);
    ::sigprocmask(SIG_BLOCK, &held, &before_);
  }
  ~StopSignalsHeld() { ::sigprocmask(SIG_SETMASK, &before_, nullptr); }

 private:
  sigset_t before_;
};

}  // namespace

StagedFolder::~StagedFolder() { Abandon(); }

bool StagedFolder::Begin(const std::string& target, std::string* error) {
  Abandon();
  fs::path path = fs::path(target).lexically_normal();
  if (path.filename().empty()) path = path.parent_path();  // "out/"
  target_ = target;
  std::error_code status;
  const fs::file_status info = fs::status(path, status);
  targetExisted_ = fs::exists(info);
  if (targetExisted_ && !fs::is_directory(info)) {
    *error = "cannot use " + target + ": " + std::strerror(ENOTDIR);
    return false;
  }
  const std::string pid = std::to_string(::getpid());
  fs::path staging;
  if (targetExisted_) {
    RemoveAbandoned(path, kStagingMark);
    staging = path / (kStagingMark + pid);
  } else {
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const std::string prefix = "." + path.filename().string() + kStagingMark;
    RemoveAbandoned(parent, prefix);
    staging = parent / (prefix + pid);
  }
  std::error_code made;
  fs::remove_all(staging, made);  // a folder of this process's number from before
  if (!fs::create_directory(staging, made)) {
    *error = targetExisted_ ? Reason("cannot write into", target, made) : Reason("cannot create", target, made);
    return false;
  }
  staging_ = staging.string();
  return true;
}

bool StagedFolder::Commit(const std::vector<std::string>& remove, const std::string& last, std::string* error) {
  if (staging_.empty()) return false;
  StopSignalsHeld held;
  std::error_code failed;
  if (!targetExisted_) {
    fs::rename(staging_, target_, failed);
    if (failed) {
      *error = Reason("cannot create", target_, failed);
      return false;
    }
    staging_.clear();
    return true;
  }
  // The older files go first, so no moment shows them beside new ones.
  for (const std::string& name : remove) {
    fs::remove(fs::path(target_) / name, failed);
    if (failed) {
      *error = Reason("cannot remove", (fs::path(target_) / name).string(), failed);
      return false;
    }
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(staging_, failed))
    if (entry.path().filename() != last) names.push_back(entry.path().filename().string());
  if (!last.empty() && fs::exists(fs::path(staging_) / last)) names.push_back(last);
  for (const std::string& name : names) {
    fs::rename(fs::path(staging_) / name, fs::path(target_) / name, failed);
    if (failed) {
      *error = Reason("cannot move into place", (fs::path(target_) / name).string(), failed);
      return false;
    }
  }
  Abandon();
  return true;
}

void StagedFolder::Abandon() {
  if (staging_.empty()) return;
  std::error_code ignored;
  fs::remove_all(staging_, ignored);
  staging_.clear();
}

}  // namespace kestrova
