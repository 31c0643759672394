; Installs the Quellmark module's files and registers its configuration section in the web
; server's configuration with QuellmarkInstaller.exe; removes it again at uninstall. Inno Setup
; 6.3 or later, 64-bit mode (so that {sys} is the 64-bit System32). docs/installers.md explains
; it.
#define ConfigFile "{sys}\inetsrv\config\applicationHost.config"
; On a web farm node that reads a shared configuration the tool exits with 4: the section
; belongs in the shared file, registered once from one node. 0 goes on without the
; registration (the module's files are installed), 1 stops Setup.
#define StopOnSharedConfiguration 0

[Setup]
AppId=Quellmark
AppName=Quellmark
AppVersion=1.0.0
DefaultDirName={autopf}\Quellmark
ArchitecturesAllowed=x64compatible
ArchitecturesInstallIn64BitMode=x64compatible
PrivilegesRequired=admin
DisableProgramGroupPage=yes

[Files]
; The module's schema file, from the module's own build: on disk before the declaration.
Source: "Quellmark_schema.xml"; DestDir: "{sys}\inetsrv\config\schema"
; The tool runs, elevated, from {app}, which only administrators may write, never from
; {tmp}, which the user who started Setup may (a DLL or an executable put there would run
; elevated). The last entry: once it is in place, the section is registered.
Source: "QuellmarkInstaller.exe"; DestDir: "{app}"; AfterInstall: RegisterSection

[Code]
var
  { This Setup put the section's block into a file that had none: a failure after that
    takes it back. }
  Registered: Boolean;
  { Why the tool's last run failed, and what to do: its line on standard error. }
  Reason: String;

{ Each line the tool prints goes to Setup's log (ExecAndLogOutput, Inno Setup 6.3 and later);
  its reason, the line on standard error, is kept for the message. }
procedure LogTool(const S: String; const Error, FirstLine: Boolean);
begin
  Log(S);
  if Pos('QuellmarkInstaller: ', S) = 1 then
    Reason := Copy(S, 21, Length(S));
end;

{ The tool's exit status, or -1 when it could not be started. Status 7 (another program
  holds the file, or kept changing it) is worth a retry: a few, five seconds apart. }
function RunTool(const Tool, Option: String): Integer;
var
  Status, Attempt: Integer;
begin
  for Attempt := 1 to 4 do begin
    Reason := '';
    if not ExecAndLogOutput(Tool, Option + ' "' + ExpandConstant('{#ConfigFile}') + '"', '',
                            SW_HIDE, ewWaitUntilTerminated, Status, @LogTool) then
      Status := -1;
    if Status <> 7 then
      Break;
    Sleep(5000);
  end;
  Result := Status;
end;

{ Registers the section once the tool is in {app}. An exception here, while Setup
  installs its files, ends Setup, which takes back the files it installed. Inno Setup's
  documentation does not say so in words (its list of the event functions whose exception
  ends Setup, under Abort, names CurStepChanged(ssInstall), before any file is in place):
  this relies on its source, whose file-installation step stops and rolls back on an
  exception from an entry's AfterInstall. Check it with the Inno Setup you build with: a
  configuration file without the anchor line must end Setup with nothing installed. }
procedure RegisterSection();
var
  Status, Check: Integer;
  Before: AnsiString;
  HadBlock: Boolean;
begin
  { Whether this Setup registers the section comes from the tool itself: a file with no
    block of the tool's, which --check says an install changes (3, not 0: a declaration
    made by hand is adopted as it is), and an install that succeeds. }
  HadBlock := LoadStringFromFile(ExpandConstant('{#ConfigFile}'), Before) and
              (Pos('QUELLMARK BEGIN', Before) > 0);
  Check := RunTool(ExpandConstant('{app}\QuellmarkInstaller.exe'), '--check');
  Status := RunTool(ExpandConstant('{app}\QuellmarkInstaller.exe'), '');
  Registered := (Status = 0) and (Check = 3) and not HadBlock;
  if (Status = 4) and ({#StopOnSharedConfiguration} = 0) then begin
    Registered := False;
    SuppressibleMsgBox('This server reads a shared configuration. Register the Quellmark ' +
      'section once in the shared applicationHost.config: run QuellmarkInstaller.exe on its ' +
      'path from one node. Quellmark is installed here without the registration.',
      mbInformation, MB_OK, IDOK);
  end else if Status <> 0 then begin
    Registered := False;
    RaiseException('Registering the Quellmark section failed (status ' + IntToStr(Status) +
                   '): ' + Reason);
  end;
end;

procedure CurStepChanged(CurStep: TSetupStep);
begin
  if CurStep = ssPostInstall then
    Registered := False;
end;

procedure DeinitializeSetup();
begin
  { A later step failed after the registration: a first installation takes its section
    back, with the tool while it is still in {app}. A repair or an upgrade keeps the
    section the installed version had. }
  if Registered and FileExists(ExpandConstant('{app}\QuellmarkInstaller.exe')) then
    if RunTool(ExpandConstant('{app}\QuellmarkInstaller.exe'), '--uninstall') <> 0 then
      SuppressibleMsgBox('The Quellmark section could not be taken back out of ' +
        ExpandConstant('{#ConfigFile}') + ': ' + Reason + ' Run QuellmarkInstaller.exe ' +
        '--uninstall on it by hand.', mbError, MB_OK, IDOK);
end;

procedure CurUninstallStepChanged(CurUninstallStep: TUninstallStep);
var
  Status: Integer;
begin
  { Before the files go. The module's settings still in the file keep the section (9): a
    warning, and the uninstall goes on. Any other failure stops it. }
  if CurUninstallStep = usUninstall then begin
    Status := RunTool(ExpandConstant('{app}\QuellmarkInstaller.exe'), '--uninstall');
    if Status = 9 then
      SuppressibleMsgBox('The Quellmark section stays in ' + ExpandConstant('{#ConfigFile}') +
        ' while the module''s settings use it: ' + Reason + ' Remove them, then run ' +
        'QuellmarkInstaller.exe --uninstall on the file.', mbInformation, MB_OK, IDOK)
    else if Status <> 0 then
      RaiseException('Removing the Quellmark section failed (status ' + IntToStr(Status) +
                     '): ' + Reason + ' Nothing was uninstalled.');
  end;
end;
