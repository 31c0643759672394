#include "script/update.h"

#include <memory>
#include <string_view>

#include "script/failure.h"
#include "script/platform.h"
#include "script/rewrite.h"

namespace {

constexpr const char* kPrefix = "[QuellmarkInstaller] ";

[[noreturn]] void GiveUp(std::string text) {
  g_errorMessage = std::move(text);
  throw ScriptFailure{g_errorMessage.c_str()};
}

bool SameText(const std::vector<std::string_view>& pieces, std::string_view text) {
  for (std::string_view piece : pieces) {
    // Most pieces are the very bytes of the text at that place.
    if (piece.data() != text.data() && text.substr(0, piece.size()) != piece) return false;
    text.remove_prefix(piece.size());
  }
  return text.empty();
}

}  // namespace

std::string MakeBackupPath(const std::string& path) {
  std::string backupPath;
  backupPath.reserve(path.size() + 4);
  return backupPath.append(path).append(".bak");
}

void UpdateStartupScript(const char* pathArgument) {
  const std::string path = pathArgument;
  if (!PathExists(path)) {
    // GBK for "configuration file not found".
    g_errorMessage.append(kPrefix).append(
        "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE");
    g_errorMessage.append(path);
  }
  ReportLine("[QuellmarkInstaller] Updating startup script %s\n ", path.c_str());

  FileBytes bytes;
  if (!ReadWholeFile(path, bytes))
    GiveUp(g_errorMessage + kPrefix + "Reading startup script " + path + " occur error");
  const std::unique_ptr<FileBytes, decltype(&ReleaseFileBytes)> release(&bytes, ReleaseFileBytes);
  const std::string_view text = bytes.text;

  const RebuiltScript rebuilt = RebuildScriptText(text);
  if (!rebuilt.inserted)
    GiveUp(kPrefix + ("Can not find system.webServer option in script " + path));
  if (rebuilt.unterminated) GiveUp(kPrefix + ("Can not find QUELLMARK END in script " + path));

  // The backup is made from the bytes read, and published before the file is
  // touched, so the old text is on disk under one of the two names at every instant.
  const std::string backupPath = MakeBackupPath(path);
  if (!PathExists(backupPath) && WriteWholeFile(backupPath, {text}, path, false) != 0)
    GiveUp(kPrefix + ("Backing up startup script " + path + " occur error"));

  // An unchanged file is left alone: the web server reloads its configuration
  // and recycles its worker processes whenever the file changes.
  if (!SameText(rebuilt.pieces, text) && WriteWholeFile(path, rebuilt.pieces, path, true) != 0)
    GiveUp(kPrefix + ("Writing startup script " + path + " occur error"));
}
