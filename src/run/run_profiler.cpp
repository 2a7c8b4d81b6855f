#include "run/run_profiler.h"

namespace qm {

int RunProfiler(int /*argc*/, wchar_t** /*argv*/) {
  return 0;
}

}  // namespace qm
