#include "platform/nbt/name_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace lomp::platform::nbt {
namespace {

// Makes `path` a folder of ours with mode 0700, or accepts it when it
// already is one; false for anything else.
bool OwnFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return false;
  return S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & 077) == 0;
}

std::string UserBase() {
  const uid_t uid = geteuid();
  if (uid == 0) return "/run/lomp";
  const std::string runtime = "/run/user/" + std::to_string(uid);
  struct stat status {};
  if (lstat(runtime.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == uid) {
    return runtime + "/lomp";
  }
  return "/tmp/lomp-" + std::to_string(uid);
}

std::string SafeFileName(const std::string& key) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || byte == '-' || byte == '_') {
      name += c;
    } else {
      name += '%';
      name += kHex[byte >> 4];
      name += kHex[byte & 0x0F];
    }
  }
  return name;
}

}  // namespace

std::string ClaimFolder(const std::string& base) {
  const std::string top = base.empty() ? UserBase() : base;
  if (!OwnFolder(top)) return "";
  // Hosts in other network namespaces of this machine hold names of their own.
  struct stat netns {};
  const std::string space =
      stat("/proc/self/ns/net", &netns) == 0 ? std::to_string(netns.st_ino) : "host";
  const std::string folder = top + "/net-" + space;
  return OwnFolder(folder) ? folder : "";
}

NameClaim::~NameClaim() {
  Release();
}

NameClaim::NameClaim(NameClaim&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

NameClaim& NameClaim::operator=(NameClaim&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

ClaimResult NameClaim::Claim(const std::string& key, const std::string& folder) {
  Release();
  const std::string where = ClaimFolder(folder);
  if (where.empty()) return ClaimResult::Failed;
  const std::string path = where + "/" + SafeFileName(key);
  // A holder removes its file as it lets go, so a lock may land on a file
  // that is no longer at `path`: that claims nothing, and we try again.
  constexpr int kAttempts = 8;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return ClaimResult::Failed;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close(fd);
      return error == EWOULDBLOCK ? ClaimResult::Taken : ClaimResult::Failed;
    }
    struct stat held {};
    struct stat named {};
    if (fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      fd_ = fd;
      path_ = path;
      return ClaimResult::Claimed;
    }
    close(fd);
  }
  return ClaimResult::Failed;
}

void NameClaim::Release() {
  if (fd_ < 0) return;
  // Removed while still locked, so claims of names no longer in use do not
  // pile up; a process that dies holding one leaves its file to the next.
  unlink(path_.c_str());
  close(std::exchange(fd_, -1));
  path_.clear();
}

}  // namespace lomp::platform::nbt
