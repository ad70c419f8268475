// Loading and unloading the library at run time: the entry point's debugger output, and the
// log's closing banner at unload.
#include <gtest/gtest.h>

#include "rallylink.h"
#include "support/test_env.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

class Library {
 public:
  Library() {
#ifdef _WIN32
    handle_ = LoadLibraryA("rallylink.dll");
#else
    handle_ = dlopen(RALLYLINK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
#endif
  }
  ~Library() { Unload(); }
  bool Loaded() const { return handle_ != nullptr; }
  void Unload() {
    if (handle_ == nullptr) return;
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
    handle_ = nullptr;
  }
  template <typename F>
  F Get(const char* name) {
#ifdef _WIN32
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)));
#else
    return reinterpret_cast<F>(dlsym(handle_, name));
#endif
  }

 private:
  void* handle_ = nullptr;
};

const char kAttachLines[] =
    "DLL Init routine...(DLL_PROCESS_ATTACH)\nDLL Init routine...(DLL_PROCESS_ATTACH [2])\n";

TEST(LibraryLoad, AttachWritesItsTwoDebuggerLines) {
  DebugOutputCapture debug;
  Library library;
  ASSERT_TRUE(library.Loaded());
  EXPECT_TRUE(WaitUntil(2000, [&] { return debug.Text() == kAttachLines; })) << debug.Text();
}

TEST(LibraryLoad, UnloadClosesALogThatIsStillOpen) {
  ScratchDir dir;
  DeleteClientPortKey();
  {
    Library library;
    ASSERT_TRUE(library.Loaded());
    auto initialise = library.Get<int(RLCALL*)(uint32_t, uint16_t)>("RLInitialise");
    ASSERT_NE(initialise, nullptr);
    EXPECT_EQ(initialise(0, 0), 1);  // no registry key: the log stays open, no thread runs
  }
  std::string log = ReadTextFile("RallylinkLog.txt");
  EXPECT_NE(log.find("Failed to read client port from registry\n\n#### Closing log ####"),
            std::string::npos)
      << log;
}

TEST(LibraryLoad, UnloadAfterShutdownWritesNoSecondBanner) {
  ScratchDir dir;
  DeleteClientPortKey();
  {
    Library library;
    ASSERT_TRUE(library.Loaded());
    EXPECT_EQ(library.Get<int(RLCALL*)(uint32_t, uint16_t)>("RLInitialise")(0, 0), 1);
    EXPECT_EQ(library.Get<int(RLCALL*)()>("RLShutdown")(), 1);
  }
  std::string log = ReadTextFile("RallylinkLog.txt");
  EXPECT_EQ(log.find("#### Closing log ####"), log.rfind("#### Closing log ####"));
  EXPECT_NE(log.find("#### Closing log ####"), std::string::npos);
}

}  // namespace
