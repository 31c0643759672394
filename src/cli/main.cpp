#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "script/failure.h"
#include "script/guard.h"
#include "script/platform.h"
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

// Reports a failure no step foresaw (memory exhausted, say): the short reason on
// standard output, and on standard error with PATH; in parts, as memory may have
// run out.
void Unforeseen(std::string_view path, std::string_view reason) {
  ReportLine("[QuellmarkInstaller] %.*s", static_cast<int>(reason.size()), reason.data());
  for (std::string_view part : {std::string_view("QuellmarkInstaller: "), path,
                                std::string_view(": "), reason, std::string_view("\n")})
    WriteStandard(part, true);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments = Arguments(argc, argv);
  const size_t count = arguments.size();
  const std::string_view option = count > 0 ? std::string_view(arguments[0]) : "";
  if (option == "--help" || (count == 1 && (option == "-h" || option == "/?"))) {
    WriteStandard(kUsage);
    return 0;
  }
  if (option == "--version") {
    ReportLine("QuellmarkInstaller " QUELLMARK_VERSION " (%s)\n", ParserVersion().c_str());
    return 0;
  }
  void (*run)(const char*) = UpdateStartupScript;
  if (option == "--uninstall") run = RemoveSection;
  if (option == "--check") run = CheckStartupScript;
  const size_t pathIndex = run == UpdateStartupScript ? 0 : 1;
  // An argument that starts with "--" in PATH's place is a misplaced option (such
  // a file is named ./--x), and one after PATH may be a switch in any style
  // ("/uninstall"): running on without it could do the opposite of what was asked.
  if (pathIndex + 1 != count || arguments[pathIndex].empty() ||
      arguments[pathIndex].substr(0, 2) == "--") {
    ReportLine("argument error.\n");
    return 2;
  }
  try {
    run(arguments[pathIndex].c_str());
    return 0;
  } catch (const ScriptFailure& failure) {
    // Written as it is: the text holds the user's path, which may hold a per-cent sign.
    WriteStandard(failure.text);
    // The reason goes apart, so callers that read standard output see the same text.
    if (!failure.reason.empty())
      WriteStandard("QuellmarkInstaller: " + failure.reason + "\n", true);
    return failure.status;
  } catch (const std::exception& exception) {
    Unforeseen(arguments[pathIndex], exception.what());
  } catch (...) {
    Unforeseen(arguments[pathIndex], "unexpected failure");
  }
  return 1;
}
