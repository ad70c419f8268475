// The library's entry point: DllMain on Windows, the shared object's load and unload hooks
// elsewhere. The static objects (Log, then ReceiveBuffer) are built before it runs and
// destroyed after it.
#include "exports/lifecycle.h"

#ifdef _WIN32
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ProcessAttach();
  if (reason == DLL_PROCESS_DETACH) ProcessDetach();
  return TRUE;
}
#else
__attribute__((constructor)) static void LibraryLoaded() { ProcessAttach(); }
__attribute__((destructor)) static void LibraryUnloaded() { ProcessDetach(); }
#endif
