// A pass-through file system that makes every metadata call wait a set time,
// as a file server across a network does: the wait happens in the thread that
// serves the call, and the loop runs many threads, so calls in flight overlap
// as they do on a real server. It counts the calls of each kind.
//
//   LatencyFs [--delay-ms=1] [--plus] [--counts=FILE] [--threads=64] BACKING MOUNTPOINT
//
// --plus lists directories with their entries' attributes (readdirplus) and
// lets the kernel keep attributes and names for a while, as NFS and SMB
// clients do; without it every stat and every name lookup is a round trip.
// The counts are written to FILE (one "kind count" a line) on SIGUSR1 and
// when the file system is unmounted.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "PassThroughFs.h"

namespace {

using passthrough::Kind;
using passthrough::kKinds;

struct Options {
  std::chrono::microseconds delay{1000};
  bool plus = false;
  std::string counts;
  unsigned threads = 64;
};
Options Opt;
std::atomic<uint64_t> Counts[kKinds];

// Counts a call and, for a whole metadata call, waits the round trip.
void Call(Kind kind, bool part) {
  Counts[kind].fetch_add(1, std::memory_order_relaxed);
  if (!part && kind <= passthrough::kLastRoundTrip && Opt.delay.count() > 0)
    std::this_thread::sleep_for(Opt.delay);
}

void WriteCounts() {
  if (Opt.counts.empty()) return;
  const std::string temp = Opt.counts + ".tmp";
  FILE* out = std::fopen(temp.c_str(), "w");
  if (!out) return;
  for (int k = 0; k < kKinds; ++k) {
    std::fprintf(out, "%s %llu\n", passthrough::kKindNames[k],
                 static_cast<unsigned long long>(Counts[k]));
  }
  if (std::fclose(out) == 0) std::rename(temp.c_str(), Opt.counts.c_str());
}

void Destroy(void*) { WriteCounts(); }

bool ParseOption(const std::string& arg) {
  const auto value = [&](const char* key) -> const char* {
    const size_t n = std::strlen(key);
    return arg.compare(0, n, key) == 0 ? arg.c_str() + n : nullptr;
  };
  if (arg == "--plus") {
    Opt.plus = true;
  } else if (const char* v = value("--delay-ms=")) {
    Opt.delay = std::chrono::microseconds(static_cast<long>(std::atof(v) * 1000));
  } else if (const char* v = value("--counts=")) {
    Opt.counts = v;
  } else if (const char* v = value("--threads=")) {
    Opt.threads = static_cast<unsigned>(std::atoi(v));
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string paths[2];
  if (!passthrough::ReadCommandLine(argc, argv, ParseOption,
                                    "[--delay-ms=1] [--plus] [--counts=FILE] [--threads=64]",
                                    paths)) {
    return 2;
  }
  // With attributes from the listing the kernel keeps them a while, as an
  // NFS client does (its shortest attribute cache time is 3 s).
  passthrough::Config config;
  config.timeout = Opt.plus ? 3.0 : 0.0;
  config.plus = Opt.plus;
  config.call = Call;
  if (!passthrough::Configure(config, paths[0])) return std::perror(paths[0].c_str()), 1;
  fuse_lowlevel_ops ops = passthrough::Operations();
  ops.destroy = Destroy;

  // SIGUSR1 writes the counts; a thread of its own waits for it, so the
  // signal is blocked in every other thread.
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
  std::thread([usr1] {
    for (int sig; sigwait(&usr1, &sig) == 0;) WriteCounts();
  }).detach();

  return passthrough::Serve(ops, argv[0], "latencyfs", paths[1], Opt.threads);
}
