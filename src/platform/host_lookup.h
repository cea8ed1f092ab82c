// The IPv4 address of a host name as the host's resolver gives it (the
// hosts file, DNS: whatever nsswitch.conf says), found within a time limit.
//
// getaddrinfo cannot be cancelled, and a DNS server that never answers
// would hold its caller for as long as the resolver likes. So the question
// is asked by a child process (getent(1), which asks getaddrinfo the same
// way) that is killed at the limit: nothing of the lookup outlives the
// wait, neither a thread nor a process.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

namespace lomp::platform {

struct HostLookup {
  enum class Outcome {
    Found,     // `address` holds the first IPv4 address
    Unknown,   // the resolver knows no IPv4 address for the name
    TimedOut,  // no answer within the limit, or abandoned
    Failed,    // the question could not be asked: `why`
  };
  Outcome outcome = Outcome::Failed;
  in_addr address{};
  std::string why;
};

// Looks `name` up, waiting at most `limit`, or less once `abandon` (when
// given) becomes true. `program` is the getent to run. Thread-safe.
HostLookup LookUpHost(const std::string& name, std::chrono::milliseconds limit,
                      const std::atomic<bool>* abandon = nullptr,
                      const char* program = "/usr/bin/getent");

// Whether a recipient's name is a host name rather than a NetBIOS name: it
// holds a dot, or is longer than the 15 characters of a NetBIOS name. An
// IPv4 address in its dotted form is neither.
bool IsHostName(const std::string& name);

}  // namespace lomp::platform
