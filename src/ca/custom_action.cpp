// The Windows Installer custom actions: a run of the library inside the installer,
// its lines in the installer's log, a failure in its error dialog.
#include <windows.h>
// After windows.h:
#include <msi.h>
#include <msiquery.h>

#include <exception>
#include <string>
#include <string_view>

#include "config/file_system.h"
#include "config/run.h"
#include "config/text_win32.h"

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

// Hands `text` to the installer as a message of `kind`.
void Tell(MSIHANDLE install, std::string_view text, INSTALLMESSAGE kind) {
  PMSIHANDLE record = MsiCreateRecord(0);
  MsiRecordSetStringW(record, 0, Escaped(win32::Utf16(text)).c_str());
  MsiProcessMessage(install, kind, record);
}

// The texts of `outcome` on `path` as the log and the dialog show them: the
// not-found words in English, since a log in another code page would garble the GBK
// bytes that standard output has.
std::string TextsOf(const Outcome& outcome, const std::string& path) {
  return RenderTexts(outcome.texts, path, outcome.sharedFile, NotFoundWords::kEnglish);
}

// What a run on `path` did, in one line for the log; empty after a failure, whose
// reason the log already holds.
std::string WhatItDid(Mode mode, const Outcome& outcome, const std::string& path) {
  const bool removal = IsRemoval(mode);
  if (outcome.status == Status::kKept) return RenderLogged(Logged::kKept, path);
  if (outcome.status == Status::kWouldChange)
    return RenderLogged(removal ? Logged::kWillRemove : Logged::kWillRegister, path);
  if (outcome.status != Status::kDone) return "";
  if (outcome.keptFor == KeptFor::kHandDeclaration)
    return RenderLogged(removal ? Logged::kLeftByHand : Logged::kAdopted, path);
  if (outcome.written)
    return RenderLogged(outcome.backupMade ? Logged::kWrittenBackedUp : Logged::kWrittenBackupKept,
                        path, outcome.backup);
  return RenderLogged(mode == Mode::kCheckRemoval ? Logged::kNothingToRemove : Logged::kUnchanged,
                      path);
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

// Runs `step` on the file `path`, its outcome's lines in the log, a failure's with
// its status; no exception leaves it, which would end the installer's process.
template <typename Step>
Outcome LogOutcome(MSIHANDLE install, const std::string& path, Step step) {
  Outcome outcome;
  try {
    outcome = step();
  } catch (const std::exception& failure) {
    Tell(install, std::string(kPrefix) + failure.what(), INSTALLMESSAGE_INFO);
    Reason reason(path);
    reason.message = failure.what();
    reason.remedy = Status::kFailed;
    outcome = {Status::kFailed, {}, std::move(reason)};
  }
  const int status = static_cast<int>(outcome.status);
  if (const std::string texts = TextsOf(outcome, path); !texts.empty())
    Tell(install, texts, INSTALLMESSAGE_INFO);
  if (const std::string reason = RenderReason(outcome.reason); !reason.empty())
    Tell(install,
         std::string(kReasonPrefix) + reason +
             (status == 0 ? "" : " (status " + std::to_string(status) + ")"),
         INSTALLMESSAGE_INFO);
  return outcome;
}

// Runs `mode` on `path`, every line it prints in the log; another program holding
// the file (Status::kInUse) is waited for a few times. The deferred steps keep what
// they replace for the transaction's rollback.
Outcome Act(MSIHANDLE install, Mode mode, const std::string& path) {
  const bool deferred = mode == Mode::kInstall || mode == Mode::kRemove;
  const Reporter report = [install](std::string_view text) {
    Tell(install, text, INSTALLMESSAGE_INFO);
  };
  Outcome outcome;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (attempt > 0) Sleep(5000);
    outcome = LogOutcome(install, path,
                         [&] { return Run(*NewSystemFileSystem(), mode, path, report, deferred); });
    if (outcome.status != Status::kInUse || mode == Mode::kCheck) break;
  }
  if (const std::string line = WhatItDid(mode, outcome, path); !line.empty())
    Tell(install, line, INSTALLMESSAGE_INFO);
  return outcome;
}

// A failure ends the installation with the tool's text and reason in the error
// dialog, which a quiet installation answers at once.
UINT Fail(MSIHANDLE install, const Outcome& outcome, const std::string& path) {
  Tell(install, TextsOf(outcome, path) + "\n" + RenderReason(outcome.reason),
       INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR));
  return ERROR_INSTALL_FAILURE;
}

// The rollback of a deferred step: the bytes it replaced put back, where the file
// still holds what it wrote. A rollback never fails: it logs what it could not do.
UINT RollBack(MSIHANDLE install, const std::string& path) {
  const Outcome outcome =
      LogOutcome(install, path, [&] { return Undo(*NewSystemFileSystem(), path); });
  if (outcome.status == Status::kDone && RenderReason(outcome.reason).empty())
    Tell(install,
         RenderLogged(outcome.written ? Logged::kRolledBack : Logged::kNothingToRollBack, path),
         INSTALLMESSAGE_INFO);
  return ERROR_SUCCESS;
}

