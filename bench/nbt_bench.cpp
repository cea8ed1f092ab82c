// Times the NetBIOS provider against smbd in the test bed: resolving a name
// by broadcast (a CALL with nothing learnt yet), and one whole exchange on a
// known name (CALL, SEND of a start-of-message, RECEIVE of the reply,
// HANGUP). Prints the median and the spread of many runs. Not a test.
//
//   tests/interop/testbed.sh build-release/bench/nbt_bench [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "netbios/ncb_commands.h"
#include "platform/nbt/nbt_provider.h"
#include "smb/smb_pdu.h"

namespace {

using namespace lomp::wire;

using namespace lomp;
using namespace lomp::platform;
using namespace lomp::platform::nbt;
using Clock = std::chrono::steady_clock;

constexpr const char* kOwnName = "LOMPBENCH";

double Microseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::micro>(duration).count();
}

void Report(const char* what, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double fraction) {
    return samples[static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1))];
  };
  std::printf("%-44s median %9.1f us   p10 %9.1f us   p90 %9.1f us   (%zu runs)\n", what, at(0.5),
              at(0.1), at(0.9), samples.size());
}

bool Prepare() {
  std::uint8_t number = 0;
  return NBReset(0, 250, 250) == 0 && NBAddName(0, kOwnName, 0x04, number) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (std::getenv("LOMP_TESTBED") == nullptr) {
    std::fprintf(stderr, "run through tests/interop/testbed.sh: it broadcasts\n");
    return 2;
  }
  const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
  std::vector<double> resolveAndCall;
  std::vector<double> exchange;
  std::vector<double> callOnly;

  for (int run = 0; run < runs; ++run) {
    // A fresh provider knows no names: the CALL has to ask by broadcast.
    NbtProvider provider;
    InstallNetbiosProvider(&provider);
    if (!Prepare()) return 1;
    std::uint8_t lsn = 0;
    auto start = Clock::now();
    if (NBCallAsy3(0, kOwnName, 0x04, "PEER", 10, 10, lsn) != 0) return 1;
    resolveAndCall.push_back(Microseconds(Clock::now() - start));
    NBHangup(0, lsn);

    start = Clock::now();
    if (NBCallAsy3(0, kOwnName, 0x04, "PEER", 10, 10, lsn) != 0) return 1;
    callOnly.push_back(Microseconds(Clock::now() - start));
    CSmbPdu_sendstrt pdu;
    pdu.Reset();
    pdu.originator = kOwnName;
    pdu.destination = "PEER";
    PduBuffer buffer;
    pdu.Encode(buffer);
    if (NBSend(0, 10, lsn, buffer.bytes, static_cast<std::uint16_t>(buffer.length)) != 0) return 1;
    std::uint32_t length = PduBuffer::kCapacity;
    if (NBRecv(0, 10, lsn, buffer.bytes, length) != 0) return 1;
    NBHangup(0, lsn);
    exchange.push_back(Microseconds(Clock::now() - start));
    InstallNetbiosProvider(nullptr);
  }
  Report("resolve by broadcast + CALL", resolveAndCall);
  Report("CALL alone (known name)", callOnly);
  Report("CALL + SEND + RECEIVE + HANGUP (known name)", exchange);
  return 0;
}
