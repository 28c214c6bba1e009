// Cost of a log call that the filters drop (every disabled debug line in the
// library pays it), of a written line, and of reading a reply item.
#include <stdio.h>

#include <benchmark/benchmark.h>

#include "argparse.h"
#include "nksyslog.h"

namespace {

void BM_LogDroppedByLevel(benchmark::State &state) {
  nkloglevelset("bench", "WARN");
  for (auto _ : state) nksyslog(NKLOG_DEBUG, LOGMASK_NET, "%s fd %d", "netRead", 5);
}
BENCHMARK(BM_LogDroppedByLevel);

void BM_LogWritten(benchmark::State &state) {
  FILE *sink = fopen("/dev/null", "w");
  nksetdefaultlog(sink);
  nkloglevelset("bench", "WARN");
  for (auto _ : state) nksyslog(NKLOG_WARNING, LOGMASK_NET, "%s fd %d", "netRead", 5);
  nksetdefaultlog(nullptr);
  fclose(sink);
}
BENCHMARK(BM_LogWritten);

void BM_ParamGetNumber(benchmark::State &state) {
  const char *reply =
      "index=9,size=256,count=16384,free=16383,allocops=1,freeops=0,peak=1,delta=-1";
  int v = 0;
  for (auto _ : state) {
    paramGetNumber(reply, "delta", &v);
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_ParamGetNumber);

}  // namespace

BENCHMARK_MAIN();
