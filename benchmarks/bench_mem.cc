// Cost of the handle allocator against the C library's calloc and free:
//
//   - start-up: the first memInit() of a process (it creates every handle
//     record), timed at the top of main() and again in five fresh processes
//     (this program re-executed), which report back through a pipe;
//   - a small-block pair: alloc, touch, free, sizes cycling 0..220 (all in the
//     256-byte class), against calloc(1, size) and free;
//   - a batch: 10,000 blocks of mixed sizes 16..4000 (the same seeded
//     sequence for both), then freed in allocation order;
//   - both of these with two threads at once.
//
// A second thread stays alive (blocked) for the whole run: the C library
// takes a faster path in a process that never had one, and the allocator's
// users always have several. Every figure is wall time; a two-thread figure
// is the time one thread sees per operation. The ratios at the end are ours
// over the C library's, from the medians of the same run. The two-thread
// small pair is the allocator's lock at its busiest: the C library's threads
// never meet, ours take turns at one lock; its figure moves most with other
// work on the machine (a holder that loses its processor stops both).
//
// The C library gives the top of its heap back to the system whenever more
// than a threshold is free there, and moves that threshold as a process runs;
// a batch freed in allocation order then faults its pages in again each time.
// The comparison runs it with its default threshold (128 KiB), pinned so that
// earlier work cannot move it, and once more with trimming pushed out of
// reach, as our slabs are kept.
//
//   build/bench/benchmarks/bench_mem [--benchmark_filter=...]
#include <fcntl.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "mem.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kInitChildFlag[] = "--nk-meminit-child=";
constexpr int kInitChildren = 5;
constexpr int kSmallMax = 220;  // 220 + 36 bytes of overhead: the 256-byte class
constexpr int kBatch = 10000;
constexpr int kBatchMin = 16;
constexpr int kBatchMax = 4000;
constexpr int kRepetitions = 5;
constexpr double kMinTime = 0.25;  // seconds per repetition
constexpr int kDefaultTrimThreshold = 128 << 10;
constexpr int kNoTrimThreshold = 256 << 20;

int64_t nanosSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---- start-up in fresh processes ---------------------------------------------

// Runs this program again, once per child and one at a time, so that each
// child's memInit is the first of its process; each child writes the
// nanoseconds it took to the pipe named on its command line. Returns what
// came back (fewer figures if a child failed).
std::vector<double> timeInitInChildren(int children) {
  std::vector<double> millis;
  for (int i = 0; i < children; i++) {
    int fds[2];
    if (pipe(fds) != 0) break;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    std::string flag = kInitChildFlag + std::to_string(fds[1]);
    char self[] = "/proc/self/exe";
    char *args[] = {self, &flag[0], nullptr};
    pid_t pid = fork();
    if (pid == 0) {
      execv(self, args);
      _exit(127);
    }
    close(fds[1]);
    int64_t nanos = 0;
    ssize_t got = pid > 0 ? read(fds[0], &nanos, sizeof nanos) : 0;
    close(fds[0]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    if (got == static_cast<ssize_t>(sizeof nanos)) millis.push_back(nanos / 1e6);
  }
  return millis;
}

// A thread that only waits until the program ends.
class IdleThread {
 public:
  IdleThread()
      : thread_([this] {
          std::unique_lock<std::mutex> lock(mutex_);
          wake_.wait(lock, [this] { return stop_; });
        }) {}
  ~IdleThread() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  IdleThread(const IdleThread &) = delete;
  IdleThread &operator=(const IdleThread &) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

// ---- the workloads -----------------------------------------------------------

// Writes the first byte of a block (a zero-size block has none to write), so
// that the allocation cannot be dropped.
inline void touch(char *p, int size) {
  if (size > 0) p[0] = static_cast<char>(size);
  benchmark::DoNotOptimize(p);
}

void BM_SmallPairNk(benchmark::State &state) {
  int size = 0;
  for (auto _ : state) {
    int h = memAllocActual(size, __LINE__, "bench_mem");
    touch(static_cast<char *>(memGetData(h)), size);
    memFreeActual(h, __LINE__, "bench_mem");
    size = size == kSmallMax ? 0 : size + 1;
  }
}

void BM_SmallPairGlibc(benchmark::State &state) {
  int size = 0;
  for (auto _ : state) {
    char *p = static_cast<char *>(calloc(1, static_cast<size_t>(size)));
    touch(p, size);
    free(p);
    size = size == kSmallMax ? 0 : size + 1;
  }
}

// The batch's block sizes: a fixed xorshift sequence, the same on every run.
const std::vector<int> &batchSizes() {
  static const std::vector<int> sizes = [] {
    std::vector<int> v(kBatch);
    uint32_t x = 0x2545F491u;
    for (int &s : v) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      s = kBatchMin + static_cast<int>(x % (kBatchMax - kBatchMin + 1));
    }
    return v;
  }();
  return sizes;
}

void BM_BatchNk(benchmark::State &state) {
  const std::vector<int> &sizes = batchSizes();
  std::vector<int> handles(kBatch);
  for (auto _ : state) {
    for (int i = 0; i < kBatch; i++) {
      handles[i] = memAllocActual(sizes[i], __LINE__, "bench_mem");
      touch(static_cast<char *>(memGetData(handles[i])), sizes[i]);
    }
    for (int i = 0; i < kBatch; i++) memFreeActual(handles[i], __LINE__, "bench_mem");
  }
}

void batchGlibc(benchmark::State &state, int trimThreshold) {
  mallopt(M_TRIM_THRESHOLD, trimThreshold);
  const std::vector<int> &sizes = batchSizes();
  std::vector<char *> blocks(kBatch);
  for (auto _ : state) {
    for (int i = 0; i < kBatch; i++) {
      blocks[i] = static_cast<char *>(calloc(1, static_cast<size_t>(sizes[i])));
      touch(blocks[i], sizes[i]);
    }
    for (int i = 0; i < kBatch; i++) free(blocks[i]);
  }
}

void BM_BatchGlibc(benchmark::State &state) { batchGlibc(state, kDefaultTrimThreshold); }
void BM_BatchGlibcNoTrim(benchmark::State &state) { batchGlibc(state, kNoTrimThreshold); }

void configure(benchmark::internal::Benchmark *b) {
  b->Threads(1)->Threads(2)->UseRealTime()->MinWarmUpTime(0.05)->MinTime(kMinTime)->Repetitions(
      kRepetitions);
}

BENCHMARK(BM_SmallPairNk)->Apply(configure);
BENCHMARK(BM_SmallPairGlibc)->Apply(configure);
BENCHMARK(BM_BatchNk)->Apply(configure)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BatchGlibc)->Apply(configure)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BatchGlibcNoTrim)->Apply(configure)->Unit(benchmark::kMicrosecond);

