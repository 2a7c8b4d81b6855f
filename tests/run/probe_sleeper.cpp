// Stands in for a process the probes look for: it only waits to be ended.
#include <windows.h>

int main() {
  ::Sleep(60000);
  return 0;
}
