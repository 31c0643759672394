#pragma once

#include <string>
#include <string_view>

#include "script/rewrite.h"

// Whether `rebuilt` may be published in place of `text`, the bytes it was rebuilt
// from. A conforming XML parser reads both texts without an error up to the end of
// the last change (a "\r" added before a line feed, or a line end added to the
// last line, is no change) and stands there in both at the same place: between
// markup, with the same elements open and the root element seen in both or in
// neither, so the rest of the file reads alike. An inserted section must be
// declared in <configuration><configSections><sectionGroup name="system.webServer">,
// and be the group's only declaration of Quellmark. Every dropped line, trimmed of
// spaces and tabs, must be one this tool writes: a marker line that is one
// comment, or a blank line or one empty-element tag that declares the section.
// Only that much of each text is parsed (on install, on to the group's end); with a
// document type declaration, which may declare entities, the whole new text.
// Throws std::bad_alloc when the parser runs out of memory.
bool ChangeIsSafe(std::string_view text, const RebuiltScript& rebuilt);

// How many times the group <configuration><configSections><sectionGroup
// name="system.webServer"> of `rebuilt` declares the section. Parses as far as
// the group's end, or the first well-formedness error.
int SectionDeclarations(const RebuiltScript& rebuilt);

// Whether the new text still holds settings of the section (an element Quellmark
// in a system.webServer element) that its group no longer declares: the web
// server would refuse the whole file. Parses the whole new text.
bool LeavesSettingsUndeclared(const RebuiltScript& rebuilt);

// Reads `text`, a redirection.config: `shared` becomes the `path` of an enabled
// <configurationRedirection> in <configuration> (enabled="true", in any case), the
// file the web server reads instead of its own, and is empty without one. False
// when the text is not well-formed.
bool ReadRedirection(std::string_view text, std::string& shared);

// The parser linked in, as "expat 2.8.3".
std::string ParserVersion();
