// Cost of trace points that do not fire: next to an empty loop iteration, a
// point with tracing not live, a point of a registered provider that no
// controller enabled, and points that an enabled controller filters out by
// flag bit or by level. A wide-text argument must cost nothing until a point
// fires, so its rows should match the rows without arguments.
//
//   tools/wine-run.sh build/wineprefix build/bench/bench_trace.exe [iterations]

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "diagnostics/trace.h"
#include "diagnostics/trace_provider.h"
#include "diagnostics/trace_recorder.h"

namespace {

using namespace qm;

volatile unsigned g_sink = 0;
const std::wstring g_wide(200, L'w');

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / frequency;
}

template <typename Body>
double NanosecondsPerIteration(long iterations, Body body) {
  body();  // warm up
  const double start = Now();
  for (long i = 0; i < iterations; ++i) body();
  return (Now() - start) * 1e9 / static_cast<double>(iterations);
}

void Row(const char* name, double ns) { std::printf("%-44s %8.2f ns\n", name, ns); }

void Empty() { g_sink = g_sink + 1; }
void NoArgs() {
  g_sink = g_sink + 1;
  QM_TRACE(RunDriver, 11, Info, Run);
}
void WideArg() {
  g_sink = g_sink + 1;
  QM_TRACE(RunDriver, 23, Info, Run, trace::AnsiOf(g_wide));
}
void FilteredByLevel() {
  g_sink = g_sink + 1;
  QM_TRACE(Collector, 11, Verbose, Collector, trace::AnsiOf(g_wide));
}

void Measure(const char* state, long iterations) {
  std::printf("-- %s\n", state);
  Row("empty loop iteration", NanosecondsPerIteration(iterations, Empty));
  Row("point, no argument", NanosecondsPerIteration(iterations, NoArgs));
  Row("point, wide text converted to narrow", NanosecondsPerIteration(iterations, WideArg));
  Row("point below the enabled level", NanosecondsPerIteration(iterations, FilteredByLevel));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const long iterations = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 100000000L;
  trace::LoadTracingSupport();
  Measure("tracing not live", iterations);
  {
    trace::TraceRecorder recorder{trace::TraceRecorder::RegisteredOnly{}};
    Measure("registered, no controller", iterations);
  }
  {
    trace::TraceRecorder recorder(4, trace::flags::Collector);
    Measure("enabled for the collector at level 4 (run points filtered by flag)", iterations);
    if (!recorder.Messages().empty()) {
      std::printf("unexpected: %zu messages fired\n", recorder.Messages().size());
      return 1;
    }
  }
  return 0;
}
