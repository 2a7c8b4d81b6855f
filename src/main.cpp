#include "run/run_profiler.h"

int wmain(int argc, wchar_t** argv) { return qm::RunProfiler(argc, argv); }
