#pragma once

// How the program reaches a library built apart from it (the agent's
// communications and settings libraries): load it, then resolve the one export
// it is bound by. By default the system's loader; tests bring a fake library
// in-process instead.

#include <windows.h>

#include <functional>

#include "support/unique_resource.h"

namespace qm {

template <typename Entry>
struct LibraryLoader {
  // LoadLibraryW: a bare name goes through the system's search order.
  std::function<HMODULE(const wchar_t* path)> load = [](const wchar_t* path) {
    return ::LoadLibraryW(path);
  };
  std::function<Entry(HMODULE library, const char* export_name)> resolve =
      [](HMODULE library, const char* export_name) {
        return GetProcAddressAs<Entry>(library, export_name);
      };
};

}  // namespace qm
