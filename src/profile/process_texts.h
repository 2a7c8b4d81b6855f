#pragma once

// Texts of the whole process that the full document carries but no profile
// holds. The run driver fills them once at start-up; each stays empty when
// it is not available, and the document then leaves its member out.

#include <string>

namespace qm {

// The installation identifier ("InstUID" of the document).
extern std::wstring InstallUid;
// The program's own file version ("FileVersion" of the document).
extern std::wstring OwnFileVersion;

}  // namespace qm
