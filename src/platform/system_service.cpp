#include "platform/system_service.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/systemd_library.h"

namespace lomp::platform {

void NotifyServiceReady(const std::string& status) {
  if (const SystemdLibrary* sd = Systemd()) sd->notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void NotifyServiceStopping() {
  if (const SystemdLibrary* sd = Systemd()) sd->notify(0, "STOPPING=1");
}

bool WriteJournal(const std::vector<JournalField>& fields) {
  const SystemdLibrary* sd = Systemd();
  if (sd == nullptr) return false;
  std::vector<std::string> lines;
  lines.reserve(fields.size());
  for (const JournalField& field : fields) lines.push_back(field.name + "=" + field.value);
  std::vector<iovec> parts(lines.size());
  for (std::size_t index = 0; index < lines.size(); ++index) {
    parts[index].iov_base = lines[index].data();
    parts[index].iov_len = lines[index].size();
  }
  return sd->journal_sendv(parts.data(), static_cast<int>(parts.size())) == 0;
}

bool DropCapabilities(std::string& why) {
  // The ambient set first: it would otherwise pass capabilities on to every
  // program this process runs.
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    why = std::string("cannot clear the ambient capabilities: ") + std::strerror(errno);
    return false;
  }
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &header, none) != 0) {
    why = std::string("cannot give up the capabilities: ") + std::strerror(errno);
    return false;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    why = std::string("cannot refuse new privileges: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool HoldUserInstance(const std::string& name, std::string& why) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string path = runtime != nullptr && runtime[0] == '/'
                               ? std::string(runtime) + "/" + name + ".lock"
                               : "/tmp/" + name + "-" + std::to_string(getuid()) + ".lock";
  // Never through a link someone else left in a shared folder. The
  // descriptor stays open for the life of the process: the lock with it.
  const int lock = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock < 0) {
    why = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    why.clear();
    close(lock);
    return false;
  }
  return true;
}

}  // namespace lomp::platform
