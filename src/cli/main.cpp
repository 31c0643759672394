#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/file_system.h"
#include "config/platform.h"
#include "config/run.h"
#include "config/server_rules.h"

namespace {

// Where standard output and standard error meet, ends the line that standard output
// left open, so that the reason starts a line of its own.
void StartErrorLine() {
  if (StandardStreamsMeet()) WriteStandard("\n");
}

// Reports a failure no step foresaw (memory exhausted, say): the short reason on
// standard output, and on standard error with PATH; in parts, as memory may have
// run out.
void Unforeseen(std::string_view path, std::string_view reason) {
  for (std::string_view part : {kPrefix, reason}) WriteStandard(part);
  StartErrorLine();
  for (std::string_view part :
       {kReasonPrefix, path, std::string_view(": "), reason, std::string_view("; "),
        Remedy(Status::kFailed), std::string_view("\n")})
    WriteStandard(part, true);
}

}  // namespace

int main(int argc, char** argv) {
  HardenProcess();
  const std::vector<std::string> arguments = Arguments(argc, argv);
  const size_t count = arguments.size();
  const std::string_view option = count > 0 ? std::string_view(arguments[0]) : "";
  if (option == "--help" || (count == 1 && (option == "-h" || option == "/?"))) {
    WriteStandard(Usage());
    return 0;
  }
  if (option == "--version") {
    WriteStandard("QuellmarkInstaller " QUELLMARK_VERSION " (" + ParserVersion() + ")\n");
    return 0;
  }
  const Mode mode = option == "--uninstall" ? Mode::kRemove
                    : option == "--check"   ? Mode::kCheck
                                            : Mode::kInstall;
  const size_t pathIndex = mode == Mode::kInstall ? 0 : 1;
  // An argument that starts with "--" in PATH's place is a misplaced option (such
  // a file is named ./--x), and one after PATH may be a switch in any style
  // ("/uninstall"): running on without it could do the opposite of what was asked.
  if (pathIndex + 1 != count || arguments[pathIndex].empty() ||
      arguments[pathIndex].substr(0, 2) == "--") {
    WriteStandard(kArgumentError);
    return static_cast<int>(Status::kArgumentError);
  }
  const std::string& path = arguments[pathIndex];
  try {
    RemoveTemporaryFilesOnInterrupt();
    const std::unique_ptr<FileSystem> files = NewSystemFileSystem();
    const Outcome outcome =
        Run(*files, mode, path, [](std::string_view text) { WriteStandard(text); });
    const NotFoundWords words =
        StandardOutputIsConsole() ? NotFoundWords::kUtf8 : NotFoundWords::kGbk;
    WriteStandard(RenderTexts(outcome.texts, path, outcome.sharedFile, words));
    // The reason goes apart, so callers that read standard output see the same text.
    if (const std::string reason = RenderReason(outcome.reason); !reason.empty()) {
      StartErrorLine();
      WriteStandard(std::string(kReasonPrefix) + reason + "\n", true);
    }
    return static_cast<int>(outcome.status);
  } catch (const std::exception& exception) {
    Unforeseen(path, exception.what());
  } catch (...) {
    Unforeseen(path, kUnexpectedFailure);
  }
  return static_cast<int>(Status::kFailed);
}
