#pragma once

namespace qm {

// One run of the profiler from start to exit code: 0 when the run reached its
// end, -1 when a stage stopped it early.
int RunProfiler(int argc, wchar_t** argv);

}  // namespace qm
