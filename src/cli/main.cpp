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
    "  --check      changes nothing and tells whether the section is registered\n"
    "Exit status: 0 done (--check: registered), 1 failed, 2 argument error,\n"
    "3 (--check) an install would change the file.\n";

}  // namespace

int main(int argc, char** argv) {
  const std::string_view option = argc > 1 ? argv[1] : "";
  if (option == "--help") {
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
  // A PATH that starts with "--" is a mistyped option: such a file is named ./--x.
  if (pathIndex >= argc || argv[pathIndex][0] == '\0' ||
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
    return failure.status;
  } catch (const std::exception& exception) {
    ReportLine("[QuellmarkInstaller] %s", exception.what());
  } catch (...) {
    ReportLine("[QuellmarkInstaller] unexpected failure");
  }
  return 1;
}
