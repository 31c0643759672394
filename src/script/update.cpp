#include "script/update.h"

#include <cstdio>
#include <string_view>

#include "script/failure.h"
#include "script/platform.h"
#include "script/rewrite.h"

namespace {

constexpr const char* kPrefix = "[QuellmarkInstaller] ";
// Sizes are 32-bit signed counts; larger files are refused as unreadable.
constexpr size_t kMaxScriptSize = 0x7FFFFFFF;

[[noreturn]] void GiveUp(std::string text) {
  g_errorMessage = std::move(text);
  throw ScriptFailure{g_errorMessage.c_str()};
}

// Reads the whole file into `text`; false when it cannot be opened, sized or
// read to its end.
bool ReadWholeFile(const std::string& path, std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  bool ok =
      size >= 0 && static_cast<size_t>(size) < kMaxScriptSize && std::fseek(file, 0, SEEK_SET) == 0;
  size_t filled = 0;
  // One byte more than the size, so the read that meets the end has room; a file
  // that grows meanwhile is still read whole, within the buffer.
  if (ok) text.resize(size + 1);
  while (ok) {
    if (filled == text.size()) {
      ok = text.size() < kMaxScriptSize;
      if (!ok) break;
      text.resize(std::min(text.size() * 2, kMaxScriptSize));
    }
    const size_t count = std::fread(&text[filled], 1, text.size() - filled, file);
    if (count == 0) break;
    filled += count;
  }
  ok = ok && !std::ferror(file);
  std::fclose(file);
  text.resize(filled);
  return ok;
}

bool SameText(const std::vector<std::string_view>& pieces, std::string_view text) {
  for (std::string_view piece : pieces) {
    if (text.substr(0, piece.size()) != piece) return false;
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

  std::string text;
  if (!ReadWholeFile(path, text))
    GiveUp(g_errorMessage + kPrefix + "Reading startup script " + path + " occur error");

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
