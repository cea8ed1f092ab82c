// The messaging service: the transports it sets up once, from the command
// line's settings, and the port lists the dispatcher walks.
//
// The ports live until the program ends; the lists are filled once by
// lomp_initialize on the main thread and only read afterwards.
#pragma once

#include <cstdint>
#include <vector>

#include "endpoint/port.h"
#include "mailslot/mailslot_port.h"
#include "netbios/name_port.h"

namespace lomp {

// Prepares the transports that the command line needs: one NetBIOS name port
// per LANA (each registering the sender's name under the first free suffix
// of 0x04..0x2F, see OpenSenderName) when personal recipients are possible,
// and the "MESSNGR" mailslot port when group recipients are. Returns 0.
// Raises KrUnknownNetworkErr ("Failed. Every sender name ...") when other
// runs hold every suffix on every LANA for the whole time-out. Errors of the
// network family raised underneath pass to the caller.
int lomp_initialize();

// Registers the sender's name of `port` (Open). Other runs with the same
// sender (a burst from a monitoring system) may hold every suffix of it:
// then it looks again every 50 ms until `timeoutMs` has passed. Returns
// whether the port is open; when not, port.everyNameTaken tells whether
// the names were all taken.
bool OpenSenderName(CNetbiosName& port, std::int32_t timeoutMs);

// The ports lomp_initialize made, in order.
std::vector<CPort*> NetbiosPortList();
std::vector<CMailslot*> MailslotPortList();

// The 44 suffixes the sender's name may take: 0x04 to 0x2F.
const std::vector<std::uint8_t>& OwnNameSuffixes();

}  // namespace lomp
