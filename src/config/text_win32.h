#pragma once

// Text between the tool's bytes and Windows' UTF-16, for the library's Windows layer
// and the front ends that run on Windows (the custom action).

#include <string>
#include <string_view>

namespace win32 {

// UTF-8 to UTF-16, and UTF-16 to UTF-8.
std::wstring Utf16(std::string_view text);
std::string Utf8(std::wstring_view wide);

}  // namespace win32
