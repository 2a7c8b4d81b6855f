#include "support/clock.h"

#include <oleauto.h>

namespace qm {

DATE SystemUtcNow() noexcept {
  SYSTEMTIME now = {};
  ::GetSystemTime(&now);
  DATE date = 0;
  ::SystemTimeToVariantTime(&now, &date);
  return date;
}

}  // namespace qm
