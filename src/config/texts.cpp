// Every text the tool spells, in one place.
#include "config/texts.h"

std::string_view Meaning(Status status) {
  switch (status) {
    case Status::kDone:
      return "done, or nothing to do";
    case Status::kRefused:
      return "refused: the file's text is one the tool will not edit";
    case Status::kArgumentError:
      return "argument error";
    case Status::kWouldChange:
      return "check only: an install would succeed and change the file";
    case Status::kShared:
      return "shared configuration: the web server reads another file";
    case Status::kNotFound:
      return "not found: nothing at PATH";
    case Status::kDenied:
      return "access denied";
    case Status::kInUse:
      return "in use by another program, or changed by it each time";
    case Status::kFailed:
      return "any other system failure";
    case Status::kKept:
      return "uninstall only: kept, the module's settings still use the section";
  }
  return "";
}

std::string_view Remedy(Status status) {
  switch (status) {
    case Status::kRefused:
      return "mend the file there by hand, then run again";
    case Status::kNotFound:
      return "check PATH";
    case Status::kDenied:
      return "run the step elevated, or as an account that may read and replace the file and "
             "create files in its folder";
    case Status::kInUse:
      return "a later retry may succeed";
    case Status::kDone:
    case Status::kArgumentError:
    case Status::kWouldChange:
    case Status::kShared:
    case Status::kFailed:
    case Status::kKept:
      break;
  }
  return "run again once the cause is mended";
}

namespace {

// The words of `text` around PATH: before it, and after it.
struct Words {
  std::string_view before, after;
};

Words WordsOf(Text text) {
  switch (text) {
    case Text::kUpdating:
      return {"Updating startup script ", "\n "};
    case Text::kRemoving:
      return {"Removing section from startup script ", "\n "};
    case Text::kChecking:
      return {"Checking startup script ", "\n "};
    case Text::kReading:
      return {"Reading startup script ", " occur error"};
    case Text::kBackingUp:
      return {"Backing up startup script ", " occur error"};
    case Text::kWriting:
      return {"Writing startup script ", " occur error"};
    case Text::kNotFound:
      return {kNotFoundWords, ""};
    case Text::kUtf16:
      return {"Can not edit UTF-16 script ", ""};
    case Text::kNoAnchor:
      return {"Can not find system.webServer option in script ", ""};
    case Text::kNoEnd:
      return {"Can not find QUELLMARK END in script ", ""};
    case Text::kDeclared:
      return {"Section is already declared in script ", ""};
    case Text::kCannotPlace:
      return {"Can not place section in script ", ""};
    case Text::kCannotRemove:
      return {"Can not remove section from script ", ""};
    case Text::kStillUsed:
      return {"Section is still used in script ", ""};
    case Text::kUnreadableRedirection:
      return {"Can not read redirection.config beside script ", ""};
    case Text::kUntrustedFolder:
      return {"Can not trust the folder of script ", ""};
    case Text::kChanged:
      return {"Startup script ", " was changed by another program"};
    case Text::kWouldChange:
      return {"Install would change script ", ""};
  }
  return {};
}

}  // namespace

std::string Render(Text text, const std::string& path) {
  const Words words = WordsOf(text);
  return std::string(kPrefix).append(words.before).append(path).append(words.after);
}

std::string RenderShared(const std::string& shared, const std::string& path) {
  return std::string(kPrefix) + "Shared configuration: the web server reads " + shared +
         ", not script " + path;
}
