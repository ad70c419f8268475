// The library's entry point: DllMain on Windows, the shared object's load hook elsewhere. The
// static objects (Log, then ReceiveBuffer) are built before it runs and destroyed after it.
#include "exports/attach.h"

#ifdef _WIN32
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ProcessAttach();
  // At process exit Windows has stopped every other thread already. Otherwise the detach comes
  // with the last reference to the DLL, and the message thread holds one until it exits
  // (PlatThreadStart): no thread of the library runs any more.
  if (reason == DLL_PROCESS_DETACH) ProcessDetach(false);
  return TRUE;
}
#else
namespace {
struct UnloadHook {
  ~UnloadHook() { ProcessDetach(true); }
};
}  // namespace

__attribute__((constructor)) static void LibraryLoaded() {
  ProcessAttach();
  // Built after the static objects, so destroyed before them, at exit as at dlclose: the
  // message thread is stopped before the log closes.
  static UnloadHook hook;
  (void)hook;
}
#endif
