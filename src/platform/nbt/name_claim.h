// Host-wide claims on names (NetBIOS names, local mailslots) that end with
// the process, however it ends.
//
// A claim is an exclusive lock (flock) on a file in a folder that belongs to
// the running user alone: /run/lomp for root; for anyone else
// /run/user/UID/lomp, or when the user has no such runtime folder (cron,
// system accounts) HOME/.cache/lomp/HOSTNAME, and /tmp/lomp-UID only for a
// user without a home of his own. The folder is made with mode 0700 and
// refused when it is a link, is not a folder, belongs to someone else or is
// open to others, so no other user can create, hold or block a claim in it;
// and since /tmp is open to everyone, the places before it are ones no other
// user can create first. Inside it a folder per network
// namespace keeps hosts of the same machine apart, as the network does. The
// lock is released by the kernel when the descriptor closes, also after
// kill -9 (then the small file stays for the next claimant); Release
// removes the file.
#pragma once

#include <string>

namespace lomp::platform::nbt {

enum class ClaimResult { Claimed, Taken, Failed };

class NameClaim {
 public:
  NameClaim() = default;
  ~NameClaim();
  NameClaim(NameClaim&& other) noexcept;
  NameClaim& operator=(NameClaim&& other) noexcept;
  NameClaim(const NameClaim&) = delete;
  NameClaim& operator=(const NameClaim&) = delete;

  // Claims `key` (any bytes; made into a safe file name) in `folder`, or in
  // the running user's folder when `folder` is empty. Taken when another
  // holder (of this or another process) has it; Failed when the folder is
  // unsafe or cannot be made.
  ClaimResult Claim(const std::string& key, const std::string& folder = {});
  bool held() const { return fd_ >= 0; }
  void Release();

 private:
  int fd_ = -1;
  std::string path_;  // the claim's file while held
};

// Where the running user's claims of this network namespace are kept (made
// when missing), or why there is no such place: `folder` is empty then and
// `problem` says why in words, naming the path.
struct ClaimPlace {
  std::string folder;
  std::string problem;
};
ClaimPlace FindClaimFolder(const std::string& base = {});

// FindClaimFolder(base).folder.
std::string ClaimFolder(const std::string& base = {});

}  // namespace lomp::platform::nbt
