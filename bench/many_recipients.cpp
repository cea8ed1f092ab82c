// Many recipients in one run, against smbd and its ten aliases in the test
// bed. First twenty recipients, every other one a name nobody holds, with a
// 2 s time-out: lomp as it comes (deliveries overlap), lomp /j:1 (one at a
// time) and a loop of smbclient -M over the same names. Then 500 messages in
// one batch, to PEER alone and spread over PEER's eleven names, with the
// default and with /j:1, and the peak resident memory of each batch. Median
// of RUNS runs for the first, one run each for the rest. Between them, 51
// recipients of which 40 are absent, with the default time-out, lomp as it
// comes and /j:1. Not a test.
//
//   tests/interop/testbed.sh build-release/bench/many_recipients build-release/lomp [RUNS]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "measure.h"

using lomp::bench::Measure;
using lomp::bench::Median;
using lomp::bench::Sample;

namespace {

std::vector<std::string> Words(const char* text) {
  std::istringstream words(text == nullptr ? "" : text);
  std::vector<std::string> list;
  for (std::string word; words >> word;) list.push_back(word);
  return list;
}

// Wall time of a batch run of `entries`, or a negative time when it failed.
Sample Batch(const std::string& lomp, const std::string& jobs,
             const std::vector<std::string>& entries) {
  const std::string file = "/tmp/lomp-bench-many-" + std::to_string(getpid());
  {
    std::ofstream out(file);
    for (const std::string& entry : entries) out << entry << "\n";
  }
  std::vector<std::string> command = {lomp};
  if (!jobs.empty()) command.push_back(jobs);
  command.push_back("/f:" + file);
  Sample sample = Measure(command, "");
  std::remove(file.c_str());
  if (sample.exitCode != 0) sample.milliseconds = -1;
  return sample;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::vector<std::string> aliases = Words(std::getenv("LOMP_PEER_ALIASES"));
  if (std::getenv("LOMP_TESTBED") == nullptr || argc < 2 || aliases.empty()) {
    std::fprintf(stderr, "usage: tests/interop/testbed.sh %s LOMP [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string lomp = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

  // Twenty recipients, ten of them absent.
  std::vector<std::string> names;
  for (std::size_t index = 0; index < aliases.size(); ++index) {
    names.push_back(aliases[index]);
    names.push_back("NOBODY" + std::to_string(index + 1));
  }
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ",") + name;

  std::vector<double> overlapping;
  std::vector<double> oneByOne;
  std::vector<double> smbclient;
  for (int run = 0; run < runs; ++run) {
    const Sample ours = Measure({lomp, "/t:2000", list, "hello"}, "");
    const Sample serial = Measure({lomp, "/t:2000", "/j:1", list, "hello"}, "");
    // lomp exits 4: half the recipients are absent.
    if (ours.exitCode != 4 || serial.exitCode != 4) {
      std::fprintf(stderr, "unexpected exit: lomp %d, lomp /j:1 %d\n", ours.exitCode,
                   serial.exitCode);
      return 1;
    }
    double loop = 0;
    for (const std::string& name : names)
      loop += Measure({"smbclient", "-M", name, "-N"}, "hello\n").milliseconds;
    overlapping.push_back(ours.milliseconds);
    oneByOne.push_back(serial.milliseconds);
    smbclient.push_back(loop);
  }
  std::printf("20 recipients, 10 absent, /t:2000, median of %d runs:\n", runs);
  std::printf("  lomp                %8.0f ms\n", Median(overlapping));
  std::printf("  lomp /j:1           %8.0f ms\n", Median(oneByOne));
  std::printf("  smbclient -M loop   %8.0f ms\n", Median(smbclient));

  // Eleven reachable names among forty absent ones, default /t and /j: the
  // absent ones only wait for their names and hold no slot.
  std::string mixed;
  for (int index = 0; index < 40; ++index) {
    mixed += "GONE" + std::to_string(index) + ",";
    if (index % 4 == 0 && static_cast<std::size_t>(index / 4) < aliases.size()) {
      mixed += aliases[static_cast<std::size_t>(index / 4)] + ",";
    }
  }
  mixed += "PEER";
  const Sample wide = Measure({lomp, mixed, "hello"}, "");
  const Sample narrow = Measure({lomp, "/j:1", mixed, "hello"}, "");
  if (wide.exitCode != 4 || narrow.exitCode != 4) {
    std::fprintf(stderr, "unexpected exit: lomp %d, lomp /j:1 %d\n", wide.exitCode,
                 narrow.exitCode);
    return 1;
  }
  std::printf("51 recipients, 40 absent, default /t (5 s), one run each:\n");
  std::printf("  lomp                %8.0f ms   peak %ld KiB\n", wide.milliseconds,
              wide.peakKilobytes);
  std::printf("  lomp /j:1           %8.0f ms   peak %ld KiB\n", narrow.milliseconds,
              narrow.peakKilobytes);

  // 500 messages in one batch.
  constexpr int kMessages = 500;
  std::vector<std::string> toPeer;
  std::vector<std::string> spread;
  for (int index = 0; index < kMessages; ++index) {
    const std::string text = " message number " + std::to_string(index);
    toPeer.push_back("PEER" + text);
    const auto which = static_cast<std::size_t>(index) % (aliases.size() + 1);
    spread.push_back((which == 0 ? std::string("PEER") : aliases[which - 1]) + text);
  }
  std::printf("500 messages in one batch:              lomp      lomp /j:1\n");
  for (const auto& [what, entries] :
       {std::pair{"to PEER alone", &toPeer}, std::pair{"over PEER's 11 names", &spread}}) {
    const Sample ours = Batch(lomp, "", *entries);
    const Sample serial = Batch(lomp, "/j:1", *entries);
    if (ours.milliseconds < 0 || serial.milliseconds < 0) {
      std::fprintf(stderr, "a batch failed: %d, /j:1 %d\n", ours.exitCode, serial.exitCode);
      return 1;
    }
    std::printf("  %-22s  time   %8.0f ms  %8.0f ms\n", what, ours.milliseconds,
                serial.milliseconds);
    std::printf("  %-22s  memory %8ld KiB %8ld KiB\n", "", ours.peakKilobytes,
                serial.peakKilobytes);
  }
  return 0;
}
