// A program that traces a fixed set of messages, for the tests of the file
// controller: run it with QUILLMARK_TRACE set and read what it wrote.
// Its messages are described in probe_catalog.txt.

#include "diagnostics/trace.h"
#include "diagnostics/trace_provider.h"

int wmain() {
  using namespace qm;
  trace::LoadTracingSupport();
  trace::RegisterTraceProvider();

  const wchar_t* absent = nullptr;
  QM_TRACE(RunDriver, 11, Info, Run);
  QM_TRACE(RunDriver, 18, Info, Run, trace::Narrow("False"), trace::Narrow("True"));
  QM_TRACE(RunDriver, 30, Verbose, Run, trace::Int(5));
  QM_TRACE(ServiceControl, 13, Error, Run, trace::Int(-1));
  QM_TRACE(Collector, 10, Info, Collector, trace::Int(1));
  QM_TRACE(Upload, 10, Error, Upload);
  QM_TRACE(Tracking, 12, Info, Run, trace::Wide(L""), trace::Wide(absent),
           trace::Wide(L"caf\u00e9"));
  QM_TRACE(RunDriver, 20, Info, Run, trace::AnsiOf(L"{\"MUID\":\"a\\b\u00e9\"}"));

  trace::UnregisterTraceProvider();
  QM_TRACE(RunDriver, 12, Info, Run);
  return 0;
}
