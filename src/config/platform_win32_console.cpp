// The command line and the standard streams on Windows.
#include <cstdio>

#include "config/platform_win32.h"

using namespace win32;

namespace {

// The C runtime's own parse of the command line into UTF-16 arguments, by the rules
// that give argv; no shell32, which costs a start-up of its own.
struct StartupInfo {
  int newMode;
};
extern "C" int __cdecl __wgetmainargs(int* count, wchar_t*** arguments, wchar_t*** environment,
                                      int expandWildcards, StartupInfo* info);

}  // namespace

// DLLs from System32 alone, whatever folder the executable runs from; and, elevated,
// where the system has Redirection Guard (Windows 11 22H2, Server 2022 with its
// updates), no junction or link made by an account other than the administrators
// is followed. A run that is not elevated follows its own account's junctions, as
// every program of that account does. Both only in the executable: an installer
// that loads the custom action DLL sets its own policy.
void HardenProcess() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  // Looked up, not imported: Windows 7 and Server 2008 R2 have it only with KB2533623,
  // and without it a static import would stop the program from starting at all.
  const auto setDirectories = reinterpret_cast<decltype(&SetDefaultDllDirectories)>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (setDirectories) setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  using SetPolicy = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
  const auto setPolicy = reinterpret_cast<SetPolicy>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessMitigationPolicy")));
  PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY trust = {};
  trust.EnforceRedirectionTrust = 1;
  if (setPolicy && IsElevatedToken())
    setPolicy(ProcessRedirectionTrustPolicy, &trust, sizeof trust);
}

void RemoveTemporaryFilesOnInterrupt() { SetConsoleCtrlHandler(RemoveTempOnInterrupt, TRUE); }

std::vector<std::string> Arguments(int, char**) {
  int count = 0;
  wchar_t **wide = nullptr, **environment = nullptr;
  StartupInfo info = {0};
  std::vector<std::string> arguments;
  if (__wgetmainargs(&count, &wide, &environment, 0, &info) != 0) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(Utf8(wide[i]));
  return arguments;
}

void WriteStandard(std::string_view text, bool error) {
  FILE* const stream = error ? stderr : stdout;
  const HANDLE handle = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode;
  if (!GetConsoleMode(handle, &mode)) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
    return;
  }
  // A console shows characters.
  const std::wstring characters = Utf16(text);
  DWORD written;
  WriteConsoleW(handle, characters.data(), characters.size(), &written, nullptr);
}

bool StandardOutputIsConsole() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode);
}

bool StandardStreamsMeet() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode;
  if (out == error || (GetConsoleMode(out, &mode) && GetConsoleMode(error, &mode))) return true;
  // Windows 10 and later tell whether two handles are one object ("2>&1" duplicates one).
  using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
  const auto compare = reinterpret_cast<Compare>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles")));
  return compare && compare(out, error);
}
