#pragma once

// Starting a program and waiting for it: simagent's runs of the program and
// the end-to-end tests' runs of simagent.

#include <windows.h>

#include <string>

namespace qm::sim {

struct ProcessEnd {
  bool started = false;  // false: it could not be started, `error` says why
  bool in_time = false;  // false: still running at the time limit and ended by force
  DWORD exit_code = 0xFFFFFFFF;
  DWORD error = 0;
};

// Runs `command` in `folder` with `output` as its standard output and error,
// or with this process's own handles when it is null; a program still running
// after `limit_ms` is ended together with every process it started.
[[nodiscard]] ProcessEnd RunProcess(std::wstring command, const std::wstring& folder,
                                    HANDLE output = nullptr, DWORD limit_ms = INFINITE);

}  // namespace qm::sim
