// Security descriptors on Windows: privileges, the file's security read, and the
// security a new file is created with and verified to have.
#include <cstring>

#include "config/platform_win32.h"

namespace win32 {

// Reads `what` of the security of `file` into `security`, with the label, and the
// scope and resource attributes where the system has them (Windows 8 and later):
// READ_CONTROL reads all of them, the SACL takes ACCESS_SYSTEM_SECURITY.
DWORD ReadSecurity(HANDLE file, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR& security) {
  DWORD error = ERROR_SUCCESS;
  for (SECURITY_INFORMATION more :
       {SECURITY_INFORMATION{LABEL_SECURITY_INFORMATION | SCOPE_SECURITY_INFORMATION |
                             ATTRIBUTE_SECURITY_INFORMATION},
        SECURITY_INFORMATION{LABEL_SECURITY_INFORMATION}}) {
    error = GetSecurityInfo(file, SE_FILE_OBJECT, what | more, nullptr, nullptr, nullptr, nullptr,
                            &security);
    if (error == ERROR_SUCCESS) return error;
  }
  security = nullptr;
  return error;
}

Privilege::Privilege(const wchar_t* name) {
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token_))
    return;
  TOKEN_PRIVILEGES wanted = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
  DWORD size;
  // Succeeds with ERROR_NOT_ALL_ASSIGNED when the token lacks the privilege.
  enabled_ = LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid) &&
             AdjustTokenPrivileges(token_, FALSE, &wanted, sizeof before_, &before_, &size) &&
             GetLastError() == ERROR_SUCCESS;
}

Privilege::~Privilege() {
  const DWORD error = GetLastError();
  // `before_` lists the privilege only when this enabled it.
  if (enabled_) AdjustTokenPrivileges(token_, FALSE, &before_, 0, nullptr, nullptr);
  if (token_) CloseHandle(token_);
  SetLastError(error);
}

}  // namespace win32

using namespace win32;

namespace {

// Whether ACLs `a` and `b` hold the same entries, in order, byte for byte; two
// absent ACLs are the same.
bool SameAcl(const ACL* a, const ACL* b) {
  if (!a || !b) return a == b;
  if (a->AceCount != b->AceCount) return false;
  void *x, *y;
  for (DWORD i = 0; i < a->AceCount; ++i)
    if (!GetAce(const_cast<ACL*>(a), i, &x) || !GetAce(const_cast<ACL*>(b), i, &y) ||
        static_cast<ACE_HEADER*>(x)->AceSize != static_cast<ACE_HEADER*>(y)->AceSize ||
        std::memcmp(x, y, static_cast<ACE_HEADER*>(x)->AceSize) != 0)
      return false;
  return true;
}

// The audit entries of the file read, with its label and attributes, where the
// caller may read them (SeSecurityPrivilege enabled); null otherwise, or when the
// file at its name is no longer the one read.
PSECURITY_DESCRIPTOR ReadAudit(const Snapshot& read) {
  const HANDLE file = Open(read.target, READ_CONTROL | ACCESS_SYSTEM_SECURITY);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION now;
  PSECURITY_DESCRIPTOR audit = nullptr;
  if (GetFileInformationByHandle(file, &now) && SameIndex(now, read.state->info))
    ReadSecurity(file, SACL_SECURITY_INFORMATION, audit);
  CloseHandle(file);
  return audit;
}

}  // namespace

namespace win32 {

bool NewFileSecurity::Describe(const std::string& path, const Snapshot& read, bool audits) {
  const FileState& from = *read.state;
  if (!from.security) return Failed(false, from.securityError);
  if (audits) audit_.reset(ReadAudit(read));
  const PSECURITY_DESCRIPTOR saclSource = audit_ ? audit_.get() : from.security;
  BOOL present = FALSE, saclPresent = FALSE, defaulted;
  SECURITY_DESCRIPTOR_CONTROL control = 0, auditControl = 0;
  DWORD revision;
  if (!GetSecurityDescriptorDacl(from.security, &present, &dacl_, &defaulted) ||
      !GetSecurityDescriptorOwner(from.security, &owner_, &defaulted) ||
      !GetSecurityDescriptorGroup(from.security, &group_, &defaulted) ||
      !GetSecurityDescriptorControl(from.security, &control, &revision) ||
      !GetSecurityDescriptorSacl(saclSource, &saclPresent, &sacl_, &defaulted) ||
      !GetSecurityDescriptorControl(saclSource, &auditControl, &revision) ||
      !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION))
    return Failed(false);
  if (!present) dacl_ = nullptr;
  if (!saclPresent || (sacl_ && sacl_->AceCount == 0)) sacl_ = nullptr;
  if (dacl_ && !SameFolder(path, false, read.target)) {
    copy_.reset(new char[dacl_->AclSize]);
    std::memcpy(copy_.get(), dacl_, dacl_->AclSize);
    dacl_ = reinterpret_cast<PACL>(copy_.get());
    void* ace;
    for (DWORD i = 0; i < dacl_->AceCount; ++i)
      if (GetAce(dacl_, i, &ace)) static_cast<ACE_HEADER*>(ace)->AceFlags &= ~INHERITED_ACE;
    control |= SE_DACL_PROTECTED;
  }
  const SECURITY_DESCRIPTOR_CONTROL daclBits = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
                                    saclBits = SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;
  return (SetSecurityDescriptorDacl(&descriptor_, present, dacl_, FALSE) &&
          (!sacl_ || SetSecurityDescriptorSacl(&descriptor_, TRUE, sacl_, FALSE)) &&
          SetSecurityDescriptorControl(
              &descriptor_, daclBits | saclBits,
              (control & daclBits) | (sacl_ ? auditControl & saclBits : 0))) ||
         Failed(false);
}

SECURITY_ATTRIBUTES* NewFileSecurity::Attributes(bool owners) {
  SetSecurityDescriptorOwner(&descriptor_, owners ? owner_ : nullptr, FALSE);
  SetSecurityDescriptorGroup(&descriptor_, owners ? group_ : nullptr, FALSE);
  return &attributes_;
}

bool NewFileSecurity::IsOn(HANDLE file) const {
  PSECURITY_DESCRIPTOR security = nullptr;
  BOOL present, defaulted;
  PACL dacl = nullptr, sacl = nullptr;
  const SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION | (Audits() ? SACL_SECURITY_INFORMATION : 0);
  const bool same =
      ReadSecurity(file, what, security) == ERROR_SUCCESS &&
      GetSecurityDescriptorDacl(security, &present, &dacl, &defaulted) && SameAcl(dacl, dacl_) &&
      (!sacl_ ||
       (GetSecurityDescriptorSacl(security, &present, &sacl, &defaulted) && SameAcl(sacl, sacl_)));
  LocalFree(security);
  return same;
}

}  // namespace win32
