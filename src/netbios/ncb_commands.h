// One wrapper per NetBIOS command, and NBExecCmd, which runs a command under
// an overall time-out and resubmits it while the called name does not answer.
//
// The wrappers keep no state and never throw: each builds a fresh NCB, runs
// it, and returns the NetBIOS return code. Names reach this layer already
// upper-cased and in the OEM code page; their bytes are copied unchanged.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/netbios.h"

namespace lomp {

using platform::NCB;

// Timing of NBExecCmd's retries: the pause before a call that found no
// listener is submitted again, and how often it may be (so at most 101
// submissions in all). Tests run them in simulated time.
inline constexpr std::chrono::milliseconds kNBExecRetryPause{100};
inline constexpr int kNBExecMaxResubmissions = 100;

// Fills the 16-byte name field: the first min(length, 15) bytes of `text`,
// spaces up to byte 14, `suffix` in byte 15.
void NBFormatName(std::uint8_t* dest16, const char* text, std::size_t length, std::uint8_t suffix);
void NBFormatName(std::uint8_t* dest16, const std::string& text, std::uint8_t suffix);

// True for the return codes that mean the NetBIOS environment itself failed.
bool NBIsEnvironmentError(std::uint8_t code);

// Runs `ncb` (filled by the caller, who keeps it) until it completes with
// anything but NRC_NOCALL, or `timeoutMs` has passed since the first
// submission. NRC_NOCALL is resubmitted after a pause. Returns the last
// completed code, or NRC_CMDTMO when no submission completed. Each
// submission runs on the calling thread when the provider can bound it by
// the time left (NetbiosWithin), else asynchronously, and is then cancelled
// before return: either way the NCB's buffer is free again on return.
std::uint8_t NBExecCmd(NCB& ncb, std::uint32_t timeoutMs);

std::uint8_t NBEnum(platform::LANA_ENUM& buffer);
std::uint8_t NBReset(std::uint8_t lana, std::uint8_t sessions, std::uint8_t names);
// `numberOut` receives ncb_num whatever the result.
std::uint8_t NBAddName(std::uint8_t lana, const std::string& name, std::uint8_t suffix,
                       std::uint8_t& numberOut);
std::uint8_t NBDelName(std::uint8_t lana, const std::string& name, std::uint8_t suffix,
                       std::uint8_t number);
std::uint8_t NBHangup(std::uint8_t lana, std::uint8_t lsn);
std::uint8_t NBCancel(std::uint8_t lana, NCB& target);

// Calls `remoteName`<03> from `ownName`<ownSuffix>. Waits up to
// timeoutUnits × 500 ms; the session's send and receive time-outs are
// rtoStoUnits × 500 ms. `lsnOut` receives ncb_lsn whatever the result.
std::uint8_t NBCallAsy3(std::uint8_t lana, const std::string& ownName, std::uint8_t ownSuffix,
                        const std::string& remoteName, std::uint8_t timeoutUnits,
                        std::uint8_t rtoStoUnits, std::uint8_t& lsnOut);

// Receives one message of up to `lengthInOut` bytes (low 16 bits) into
// `buffer`; `lengthInOut` receives the byte count whatever the result.
std::uint8_t NBRecv(std::uint8_t lana, std::uint8_t timeoutUnits, std::uint8_t lsn,
                    std::uint8_t* buffer, std::uint32_t& lengthInOut);

std::uint8_t NBSend(std::uint8_t lana, std::uint8_t timeoutUnits, std::uint8_t lsn,
                    const std::uint8_t* buffer, std::uint16_t length);

// Listens on ownName<03> for any caller; blocks until `event` is set, by the
// provider when a call arrives or the command fails, or by another thread to
// abandon the listen. Does not reset `event`.
std::uint8_t NBListenAsy3(std::uint8_t lana, const std::string& ownName, std::uint8_t rtoStoUnits,
                          std::uint8_t& lsnOut, std::string& callerNameOut, platform::Event& event);

}  // namespace lomp
