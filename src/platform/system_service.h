// What a program run as a system service tells the service manager
// (systemd) and leaves with it: that it is ready or stopping, a structured
// record in the journal, and the capabilities it gives up once its ports
// are open. Each call is harmless outside a service: it then does nothing,
// or says it could not.
#pragma once

#include <string>
#include <vector>

namespace lomp::platform {

// Tells the service manager the program is ready, with a status line;
// nothing when no service manager started it.
void NotifyServiceReady(const std::string& status);
// Tells it the program is stopping.
void NotifyServiceStopping();

struct JournalField {
  std::string name;   // upper case letters, digits and '_', as the journal wants
  std::string value;  // any bytes, line breaks included
};

// Writes one record to the system journal. Blocks until the journal has it
// (a datagram on its socket); false when it did not take it (no journal on
// this machine, or a full queue).
bool WriteJournal(const std::vector<JournalField>& fields);

// Gives up every capability this process holds (effective, permitted,
// inheritable, ambient) and keeps it from gaining any through a program it
// runs. True when it holds none afterwards; false with the reason in `why`.
bool DropCapabilities(std::string& why);

// Makes this process the only one of its user that holds `name` (a lock
// file in the user's runtime folder, XDG_RUNTIME_DIR, or else in /tmp),
// until it ends. False when another process holds it already; false with
// `why` when the lock cannot be taken at all.
bool HoldUserInstance(const std::string& name, std::string& why);

}  // namespace lomp::platform
