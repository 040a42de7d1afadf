// Output that appears whole or not at all. It is written into a hidden
// staging folder and put into place only when complete, so a run that is
// interrupted or fails leaves nothing that passes for its output:
//  - a target folder that does not exist yet is staged beside it
//    (".NAME.kestrova-partial-PID") and renamed to it at the end;
//  - into a target folder that exists, the files are staged inside it
//    (".kestrova-partial-PID") and moved into it at the end.
// A staging folder left by a run that was killed (its process is gone) is
// removed by the next run for the same target.
#pragma once

#include <string>
#include <vector>

namespace kestrova {

class StagedFolder {
 public:
  StagedFolder() = default;
  ~StagedFolder();  // abandons what was not committed
  StagedFolder(const StagedFolder&) = delete;
  StagedFolder& operator=(const StagedFolder&) = delete;

  // Makes the staging folder for `target`, whose parent must exist. False
  // with a reason naming the path.
  bool Begin(const std::string& target, std::string* error);
  // Where to write.
  const std::string& Path() const { return staging_; }
  bool TargetExisted() const { return targetExisted_; }

  // Puts the staged files in place. Into a target that existed, the files
  // named in `remove` are removed from it first, then every staged file is
  // moved in, `last` last. Ctrl-C, SIGTERM and SIGHUP wait until it is done.
  bool Commit(const std::vector<std::string>& remove, const std::string& last, std::string* error);
  // Removes the staging folder and everything in it.
  void Abandon();

 private:
  std::string target_, staging_;
  bool targetExisted_ = false;
};

}  // namespace kestrova