// ---- the figures -------------------------------------------------------------

// Keeps every repetition's time per operation as one thread sees it, keyed
// by function name and thread count (the library divides a multi-thread
// run's wall time by the iterations of all threads), and shows only the
// aggregates of repeated runs on the console.
class FigureReporter : public benchmark::ConsoleReporter {
 public:
  FigureReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run> &runs) override {
    std::vector<Run> shown;
    for (const Run &run : runs) {
      bool repeated = run.run_type == Run::RT_Iteration && run.repetitions > 1;
      if (!repeated) shown.push_back(run);
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      double perThread = static_cast<double>(run.iterations) / static_cast<double>(run.threads);
      double nanos = run.real_accumulated_time * 1e9 / perThread;
      nanosPerOp_[{run.run_name.function_name, run.threads}].push_back(nanos);
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
  }

  // Median nanoseconds per operation, or a negative value if not run.
  double medianNanos(const std::string &function, int threads) const {
    auto it = nanosPerOp_.find({function, threads});
    return it == nanosPerOp_.end() ? -1 : median(it->second);
  }

 private:
  std::map<std::pair<std::string, int64_t>, std::vector<double>> nanosPerOp_;
};

void printPair(const FigureReporter &r, const char *what, const char *nk, const char *glibc,
               int threads, double scale, const char *unit, const char *target) {
  double ours = r.medianNanos(nk, threads);
  double theirs = r.medianNanos(glibc, threads);
  printf("%s:", what);
  if (ours >= 0) printf(" nk %.1f %s", ours / scale, unit);
  if (theirs >= 0) printf("%s glibc %.1f %s", ours >= 0 ? "," : "", theirs / scale, unit);
  if (ours >= 0 && theirs >= 0) printf(", ratio %.2f (%s)", ours / theirs, target);
  if (ours < 0 && theirs < 0) printf(" not run");
  printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
  // The first memInit of this process, before anything else.
  Clock::time_point start = Clock::now();
  memInit();
  int64_t firstInitNanos = nanosSince(start);

  size_t flagLength = sizeof kInitChildFlag - 1;
  if (argc == 2 && strncmp(argv[1], kInitChildFlag, flagLength) == 0) {
    int fd = atoi(argv[1] + flagLength);
    bool sent = write(fd, &firstInitNanos, sizeof firstInitNanos) ==
                static_cast<ssize_t>(sizeof firstInitNanos);
    return sent ? 0 : 1;
  }

  IdleThread idle;
  std::vector<double> childMillis = timeInitInChildren(kInitChildren);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  FigureReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  printf("\n");
  printf("memInit, first call in this process: %.2f ms (target < 10 ms)\n", firstInitNanos / 1e6);
  if (childMillis.empty()) {
    printf("memInit, first call in fresh processes: not run\n");
  } else {
    printf(
        "memInit, first call in %zu fresh processes: min %.2f ms, median %.2f ms"
        " (target < 10 ms)\n",
        childMillis.size(), *std::min_element(childMillis.begin(), childMillis.end()),
        median(childMillis));
  }
  printPair(reporter, "small pair, 1 thread", "BM_SmallPairNk", "BM_SmallPairGlibc", 1, 1, "ns",
            "target <= 1.3");
  printPair(reporter, "batch of 10000, 1 thread", "BM_BatchNk", "BM_BatchGlibc", 1, 1e3, "us",
            "target < 1");
  printPair(reporter, "batch of 10000, 1 thread, C library not trimming", "BM_BatchNk",
            "BM_BatchGlibcNoTrim", 1, 1e3, "us", "for information");
  printPair(reporter, "small pair, 2 threads, per thread", "BM_SmallPairNk", "BM_SmallPairGlibc", 2,
            1, "ns", "target <= 4");
  printPair(reporter, "batch of 10000, 2 threads, per thread", "BM_BatchNk", "BM_BatchGlibc", 2,
            1e3, "us", "no target");
  printPair(reporter, "batch of 10000, 2 threads, C library not trimming", "BM_BatchNk",
            "BM_BatchGlibcNoTrim", 2, 1e3, "us", "for information");
  return 0;
}
