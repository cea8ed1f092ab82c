// 500 messages from one lomp batch to lomp --listen on the spare host, and
// the same 500 to smbd with its message command on PEER, in one run: wall
// time of each batch, and the listener's peak resident memory after the
// first 100 messages and after all 500 (it should not grow with the count).
// Not a test.
//
//   tests/interop/testbed.sh build-release/bench/listener_vs_smbd build-release/lomp
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "measure.h"

using lomp::bench::Measure;
using lomp::bench::Sample;

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// The listener's peak resident memory so far, in KiB (VmHWM).
long PeakKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

Sample Batch(const std::string& lomp, const std::string& to, int first, int count) {
  const std::string file = "/tmp/lomp-bench-listen-" + std::to_string(getpid());
  {
    std::ofstream out(file);
    for (int index = first; index < first + count; ++index) {
      out << to << " message number " << index << "\n";
    }
  }
  Sample sample = Measure({lomp, "/f:" + file}, "");
  std::remove(file.c_str());
  return sample;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (Env("LOMP_TESTBED").empty() || argc < 2) {
    std::fprintf(stderr, "usage: tests/interop/testbed.sh %s LOMP\n", argv[0]);
    return 2;
  }
  const std::string lomp = argv[1];
  const pid_t listener = fork();
  if (listener == 0) {
    const std::string ns = Env("LOMP_NS_SPARE");
    freopen("/dev/null", "w", stdout);
    execlp("ip", "ip", "netns", "exec", ns.c_str(), lomp.c_str(), "--listen", nullptr);
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // registration: 3 x 250 ms

  const Sample warm = Batch(lomp, "SPARE", 0, 100);
  const long after100 = PeakKilobytes(listener);
  const Sample toListener = Batch(lomp, "SPARE", 100, 500);
  const long after600 = PeakKilobytes(listener);
  const Sample toSmbd = Batch(lomp, "PEER", 0, 500);
  kill(listener, SIGTERM);
  int status = 0;
  waitpid(listener, &status, 0);
  if (warm.exitCode != 0 || toListener.exitCode != 0 || toSmbd.exitCode != 0) {
    std::fprintf(stderr, "a batch failed: %d %d %d\n", warm.exitCode, toListener.exitCode,
                 toSmbd.exitCode);
    return 1;
  }
  std::printf("500 messages in one lomp batch:\n");
  std::printf("  to lomp --listen              %8.0f ms\n", toListener.milliseconds);
  std::printf("  to smbd (message command)     %8.0f ms\n", toSmbd.milliseconds);
  std::printf("  the listener is %.1f times as fast\n",
              toSmbd.milliseconds / toListener.milliseconds);
  std::printf("listener peak memory: %ld KiB after 100 messages, %ld KiB after 600\n", after100,
              after600);
  return 0;
}
