// Security descriptors on Windows: privileges, the file's security read, and the
// security a new file is created with and verified to have.
#include <cstring>

#include "config/platform_win32.h"
// After windows.h:
#include <sddl.h>

namespace win32 {

DWORD ReadSecurity(HANDLE file, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR& security) {
  DWORD error = ERROR_SUCCESS;
  for (SECURITY_INFORMATION more :
       {SECURITY_INFORMATION{LABEL_SECURITY_INFORMATION | SCOPE_SECURITY_INFORMATION |
                             ATTRIBUTE_SECURITY_INFORMATION},
        SECURITY_INFORMATION{LABEL_SECURITY_INFORMATION}, SECURITY_INFORMATION{0}}) {
    error = GetSecurityInfo(file, SE_FILE_OBJECT, what | more, nullptr, nullptr, nullptr, nullptr,
                            &security);
    if (error == ERROR_SUCCESS) return error;
  }
  security = nullptr;
  return error;
}

Privilege::Privilege(const wchar_t* name) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  token_ = UniqueHandle(token);
  TOKEN_PRIVILEGES wanted = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
  DWORD size;
  // Succeeds with ERROR_NOT_ALL_ASSIGNED when the token lacks the privilege.
  enabled_ = LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid) &&
             AdjustTokenPrivileges(token, FALSE, &wanted, sizeof before_, &before_, &size) &&
             GetLastError() == ERROR_SUCCESS;
}

Privilege::~Privilege() {
  const DWORD error = GetLastError();
  // `before_` lists the privilege only when this enabled it.
  if (enabled_) AdjustTokenPrivileges(token_.get(), FALSE, &before_, 0, nullptr, nullptr);
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
  const UniqueHandle file(
      OpenIn(HandleOf(*read.folder), Utf16(read.name), READ_CONTROL | ACCESS_SYSTEM_SECURITY));
  FILE_ID_INFO now;
  PSECURITY_DESCRIPTOR audit = nullptr;
  if (file && IdentityOf(file.get(), now) && SameId(now, State(read).id))
    ReadSecurity(file.get(), SACL_SECURITY_INFORMATION, audit);
  return audit;
}

}  // namespace

namespace win32 {

DWORD NewFileSecurity::Describe(const Snapshot& read, bool audits) {
  const Win32State& from = State(read);
  if (!from.security) return from.securityError;
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
    return GetLastError();
  if (!present) dacl_ = nullptr;
  if (!saclPresent || (sacl_ && sacl_->AceCount == 0)) sacl_ = nullptr;
  const SECURITY_DESCRIPTOR_CONTROL daclBits = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
                                    saclBits = SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;
  const bool described =
      SetSecurityDescriptorDacl(&descriptor_, present, dacl_, FALSE) &&
      (!sacl_ || SetSecurityDescriptorSacl(&descriptor_, TRUE, sacl_, FALSE)) &&
      SetSecurityDescriptorControl(&descriptor_, daclBits | saclBits,
                                   (control & daclBits) | (sacl_ ? auditControl & saclBits : 0));
  return described ? ERROR_SUCCESS : GetLastError();
}

PSECURITY_DESCRIPTOR NewFileSecurity::Descriptor(bool owners) {
  SetSecurityDescriptorOwner(&descriptor_, owners ? owner_ : nullptr, FALSE);
  SetSecurityDescriptorGroup(&descriptor_, owners ? group_ : nullptr, FALSE);
  return &descriptor_;
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

namespace {

// The rights that let an account add, delete or rename entries of a folder, write a
// file, or change either's owner or access list.
constexpr ACCESS_MASK kSteering = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                  DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Whether `sid` is the caller, the system, the administrators, or an account that
// holds SeImpersonatePrivilege by design and gains nothing by steering this run:
// Local Service, Network Service, a service SID (NT SERVICE\..., TrustedInstaller
// among them) or an application pool identity (IIS APPPOOL\...).
bool IsTrusted(PSID sid, PSID caller) {
  if (caller && EqualSid(sid, caller)) return true;
  for (WELL_KNOWN_SID_TYPE type :
       {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinLocalServiceSid, WinNetworkServiceSid})
    if (IsWellKnownSid(sid, type)) return true;
  const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  const PSID_IDENTIFIER_AUTHORITY authority = GetSidIdentifierAuthority(sid);
  return std::memcmp(authority, &nt, sizeof nt) == 0 && *GetSidSubAuthorityCount(sid) > 1 &&
         (*GetSidSubAuthority(sid, 0) == SECURITY_SERVICE_ID_BASE_RID ||
          *GetSidSubAuthority(sid, 0) == 82);  // SECURITY_APPPOOL_ID_BASE_RID
}

// The account's name as the system has it (DOMAIN\name), else its SID.
std::string AccountName(PSID sid) {
  wchar_t name[256], domain[256];
  DWORD nameSize = 256, domainSize = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
    return Utf8(domainSize ? std::wstring(domain) + L"\\" + name : std::wstring(name));
  wchar_t* text = nullptr;
  std::string sidText = ConvertSidToStringSidW(sid, &text) ? Utf8(text) : "an unknown account";
  LocalFree(text);
  return sidText;
}

// The SID an allowing entry grants to, or null for a kind of entry that grants none.
PSID AllowedSid(ACE_HEADER* ace) {
  switch (ace->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      return &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
      // The SID follows the object types that the flags say are present.
      auto* object = reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(ace);
      char* sid = reinterpret_cast<char*>(&object->ObjectType);
      if (object->Flags & ACE_OBJECT_TYPE_PRESENT) sid += sizeof(GUID);
      if (object->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) sid += sizeof(GUID);
      return sid;
    }
    default:
      return nullptr;
  }
}

// The user the process runs as, in `buffer`.
PSID Caller(char (&buffer)[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)]) {
  HANDLE token;
  DWORD size;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  const UniqueHandle owned(token);
  return GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)
             ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid
             : nullptr;
}

}  // namespace

namespace win32 {

// The owner may always change the access list; entries that apply to the object
// itself, not inherit-only ones, grant what they say. Deny entries are not weighed:
// a refusal too many rather than one too few.
std::string OtherWriterIn(PSECURITY_DESCRIPTOR security) {
  char buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
  const PSID caller = Caller(buffer);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted;
  if (!GetSecurityDescriptorOwner(security, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(security, &present, &dacl, &defaulted))
    return "an account that this run may not see (the access list cannot be read)";
  if (owner && !IsTrusted(owner, caller)) return AccountName(owner);
  if (!present || !dacl) return "every user (no access list)";
  void* entry;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    if (!GetAce(dacl, i, &entry)) continue;
    ACE_HEADER* const ace = static_cast<ACE_HEADER*>(entry);
    const PSID sid = AllowedSid(ace);
    const ACCESS_MASK mask = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask;
    if (sid && !(ace->AceFlags & INHERIT_ONLY_ACE) && (mask & kSteering) && !IsTrusted(sid, caller))
      return AccountName(sid);
  }
  return "";
}

}  // namespace win32
