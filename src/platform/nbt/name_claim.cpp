#include "platform/nbt/name_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/identity.h"

namespace lomp::platform::nbt {
namespace {

// Makes `path` a folder of ours with mode 0700, or accepts it when it
// already is one. Anything else is refused: the reason in words, naming the
// path; empty when the folder is ours.
std::string OwnFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return path + " cannot be made: " + std::strerror(errno);
  }
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return path + ": " + std::strerror(errno);
  if (S_ISLNK(status.st_mode)) return path + " is a symbolic link";
  if (!S_ISDIR(status.st_mode)) return path + " is not a folder";
  if (status.st_uid != geteuid()) {
    return path + " belongs to another user (uid " + std::to_string(status.st_uid) + ")";
  }
  if ((status.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    return path + " is open to other users (mode " + mode + ")";
  }
  return "";
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

// A folder that is there, is the running user's own, and that nobody else
// may write in: what it holds cannot be made or replaced by another user.
bool IsPrivateFolder(const std::string& path) {
  struct stat status {};
  return !path.empty() && path.front() == '/' && lstat(path.c_str(), &status) == 0 &&
         S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & 022) == 0;
}

// The user's home: $HOME as the user set it, else the password database's.
std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  const auto user = UserById(geteuid());
  return user ? user->home : std::string();
}

// Where the user's claims live: a place no other user can make first, and
// /tmp only for a user who has no such place.
std::string UserBase() {
  const uid_t uid = geteuid();
  if (uid == 0) return "/run/lomp";
  const std::string runtime = "/run/user/" + std::to_string(uid);
  if (IsPrivateFolder(runtime)) return runtime + "/lomp";
  if (const std::string home = HomeFolder(); IsPrivateFolder(home)) {
    const std::string cache = home + "/.cache";
    mkdir(cache.c_str(), 0700);  // when missing
    if (IsPrivateFolder(cache)) {
      // A home may be shared by several machines: each keeps its own claims.
      char host[256] = {};
      if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return cache + "/lomp";
      return cache + "/lomp-" + SafeFileName(host);
    }
  }
  return "/tmp/lomp-" + std::to_string(uid);
}

}  // namespace

ClaimPlace FindClaimFolder(const std::string& base) {
  const std::string top = base.empty() ? UserBase() : base;
  if (std::string problem = OwnFolder(top); !problem.empty()) return {"", std::move(problem)};
  // Hosts in other network namespaces of this machine hold names of their own.
  struct stat netns {};
  const std::string space =
      stat("/proc/self/ns/net", &netns) == 0 ? std::to_string(netns.st_ino) : "host";
  std::string folder = top + "/net-" + space;
  if (std::string problem = OwnFolder(folder); !problem.empty()) return {"", std::move(problem)};
  return {std::move(folder), ""};
}

std::string ClaimFolder(const std::string& base) {
  return FindClaimFolder(base).folder;
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
