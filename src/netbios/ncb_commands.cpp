#include "netbios/ncb_commands.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "runtime/trace_log.h"
#include "wire/nbt_wire.h"

namespace lomp {
namespace {

using namespace platform;

constexpr const char* kSource = "..\\shared\\krNetbios";
using wire::kMessengerSuffix;
constexpr auto kUnitMs = static_cast<std::uint32_t>(kNcbTimeUnit.count());

// The first 15 bytes of a name field as text, ending early at a zero byte.
std::string NameText(const std::uint8_t* field) {
  const auto* end = std::find(field, field + NCBNAMSZ - 1, 0);
  return std::string(reinterpret_cast<const char*>(field), static_cast<size_t>(end - field));
}

std::string ResultLine(const char* what, const NCB& ncb) {
  return FormatText("%s, command=%u, retcode=%u, lana=%u, callname='%s<%u>', srcname='%s<%u>'",
                    what, unsigned{ncb.ncb_command}, unsigned{ncb.ncb_retcode.load()},
                    unsigned{ncb.ncb_lana_num}, NameText(ncb.ncb_callname).c_str(),
                    unsigned{ncb.ncb_callname[NCBNAMSZ - 1]}, NameText(ncb.ncb_name).c_str(),
                    unsigned{ncb.ncb_name[NCBNAMSZ - 1]});
}

std::uint8_t Submit(NCB& ncb) {
  Netbios(&ncb);
  return ncb.ncb_retcode;
}

}  // namespace

void NBFormatName(std::uint8_t* dest16, const char* text, std::size_t length, std::uint8_t suffix) {
  std::memset(dest16, ' ', NCBNAMSZ);
  std::memcpy(dest16, text, std::min<std::size_t>(length, NCBNAMSZ));
  dest16[NCBNAMSZ - 1] = suffix;
}

void NBFormatName(std::uint8_t* dest16, const std::string& text, std::uint8_t suffix) {
  NBFormatName(dest16, text.c_str(), std::strlen(text.c_str()), suffix);
}

bool NBIsEnvironmentError(std::uint8_t code) {
  switch (code) {
    case NRC_NORES:
    case NRC_NAMTFUL:
    case NRC_NOWILD:
    case NRC_INUSE:
    case NRC_NAMERR:
    case NRC_BRIDGE:
    case NRC_ENVNOTDEF:
    case NRC_OSRESNOTAV:
    case NRC_MAXAPPS:
    case NRC_NOSAPS:
    case NRC_NORESOURCES:
    case NRC_OPENERR:
    case NRC_SYSTEM: return true;
    default: return false;
  }
}

std::uint8_t NBExecCmd(NCB& ncb, std::uint32_t timeoutMs) {
  LogTrace(kSource, __LINE__, "NBExecCmd", "Entering...");
  std::uint8_t result = NRC_CMDTMO;
  int tc = 0;
  bool done = false;
  // Whether a submission went asynchronously: then the provider may still
  // hold the NCB, and the cancel at the end takes it back.
  bool submittedAsynchronously = false;

  Event event;
  WaitableTimer timer;
  // One timer for the whole call: resubmissions do not extend it.
  timer.SetRelative(std::chrono::milliseconds(timeoutMs));

  while (!done) {
    LogTrace(kSource, __LINE__, "NBExecCmd", FormatText("Starting Netbios command..., tc=%d", tc));
    // A provider that bounds the command by the time left runs it here, on
    // this thread; otherwise it runs asynchronously under the timer.
    ncb.ncb_command &= ~ASYNCH;
    ncb.ncb_event = nullptr;
    const bool ranHere =
        NetbiosWithin(&ncb, timer.Remaining().value_or(std::chrono::milliseconds(0)));
    bool completed = true;  // before the timer expired
    if (!ranHere) {
      ncb.ncb_command |= ASYNCH;
      ncb.ncb_event = &event;
      submittedAsynchronously = true;
      Netbios(&ncb);
      // A completion that is already signalled wins over an expired timer.
      completed = WaitForAny({&event, &timer}) == 0;
    }
    if (completed) {
      result = ncb.ncb_retcode;
      LogTrace(kSource, __LINE__, "NBExecCmd", ResultLine("Netbios returned", ncb));
      // A call that found no listener is tried again.
      done = result != NRC_NOCALL;
    }
    // A command run here ends by the timer's due time at the latest.
    if (!completed || (ranHere && WaitForSingle(timer, std::chrono::milliseconds(0)))) {
      done = true;
      LogTrace(kSource, __LINE__, "NBExecCmd", ResultLine("Timer expired", ncb));
    }
    if (++tc > kNBExecMaxResubmissions) done = true;
    // The pause before a resubmission ends early at the time-out: a name
    // that fails at once must not hold the caller past the time it gave.
    if (!done && WaitForSingle(timer, kNBExecRetryPause)) {
      done = true;
      LogTrace(kSource, __LINE__, "NBExecCmd", ResultLine("Timer expired", ncb));
    }
  }

  if (submittedAsynchronously) {
    // Also for a completed command (the cancel then fails harmlessly):
    // after this the provider no longer holds the NCB or its buffer.
    const std::uint8_t cancel = NBCancel(ncb.ncb_lana_num, ncb);
    const std::uint8_t completed = ncb.ncb_retcode;
    if (cancel != NRC_GOODRET && completed != NRC_PENDING && completed != result) {
      // The command completed between the time-out and the cancel: what it
      // did stands (a CALL's session is the caller's to use and hang up).
      result = completed;
      LogTrace(kSource, __LINE__, "NBExecCmd", ResultLine("Completed before cancel", ncb));
    }
  }
  ncb.ncb_event = nullptr;
  LogTrace(kSource, __LINE__, "NBExecCmd", "Leaving...");
  return result;
}

std::uint8_t NBEnum(LANA_ENUM& buffer) {
  auto ncb = std::make_unique<NCB>();
  ncb->ncb_command = NCBENUM;
  ncb->ncb_buffer = reinterpret_cast<std::uint8_t*>(&buffer);
  ncb->ncb_length = sizeof(LANA_ENUM);
  return Submit(*ncb);
}

std::uint8_t NBReset(std::uint8_t lana, std::uint8_t sessions, std::uint8_t names) {
  auto ncb = std::make_unique<NCB>();
  ncb->ncb_command = NCBRESET;
  ncb->ncb_lana_num = lana;
  ncb->ncb_lsn = 0;  // allocate new resources
  ncb->ncb_callname[0] = sessions;
  ncb->ncb_callname[1] = 0;  // default command count
  ncb->ncb_callname[2] = names;
  ncb->ncb_callname[3] = 0;  // name number 1 not requested
  return Submit(*ncb);
}

std::uint8_t NBAddName(std::uint8_t lana, const std::string& name, std::uint8_t suffix,
                       std::uint8_t& numberOut) {
  auto ncb = std::make_unique<NCB>();
  ncb->ncb_command = NCBADDNAME;
  ncb->ncb_lana_num = lana;
  NBFormatName(ncb->ncb_name, name, suffix);
  const std::uint8_t code = Submit(*ncb);
  numberOut = ncb->ncb_num;
  return code;
}

std::uint8_t NBDelName(std::uint8_t lana, const std::string& name, std::uint8_t suffix,
                       std::uint8_t number) {
  auto ncb = std::make_unique<NCB>();
  ncb->ncb_command = NCBDELNAME;
  ncb->ncb_lana_num = lana;
  ncb->ncb_num = number;
  NBFormatName(ncb->ncb_name, name, suffix);
  return Submit(*ncb);
}

std::uint8_t NBHangup(std::uint8_t lana, std::uint8_t lsn) {
  auto ncb = std::make_unique<NCB>();
  ncb->ncb_command = NCBHANGUP;
  ncb->ncb_lana_num = lana;
  ncb->ncb_lsn = lsn;
  return Submit(*ncb);
}

std::uint8_t NBCancel(std::uint8_t lana, NCB& target) {
  auto ncb = std::make_unique<NCB>();
  ncb->ncb_command = NCBCANCEL;
  ncb->ncb_lana_num = lana;
  ncb->ncb_buffer = reinterpret_cast<std::uint8_t*>(&target);
  ncb->ncb_length = sizeof(NCB);
  return Submit(*ncb);
}

std::uint8_t NBCallAsy3(std::uint8_t lana, const std::string& ownName, std::uint8_t ownSuffix,
                        const std::string& remoteName, std::uint8_t timeoutUnits,
                        std::uint8_t rtoStoUnits, std::uint8_t& lsnOut) {
  auto ncb = std::make_unique<NCB>();
  ncb->ncb_command = NCBCALL;
  ncb->ncb_lana_num = lana;
  NBFormatName(ncb->ncb_callname, remoteName.data(), remoteName.size(), kMessengerSuffix);
  NBFormatName(ncb->ncb_name, ownName, ownSuffix);
  ncb->ncb_rto = rtoStoUnits;
  ncb->ncb_sto = rtoStoUnits;
  const std::uint8_t code = NBExecCmd(*ncb, timeoutUnits * kUnitMs);
  lsnOut = ncb->ncb_lsn;
  return code;
}

std::uint8_t NBRecv(std::uint8_t lana, std::uint8_t timeoutUnits, std::uint8_t lsn,
                    std::uint8_t* buffer, std::uint32_t& lengthInOut) {
  auto ncb = std::make_unique<NCB>();
  ncb->ncb_command = NCBRECV;
  ncb->ncb_lana_num = lana;
  ncb->ncb_lsn = lsn;
  ncb->ncb_buffer = buffer;
  ncb->ncb_length = static_cast<std::uint16_t>(lengthInOut & 0xFFFF);
  const std::uint8_t code = NBExecCmd(*ncb, timeoutUnits * kUnitMs);
  lengthInOut = ncb->ncb_length;
  return code;
}

std::uint8_t NBSend(std::uint8_t lana, std::uint8_t timeoutUnits, std::uint8_t lsn,
                    const std::uint8_t* buffer, std::uint16_t length) {
  auto ncb = std::make_unique<NCB>();
  ncb->ncb_command = NCBSEND;
  ncb->ncb_lana_num = lana;
  ncb->ncb_lsn = lsn;
  // The provider only reads a SEND buffer.
  ncb->ncb_buffer = const_cast<std::uint8_t*>(buffer);
  ncb->ncb_length = length;
  return NBExecCmd(*ncb, timeoutUnits * kUnitMs);
}

std::uint8_t NBListenAsy3(std::uint8_t lana, const std::string& ownName, std::uint8_t rtoStoUnits,
                          std::uint8_t& lsnOut, std::string& callerNameOut, Event& event) {
  auto ncb = std::make_unique<NCB>();
  ncb->ncb_command = NCBLISTEN | ASYNCH;
  ncb->ncb_lana_num = lana;
  NBFormatName(ncb->ncb_callname, "*", 1, ' ');  // any caller: '*' and 15 spaces
  NBFormatName(ncb->ncb_name, ownName, kMessengerSuffix);
  ncb->ncb_rto = rtoStoUnits;
  ncb->ncb_sto = rtoStoUnits;
  ncb->ncb_event = &event;
  Netbios(ncb.get());
  WaitForSingle(event);
  // Fails harmlessly when the listen has completed; ends it when it was
  // abandoned, so the NCB may be freed.
  NBCancel(lana, *ncb);
  lsnOut = ncb->ncb_lsn;
  callerNameOut.clear();
  return ncb->ncb_retcode;
}

}  // namespace lomp
