#include "profile/process_texts.h"

namespace qm {

std::wstring InstallUid;
std::wstring OwnFileVersion;

}  // namespace qm