// Runs `step` on the file of a deferred, rollback or commit action `action` (its
// entry point): its CustomActionData, the only property such an action may read. Run
// outside the script (wixl schedules rollback and commit actions as immediate ones),
// it logs so and does nothing; without data (an Id other than `action`, which
// QuellmarkCheck fills) it logs that and fails; run as a rollback, it is the
// rollback, whatever step it names (as packages before QuellmarkRollback had it).
template <typename Step>
UINT InScript(MSIHANDLE install, const char* action, Step step) {
  Tell(install, RenderLogged(Logged::kVersion, "", QUELLMARK_VERSION), INSTALLMESSAGE_INFO);
  const bool scheduled = MsiGetMode(install, MSIRUNMODE_SCHEDULED) ||
                         MsiGetMode(install, MSIRUNMODE_ROLLBACK) ||
                         MsiGetMode(install, MSIRUNMODE_COMMIT);
  const std::string path = win32::Utf8(Property(install, L"CustomActionData"));
  if (!scheduled || path.empty())
    Tell(install,
         RenderLogged(scheduled ? Logged::kNoActionData : Logged::kScheduledImmediate, "", action),
         INSTALLMESSAGE_INFO);
  if (!scheduled) return ERROR_SUCCESS;
  if (path.empty()) return ERROR_INSTALL_FAILURE;
  return MsiGetMode(install, MSIRUNMODE_ROLLBACK) ? RollBack(install, path) : step(path);
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
  Tell(install, RenderLogged(Logged::kVersion, "", QUELLMARK_VERSION), INSTALLMESSAGE_INFO);
  MsiSetPropertyW(install, L"QUELLMARK_FILE", path.c_str());
  // The actions' fixed Ids, and the two rollback Ids that packages before
  // QuellmarkRollback gave their rollback actions.
  for (const wchar_t* action :
       {L"QuellmarkRegister", L"QuellmarkUnregister", L"QuellmarkRollback", L"QuellmarkCommit",
        L"QuellmarkRollbackRegister", L"QuellmarkRollbackUnregister"})
    MsiSetPropertyW(install, action, path.c_str());
  // The removal's pre-flight says in the log what the removal will do; it never fails.
  if (Property(install, L"REMOVE") == L"ALL") {
    Act(install, Mode::kCheckRemoval, win32::Utf8(path));
    return ERROR_SUCCESS;
  }
  const Outcome outcome = Act(install, Mode::kCheck, win32::Utf8(path));
  switch (outcome.status) {
    case Status::kDone:
    case Status::kWouldChange:
      return ERROR_SUCCESS;
    case Status::kShared:
      MsiSetPropertyW(install, L"QUELLMARK_SHARED_CONFIG", L"1");
      Tell(install, RenderLogged(Logged::kFarmNodeChecked, ""), INSTALLMESSAGE_INFO);
      return ERROR_SUCCESS;
    case Status::kDenied:
      Tell(install, RenderLogged(Logged::kUserMayNotRead, ""), INSTALLMESSAGE_INFO);
      return ERROR_SUCCESS;
    case Status::kRefused:
    case Status::kArgumentError:
    case Status::kNotFound:
    case Status::kInUse:
    case Status::kFailed:
    case Status::kKept:
      break;
  }
  return Fail(install, outcome, win32::Utf8(path));
}

// Deferred, as the system: registers the section, keeping what it replaced for the
// rollback. A farm node is skipped. Run as a rollback action (as packages before
// QuellmarkRollback scheduled it), it is that rollback.
extern "C" __declspec(dllexport) UINT __stdcall QuellmarkRegister(MSIHANDLE install) {
  return InScript(install, "QuellmarkRegister", [install](const std::string& path) {
    const Outcome outcome = Act(install, Mode::kInstall, path);
    if (outcome.status == Status::kShared) {
      Tell(install, RenderLogged(Logged::kFarmNodeSkipped, ""), INSTALLMESSAGE_INFO);
      return UINT{ERROR_SUCCESS};
    }
    return outcome.status == Status::kDone ? UINT{ERROR_SUCCESS} : Fail(install, outcome, path);
  });
}

// Deferred, as the system: removes the section, keeping what it replaced for the
// rollback. A missing file or a farm node has nothing to remove. The product's
// removal never fails for what the configuration file holds (Windows Installer's
// rule: a removal must not fail for what an administrator did after installing):
// any other outcome is a warning, in the dialog of a full interface and in the log,
// with what to do once the product is gone.
extern "C" __declspec(dllexport) UINT __stdcall QuellmarkUnregister(MSIHANDLE install) {
  return InScript(install, "QuellmarkUnregister", [install](const std::string& path) {
    const Outcome outcome = Act(install, Mode::kRemove, path);
    if (outcome.status != Status::kDone)
      Tell(install, RenderStays(path, outcome.status, outcome.block.first, outcome.block.second),
           INSTALLMESSAGE_WARNING);
    return UINT{ERROR_SUCCESS};
  });
}

// Rollback, as the system, before the registration and the removal in the script:
// puts back what either replaced in this transaction.
extern "C" __declspec(dllexport) UINT __stdcall QuellmarkRollback(MSIHANDLE install) {
  return InScript(install, "QuellmarkRollback",
                  [install](const std::string& path) { return RollBack(install, path); });
}

// Commit, as the system: the transaction is done, and what it kept for its rollback
// goes.
extern "C" __declspec(dllexport) UINT __stdcall QuellmarkCommit(MSIHANDLE install) {
  return InScript(install, "QuellmarkCommit", [install](const std::string& path) {
    LogOutcome(install, path, [&] { return Commit(*NewSystemFileSystem(), path); });
    return UINT{ERROR_SUCCESS};
  });
}
