// Checks properties of the rewrite on every input, beyond not crashing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "script/rewrite.h"

namespace {

std::string Join(const RebuiltScript& rebuilt) {
  std::string text;
  for (std::string_view piece : rebuilt.pieces) text.append(piece);
  return text;
}

void Require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

// Lines as the tool reads them: ended by "\n", a "\r" before it belonging to the line end.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t feed = text.find('\n');
    std::string_view line = text.substr(0, feed);
    text.remove_prefix(feed == std::string_view::npos ? text.size() : feed + 1);
    if (feed != std::string_view::npos && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const RebuiltScript rebuilt = RebuildScriptText(input);
  const std::string output = Join(rebuilt);

  for (size_t at = output.find('\n'); at != std::string::npos; at = output.find('\n', at + 1))
    Require(at > 0 && output[at - 1] == '\r', "every output line ends with CR LF");
  Require(output.empty() || output.back() == '\n', "the output ends with a line end");

  size_t blocks = 0;
  for (size_t at = output.find(kSectionBlock); at != std::string::npos;
       at = output.find(kSectionBlock, at + 1))
    ++blocks;
  Require(blocks == (rebuilt.inserted ? 1u : 0u), "the output holds the block once when inserted");

  if (rebuilt.inserted) {
    const RebuiltScript again = RebuildScriptText(output);
    Require(again.inserted && !again.unterminated && Join(again) == output,
            "rewriting the output again gives the same output");
  }

  // Every line outside a marker block, other than the marker lines, is kept, in order.
  const std::vector<std::string_view> outputLines = Lines(output);
  size_t next = 0;
  bool inside = false;
  for (std::string_view line : Lines(input)) {
    if (line.find("QUELLMARK BEGIN") != std::string_view::npos) {
      inside = true;
    } else if (line.find("QUELLMARK END") != std::string_view::npos) {
      inside = false;
    } else if (!inside) {
      while (next < outputLines.size() && outputLines[next] != line) ++next;
      Require(next < outputLines.size(), "every line outside marker blocks is kept in order");
      ++next;
    }
  }
  return 0;
}
