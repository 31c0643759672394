#include <cstdio>
#include <exception>

#include "script/failure.h"
#include "script/update.h"

// Exit statuses: 0 the file was updated, 1 the update failed, 2 no path was given.
int main(int argc, char** argv) {
  if (argc < 2) {
    ReportLine("argument error.\n");
    return 2;
  }
  try {
    UpdateStartupScript(argv[1]);
    return 0;
  } catch (const ScriptFailure& failure) {
    // Written as it is: the text holds the user's path, which may hold a per-cent sign.
    std::fputs(failure.text, stdout);
  } catch (const std::exception& exception) {
    ReportLine("[QuellmarkInstaller] %s", exception.what());
  } catch (...) {
    ReportLine("[QuellmarkInstaller] unexpected failure");
  }
  return 1;
}
