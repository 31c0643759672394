#pragma once

// The web server's own rules about its configuration file, judged by an XML parser.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/rewrite.h"
#include "config/texts.h"

// A fault that a rule found: where (a byte of the text read), why, and the parser's
// words where they tell. Without a why, no fault.
struct Breach {
  size_t at = 0;
  std::optional<Why> why;
  std::string detail;
  explicit operator bool() const { return why.has_value(); }
};

// Why `rebuilt` may not be published in place of `text`, the bytes it was rebuilt
// from; no fault when it may. A conforming XML parser reads both texts without an
// error up to the end of the last change (a "\r" added before a line feed, or a
// line end added to the last line, is no change) and stands there in both at the
// same place: between markup, with the same elements open and the root element
// seen in both or in neither, so the rest of the file reads alike. An inserted
// block's section must be declared directly in <configuration><configSections>
// <sectionGroup name="system.webServer">. Every dropped line, trimmed of spaces
// and tabs, must be one this tool writes: a marker line that is one comment, or a
// blank line or one empty-element tag that declares the section. Only that much of
// each text is parsed; with a document type declaration, which may declare
// entities, the whole new text. Throws std::bad_alloc when the parser runs out of
// memory.
Breach FindChangeFault(std::string_view text, const NewText& rebuilt);

// The declarations of the section in the group <configuration><configSections>
// <sectionGroup name="system.webServer"> of `rebuilt` that are on lines copied from
// `text` (not an inserted block's), by where they are in `text`: the web server
// loads no site from a group that declares a section twice. Parses as far as the
// group's end, or the first well-formedness error.
std::vector<size_t> FindCopiedDeclarations(std::string_view text, const NewText& rebuilt);

// Settings of the section (an element Quellmark in a system.webServer element)
// that the new text holds while its group no longer declares the section: the
// web server would refuse the whole file. Parses the whole new text.
Breach FindUndeclaredSettings(std::string_view text, const NewText& rebuilt);

// Reads `text`, a redirection.config: `shared` becomes the `path` of an enabled
// <configurationRedirection> in <configuration> (enabled="true", in any case), the
// folder whose applicationHost.config the web server reads instead of its own,
// and is empty without one. A fault, where the parser stopped, when the text is
// not well-formed.
Breach ReadRedirection(std::string_view text, std::string& shared);

// Whether `name` is the web server's own configuration file's name, in any case
// (Windows compares names so): only that file is redirected to a shared one.
bool IsServerConfigurationName(std::string_view name);

// The parser linked in, as "expat 2.8.3".
std::string ParserVersion();
