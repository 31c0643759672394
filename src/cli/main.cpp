#include <cstdio>
#include <exception>
#include <string_view>

#include "script/failure.h"
#include "script/guard.h"
#include "script/update.h"

namespace {

constexpr const char* kUsage =
    "Usage: QuellmarkInstaller [--uninstall | --check] PATH\n"
    "Registers the Quellmark section in the web server configuration file PATH,\n"
    "keeping the file as it first was in PATH.bak.\n"
    "  --uninstall  removes the section instead; a missing PATH has nothing to remove\n"
    "  --check      changes nothing and tells whether an install would change PATH\n"
    "Exit status: 0 done (--check: an install would leave PATH byte for byte as it is),\n"
    "1 failed (--check: also when an install would fail), 2 argument error,\n"
    "3 (--check) an install would succeed and change PATH,\n"
    "4 not here: the web server reads a shared configuration; register it in the\n"
    "shared file.\n"
    "Why a run failed, and where in PATH, is told on standard error.\n";

}  // namespace

int main(int argc, char** argv) {
  const std::string_view option = argc > 1 ? argv[1] : "";
  if (option == "--help" || (argc == 2 && (option == "-h" || option == "/?"))) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (option == "--version") {
    ReportLine("QuellmarkInstaller " QUELLMARK_VERSION " (%s)\n", ParserVersion().c_str());
    return 0;
  }
  void (*run)(const char*) = UpdateStartupScript;
  if (option == "--uninstall") run = RemoveSection;
  if (option == "--check") run = CheckStartupScript;
  const int pathIndex = run == UpdateStartupScript ? 1 : 2;
  // An argument that starts with "--" in PATH's place is a misplaced option (such
  // a file is named ./--x), and one after PATH may be a switch in any style
  // ("/uninstall"): running on without it could do the opposite of what was asked.
  if (pathIndex + 1 != argc || argv[pathIndex][0] == '\0' ||
      std::string_view(argv[pathIndex]).substr(0, 2) == "--") {
    ReportLine("argument error.\n");
    return 2;
  }
  try {
    run(argv[pathIndex]);
    return 0;
  } catch (const ScriptFailure& failure) {
    // Written as it is: the text holds the user's path, which may hold a per-cent sign.
    std::fputs(failure.text, stdout);
    // The system's reason goes apart, so callers that read standard output see the same text.
    std::fflush(stdout);
    if (!failure.reason.empty())
      std::fprintf(stderr, "QuellmarkInstaller: %s\n", failure.reason.c_str());
    return failure.status;
  } catch (const std::exception& exception) {
    ReportLine("[QuellmarkInstaller] %s", exception.what());
  } catch (...) {
    ReportLine("[QuellmarkInstaller] unexpected failure");
  }
  return 1;
}
