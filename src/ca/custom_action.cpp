// The Windows Installer custom actions: a run of the library inside the installer,
// its lines in the installer's log, a failure in its error dialog.
#include <windows.h>
// After windows.h:
#include <msi.h>
#include <msiquery.h>

#include <exception>
#include <string>
#include <string_view>

#include "config/platform_win32.h"
#include "config/run.h"

namespace {

// `text` as Windows Installer's formatted text shows it as it is: brackets and braces
// escaped ("[\[]"), so that no part of it is read as a property or a field.
std::wstring Escaped(std::wstring_view text) {
  std::wstring escaped;
  for (const wchar_t c : text) {
    if (c == L'[' || c == L']' || c == L'{' || c == L'}')
      escaped.append(L"[\\").append(1, c).append(L"]");
    else
      escaped.append(1, c);
  }
  return escaped;
}

// Hands `text`, as the tool prints it, to the installer as a message of `kind`.
void Tell(MSIHANDLE install, std::string_view text, INSTALLMESSAGE kind) {
  PMSIHANDLE record = MsiCreateRecord(0);
  MsiRecordSetStringW(record, 0, Escaped(win32::Characters(text)).c_str());
  MsiProcessMessage(install, kind, record);
}

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  DWORD size = 0;
  wchar_t none[1] = {};
  MsiGetPropertyW(install, name, none, &size);
  std::wstring value(size, L'\0');
  ++size;
  if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return L"";
  value.resize(size);
  return value;
}

// Runs `mode` on `path`, every line it prints in the log; another program holding
// the file (Status::kInUse) is waited for a few times.
Outcome Act(MSIHANDLE install, Mode mode, const std::string& path) {
  Outcome outcome;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (attempt > 0) Sleep(5000);
    // No exception may leave an entry point: it would end the installer's process.
    try {
      outcome = Run(mode, path,
                    [install](std::string_view text) { Tell(install, text, INSTALLMESSAGE_INFO); });
    } catch (const std::exception& failure) {
      outcome = {Status::kFailed, std::string(kPrefix) + failure.what(),
                 path + ": " + failure.what() + "; run again once the cause is mended"};
    }
    if (!outcome.text.empty()) Tell(install, outcome.text, INSTALLMESSAGE_INFO);
    if (!outcome.reason.empty())
      Tell(install, std::string(kReasonPrefix) + outcome.reason, INSTALLMESSAGE_INFO);
    if (outcome.status != Status::kInUse) break;
  }
  return outcome;
}

// A failure ends the installation with the tool's text and reason in the error
// dialog, which a quiet installation answers at once.
UINT Fail(MSIHANDLE install, const Outcome& outcome) {
  Tell(install, outcome.text + "\n" + outcome.reason,
       INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR));
  return ERROR_INSTALL_FAILURE;
}

// A deferred action's file: its CustomActionData, the only property it may read.
std::string DataPath(MSIHANDLE install) {
  return win32::Utf8(Property(install, L"CustomActionData"));
}

}  // namespace

// Immediate, before the transaction: judges the file as --check does, where the
// user who started the installation may read it. A failure the install would meet
// stops the installation at once; a farm node sets QUELLMARK_SHARED_CONFIG. The
// file is the one the package remembered at its first installation
// (QUELLMARK_REGISTERED_FILE, from HKLM), else QUELLMARK_CONFIG_FILE, else the
// web server's own: a repair's command line never moves it. QUELLMARK_FILE gets it,
// for the package to remember, and the deferred actions as their CustomActionData.
extern "C" __declspec(dllexport) UINT __stdcall QuellmarkCheck(MSIHANDLE install) {
  std::wstring path = Property(install, L"QUELLMARK_REGISTERED_FILE");
  if (path.empty()) path = Property(install, L"QUELLMARK_CONFIG_FILE");
  if (path.empty())
    path = Property(install, L"System64Folder") + L"inetsrv\\config\\applicationHost.config";
  MsiSetPropertyW(install, L"QUELLMARK_FILE", path.c_str());
  for (const wchar_t* action : {L"QuellmarkRegister", L"QuellmarkRollbackRegister",
                                L"QuellmarkUnregister", L"QuellmarkRollbackUnregister"})
    MsiSetPropertyW(install, action, path.c_str());
  if (Property(install, L"REMOVE") == L"ALL") return ERROR_SUCCESS;
  const Outcome outcome = Act(install, Mode::kCheck, win32::Utf8(path));
  switch (outcome.status) {
    case Status::kDone:
    case Status::kWouldChange:
      return ERROR_SUCCESS;
    case Status::kShared:
      MsiSetPropertyW(install, L"QUELLMARK_SHARED_CONFIG", L"1");
      Tell(install, std::string(kReasonPrefix) + "a farm node: the section is not registered here",
           INSTALLMESSAGE_INFO);
      return ERROR_SUCCESS;
    case Status::kDenied:
      Tell(install,
           std::string(kReasonPrefix) +
               "this user may not read the file; the deferred action judges it",
           INSTALLMESSAGE_INFO);
      return ERROR_SUCCESS;
    default:
      return Fail(install, outcome);
  }
}

// Deferred, as the system: registers the section. A farm node is skipped.
extern "C" __declspec(dllexport) UINT __stdcall QuellmarkRegister(MSIHANDLE install) {
  const Outcome outcome = Act(install, Mode::kInstall, DataPath(install));
  if (outcome.status == Status::kShared) {
    Tell(install, std::string(kReasonPrefix) + "a farm node: registration skipped",
         INSTALLMESSAGE_INFO);
    return ERROR_SUCCESS;
  }
  return outcome.status == Status::kDone ? ERROR_SUCCESS : Fail(install, outcome);
}

// Deferred, as the system: removes the section. A missing file or a farm node has
// nothing to remove.
extern "C" __declspec(dllexport) UINT __stdcall QuellmarkUnregister(MSIHANDLE install) {
  const Outcome outcome = Act(install, Mode::kRemove, DataPath(install));
  return outcome.status == Status::kDone ? ERROR_SUCCESS : Fail(install, outcome);
}
