// lomp side by side with Samba's smbclient -M, the tool users would otherwise
// pick, delivering to smbd in the test bed: one message per process (median
// wall time of many runs), 500 messages (one lomp batch run against 500
// smbclient runs), and the peak resident memory of each. Then one message
// per process again, to a Messenger that answers at once (PEER_PROGRAM's
// "peer instant" on the spare host), which shows what the two tools cost
// themselves, without smbd's work; beside them the same four exchanges made
// by a small C program (wire_floor, found beside PRINT_LINE), the least any
// program can take for that message on this machine. Last, one message per
// process to FAR, beyond the test bed's router, found through the WINS
// server there, with the same smb.conf for both tools. First of all,
// `lomp --version` against a C program that only prints a line: what
// starting lomp costs. Every figure is whole-process wall time, lomp and the
// others run alternately.
// Not a test.
//
//   tests/interop/testbed.sh build-release/bench/lomp_vs_smbclient
//       build-release/lomp build-release/bench/bench_peer build-release/bench/print_line [RUNS]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "measure.h"

using lomp::bench::Measure;
using lomp::bench::Median;
using lomp::bench::Sample;

int main(int argc, char* argv[]) {
  if (std::getenv("LOMP_TESTBED") == nullptr || argc < 4) {
    std::fprintf(stderr, "usage: tests/interop/testbed.sh %s LOMP PEER_PROGRAM PRINT_LINE [RUNS]\n",
                 argv[0]);
    return 2;
  }
  const std::string lomp = argv[1];
  const std::string peerProgram = argv[2];
  const std::string printLine = argv[3];
  const int runs = argc > 4 ? std::atoi(argv[4]) : 30;

  // Starting: lomp --version against a program that prints one line.
  std::vector<double> versionTimes;
  std::vector<double> lineTimes;
  for (int run = 0; run < runs * 10; ++run) {
    versionTimes.push_back(Measure({lomp, "--version"}, "").milliseconds);
    lineTimes.push_back(Measure({printLine}, "").milliseconds);
  }
  std::printf(
      "start, median of %d runs:       lomp --version %6.3f ms   print a line %6.3f ms"
      "   %4.2fx\n",
      runs * 10, Median(versionTimes), Median(lineTimes), Median(versionTimes) / Median(lineTimes));
  const std::string peer = std::getenv("LOMP_PEER_ADDR");
  const std::vector<std::string> smbclient = {"smbclient", "-M", "PEER", "-I", peer, "-N"};

  // One message per process.
  std::vector<double> lompTimes;
  std::vector<double> smbTimes;
  long lompPeak = 0;
  long smbPeak = 0;
  for (int run = 0; run < runs; ++run) {
    const Sample ours = Measure({lomp, "PEER", "hello"}, "");
    const Sample theirs = Measure(smbclient, "hello\n");
    if (ours.exitCode != 0 || theirs.exitCode != 0) {
      std::fprintf(stderr, "a delivery failed: lomp %d, smbclient %d\n", ours.exitCode,
                   theirs.exitCode);
      return 1;
    }
    lompTimes.push_back(ours.milliseconds);
    smbTimes.push_back(theirs.milliseconds);
    lompPeak = std::max(lompPeak, ours.peakKilobytes);
    smbPeak = std::max(smbPeak, theirs.peakKilobytes);
  }
  const double lompMedian = Median(lompTimes);
  const double smbMedian = Median(smbTimes);
  std::printf("one message, median of %d runs:  lomp %8.2f ms   smbclient %8.2f ms   %6.1fx\n",
              runs, lompMedian, smbMedian, smbMedian / lompMedian);

  // 500 messages.
  constexpr int kMessages = 500;
  const std::string file = "/tmp/lomp-bench-" + std::to_string(getpid());
  {
    std::ofstream out(file);
    for (int i = 0; i < kMessages; ++i) out << "PEER message number " << i << "\n";
  }
  const Sample batch = Measure({lomp, "/f:" + file}, "");
  std::remove(file.c_str());
  if (batch.exitCode != 0) {
    std::fprintf(stderr, "the batch run failed: %d\n", batch.exitCode);
    return 1;
  }
  double smbTotal = 0;
  for (int i = 0; i < kMessages; ++i) {
    const Sample theirs = Measure(smbclient, "message number " + std::to_string(i) + "\n");
    if (theirs.exitCode != 0) return 1;
    smbTotal += theirs.milliseconds;
    smbPeak = std::max(smbPeak, theirs.peakKilobytes);
  }
  std::printf("500 messages, total:            lomp %8.0f ms   smbclient %8.0f ms   %6.1fx\n",
              batch.milliseconds, smbTotal, smbTotal / batch.milliseconds);
  lompPeak = std::max(lompPeak, batch.peakKilobytes);
  std::printf("peak resident memory:           lomp %8ld KiB  smbclient %8ld KiB  %6.1f%%\n",
              lompPeak, smbPeak,
              100.0 * static_cast<double>(lompPeak) / static_cast<double>(smbPeak));

  // The same single message to a Messenger that answers at once.
  const std::string spare = std::getenv("LOMP_SPARE_ADDR");
  const pid_t instant = fork();
  if (instant == 0) {
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    execlp("ip", "ip", "netns", "exec", std::getenv("LOMP_NS_SPARE"), peerProgram.c_str(), "peer",
           "instant", "139", static_cast<char*>(nullptr));
    _exit(127);
  }
  usleep(500000);  // until it listens
  const std::string floorProgram = printLine.substr(0, printLine.rfind('/') + 1) + "wire_floor";
  std::vector<double> lompInstant;
  std::vector<double> smbInstant;
  std::vector<double> floorInstant;
  long lompInstantPeak = 0;
  for (int run = 0; run < runs; ++run) {
    const Sample ours = Measure({lomp, spare, "hello"}, "");
    const Sample theirs = Measure({"smbclient", "-M", "LOMPSPARE", "-I", spare, "-N"}, "hello\n");
    const Sample least = Measure({floorProgram, spare, "hello"}, "");
    if (ours.exitCode != 0 || theirs.exitCode != 0 || least.exitCode != 0) {
      std::fprintf(stderr,
                   "a delivery to the instant receiver failed: lomp %d, smbclient %d, %s %d\n",
                   ours.exitCode, theirs.exitCode, floorProgram.c_str(), least.exitCode);
      kill(instant, SIGKILL);
      return 1;
    }
    lompInstant.push_back(ours.milliseconds);
    smbInstant.push_back(theirs.milliseconds);
    floorInstant.push_back(least.milliseconds);
    lompInstantPeak = std::max(lompInstantPeak, ours.peakKilobytes);
  }
  kill(instant, SIGKILL);
  waitpid(instant, nullptr, 0);
  const double lompFast = Median(lompInstant);
  const double smbFast = Median(smbInstant);
  std::printf("one message, instant receiver:  lomp %8.2f ms   smbclient %8.2f ms   %6.1fx\n",
              lompFast, smbFast, smbFast / lompFast);
  const double floorFast = Median(floorInstant);
  std::printf(
      "  the same exchanges from a C program: %.2f ms, smbclient %.1fx of it (the most any"
      " program can reach here)\n",
      floorFast, smbFast / floorFast);
  std::printf("peak resident memory, one message: lomp %ld KiB\n", lompInstantPeak);

  // FAR through WINS: the client's own smb.conf (its namespace's) names the
  // WINS server; both tools read it.
  const std::string config = "/etc/samba/smb.conf";
  std::string saved;
  {
    std::ifstream in(config);
    saved.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // smbclient gets folders of its own: its name cache on the machine's
  // /var/cache/samba outlives the test bed, and would send it to the address
  // FAR had in an earlier run.
  char folder[] = "/tmp/lomp-bench-samba-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  {
    std::ofstream out(config);
    out << "[global]\n  workgroup = LOMPTEST\n  wins server = " << std::getenv("LOMP_WINS_ADDR")
        << "\n";
    for (const char* key : {"cache", "lock", "state"}) {
      out << "  " << key << " directory = " << folder << "\n";
    }
  }
  std::vector<double> lompWins;
  std::vector<double> smbWins;
  int lompFailures = 0;
  int smbFailures = 0;
  for (int run = 0; run < runs; ++run) {
    // A failed run is counted and left out of the median: one tool's bad
    // luck with the WINS server must not end the whole benchmark.
    const Sample ours = Measure({lomp, "FAR", "hello"}, "");
    const Sample theirs = Measure({"smbclient", "-M", "FAR", "-N"}, "hello\n");
    if (ours.exitCode == 0) {
      lompWins.push_back(ours.milliseconds);
    } else {
      ++lompFailures;
    }
    if (theirs.exitCode == 0) {
      smbWins.push_back(theirs.milliseconds);
    } else {
      ++smbFailures;
    }
  }
  std::ofstream(config) << saved;
  std::filesystem::remove_all(folder);
  if (lompFailures + smbFailures > 0) {
    std::printf("deliveries to FAR that failed: lomp %d, smbclient %d of %d\n", lompFailures,
                smbFailures, runs);
  }
  if (lompWins.empty() || smbWins.empty()) return 1;
  const double lompFar = Median(lompWins);
  const double smbFar = Median(smbWins);
  std::printf("one message to FAR via WINS:    lomp %8.2f ms   smbclient %8.2f ms   %6.1fx\n",
              lompFar, smbFar, smbFar / lompFar);
  return 0;
}
