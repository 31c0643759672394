#pragma once

// What a run makes of the text it read, and what it then does: decisions alone, no I/O.

#include <optional>
#include <string>
#include <string_view>

#include "config/rewrite.h"
#include "config/texts.h"

// kCheckRemoval is the removal's pre-flight (a custom action's, before the
// transaction): judged as an uninstall, nothing written.
enum class Mode { kInstall, kRemove, kCheck, kCheckRemoval };
inline bool IsRemoval(Mode mode) { return mode == Mode::kRemove || mode == Mode::kCheckRemoval; }

// What a run that changes nothing on purpose tells: a declaration made by hand,
// adopted by an install (or left by an uninstall), or a block that an uninstall
// keeps while the module's settings use it.
enum class KeptFor { kNothing, kHandDeclaration, kUsedBlock };

// The new text and whether it is the text read, or a refusal: its text for standard
// output, and for standard error the line of the file it is about (0: none) and
// why, with the parser's words where they tell. Or, with `keptFor`, the text read kept
// as it is: `told` for standard output (none for an uninstall that leaves a
// declaration made by hand), and the line and why as for a refusal.
struct Verdict {
  NewText newText;
  bool same = false;
  std::optional<Text> refusal;
  KeptFor keptFor = KeptFor::kNothing;
  std::optional<Text> told;
  size_t line = 0;
  Why why = Why::kWide;
  std::string detail;
};

// Judges `text`, the file's bytes as read, for `mode`: the server's rules, the
// markers, the encoding, the size limit. The new text's pieces point into `text`.
// Throws std::bad_alloc when memory runs out.
Verdict Judge(Mode mode, std::string_view text);

// What a run does after a verdict without refusal: whether the file changes, a
// backup is made first (none exists), and the change is published (not in check).
struct Plan {
  bool change = false;
  bool backUp = false;
  bool publish = false;
};
Plan Decide(Mode mode, const Verdict& verdict, bool backupExists);
