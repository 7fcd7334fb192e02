// The security function table on GSSAPI with the NTLMSSP mechanism.
//
// Handles are ids into process-wide tables (checked before the mechanism
// sees anything, so a stale or foreign handle is SEC_E_INVALID_HANDLE).
// Every incoming token passes the NTLM guard first. Outbound credentials
// with a password are handed to the mechanism as the NT hash (the mechanism
// leaks memory whenever it hashes a password itself, and a service that
// checks passwords all day must not grow). Mechanism calls run under a UTF-8 locale of
// the calling thread, whatever the host set with setlocale, so that non-ASCII
// names match.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <locale.h>
#include <openssl/crypto.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/nt_hash.h"
#include "platform/ntlm_token_guard.h"
#include "platform/sspi.h"
#include "platform/sspi_impersonate.h"
#include "platform/text.h"

namespace qrn::platform {
namespace {

gss_OID_desc kNtlmOid = {10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};
gss_OID_set_desc kNtlmOidSet = {1, &kNtlmOid};

// gss_init_sec_context needs a target; NTLM does not use it.
constexpr char kTargetService[] = "qrnauth@localhost";
// The mechanism's "Failed to decode data".
constexpr OM_uint32 kMinorDecode = 0x4E540001;
// Bound of user, domain and password of an explicit identity, in bytes.
constexpr size_t kMaxIdentityText = 256;

constexpr uintptr_t kCredTag = 0x51524E43;     // "QRNC"
constexpr uintptr_t kContextTag = 0x51524E58;  // "QRNX"

class Utf8LocaleScope {
 public:
  Utf8LocaleScope() {
    static locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 != nullptr) previous_ = uselocale(utf8);
  }
  ~Utf8LocaleScope() {
    if (previous_ != nullptr) uselocale(previous_);
  }
  Utf8LocaleScope(const Utf8LocaleScope&) = delete;
  Utf8LocaleScope& operator=(const Utf8LocaleScope&) = delete;

 private:
  locale_t previous_ = nullptr;
};

void WipeString(std::string* s) {
  if (!s->empty()) OPENSSL_cleanse(s->data(), s->size());
  s->clear();
}

struct GssCredential {
  gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
  bool inbound = false;
  std::string name;  // outbound: "DOMAIN\user" or "user"; empty for the current logon
  ~GssCredential() {
    OM_uint32 minor;
    if (cred != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &cred);
  }
};

struct Context {
  gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
  std::shared_ptr<GssCredential> credential;
  bool inbound = false;
  bool complete = false;
  bool client_sent_version = true;  // acceptor: the NEGOTIATE set "version present"
  std::string peer;                 // acceptor: the client, once accepted
  ~Context() {
    OM_uint32 minor;
    if (ctx != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &ctx, GSS_C_NO_BUFFER);
  }
};

// Process-wide handle tables. Never destroyed: hosts may release handles
// from their own static destructors.
struct Tables {
  std::mutex lock;
  uintptr_t next_id = 1;
  std::unordered_map<uintptr_t, std::shared_ptr<GssCredential>> credentials;
  std::unordered_map<uintptr_t, std::shared_ptr<Context>> contexts;
  std::shared_ptr<GssCredential> acceptor;
};

Tables& T() {
  static Tables* tables = new Tables;
  return *tables;
}

bool MechanismAvailable() {
  static const bool available = [] {
    Utf8LocaleScope locale;
    OM_uint32 minor;
    gss_OID_set mechs = GSS_C_NO_OID_SET;
    if (GSS_ERROR(gss_indicate_mechs(&minor, &mechs)) || mechs == GSS_C_NO_OID_SET) return false;
    int present = 0;
    gss_test_oid_set_member(&minor, &kNtlmOid, mechs, &present);
    gss_release_oid_set(&minor, &mechs);
    return present != 0;
  }();
  return available;
}

std::string MinorText(OM_uint32 minor) {
  OM_uint32 m2, more = 0;
  gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
  std::string out;
  if (!GSS_ERROR(gss_display_status(&m2, minor, GSS_C_MECH_CODE, &kNtlmOid, &more, &text))) {
    out.assign(static_cast<const char*>(text.value), text.length);
  }
  gss_release_buffer(&m2, &text);
  return out;
}

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

SECURITY_STATUS MapStatus(OM_uint32 major, OM_uint32 minor) {
  if (major == GSS_S_COMPLETE) return SEC_E_OK;
  if (major == GSS_S_CONTINUE_NEEDED) return SEC_I_CONTINUE_NEEDED;
  switch (GSS_ROUTINE_ERROR(major)) {
    case GSS_S_DEFECTIVE_TOKEN:
    case GSS_S_NO_CONTEXT:
      return SEC_E_INVALID_TOKEN;
    case GSS_S_NO_CRED:
    case GSS_S_DEFECTIVE_CREDENTIAL:
    case GSS_S_CREDENTIALS_EXPIRED:
      return SEC_E_INVALID_HANDLE;
    case GSS_S_FAILURE: {
      // Wrong password; user not in the account source; account source
      // without that user (an empty domain matches no entry).
      if (minor == EINVAL || minor == EACCES || minor == ENOENT) return SEC_E_LOGON_DENIED;
      if (minor == kMinorDecode) return SEC_E_INVALID_TOKEN;
      std::string text = MinorText(minor);
      // A NEGOTIATE whose flags leave nothing in common (no flags at all)
      // is a token the acceptor cannot use, not a fault of its own.
      if (Contains(text, "decode") || Contains(text, "Wrong message type") ||
          Contains(text, "missing token") || Contains(text, "common set of flags") ||
          Contains(text, "combinations of negotiate flags")) {
        return SEC_E_INVALID_TOKEN;
      }
      if (Contains(text, "NTLM version 1 not allowed") || Contains(text, "clocks are too far") ||
          Contains(text, "User not found")) {
        return SEC_E_LOGON_DENIED;
      }
      return SEC_E_INTERNAL_ERROR;
    }
    default:
      return SEC_E_INTERNAL_ERROR;
  }
}

// The mechanism reads the user file named by NTLM_USER_FILE on every
// attempt, with a blocking open: a FIFO (or a device, a directory) would
// hang the check or feed it endless input. Only a regular file, or no file
// named at all (winbind), may be read. The mechanism reads the whole file
// on every attempt, so it is bounded too.
constexpr off_t kMaxUserFileBytes = 16 * 1024 * 1024;

bool UserFileReadable() {
  const char* path = getenv("NTLM_USER_FILE");
  if (path == nullptr || *path == '\0') return true;
  struct stat st;
  if (stat(path, &st) != 0) return errno == ENOENT;  // missing: the mechanism finds no user
  return S_ISREG(st.st_mode) && st.st_size <= kMaxUserFileBytes;
}

bool IsOurs(const SecHandle* h, uintptr_t tag) { return h != nullptr && h->dwUpper == tag; }

std::shared_ptr<GssCredential> FindCredential(const CredHandle* h) {
  if (!IsOurs(h, kCredTag)) return nullptr;
  std::lock_guard<std::mutex> guard(T().lock);
  auto it = T().credentials.find(h->dwLower);
  return it == T().credentials.end() ? nullptr : it->second;
}

std::shared_ptr<Context> FindContext(const CtxtHandle* h) {
  if (!IsOurs(h, kContextTag)) return nullptr;
  std::lock_guard<std::mutex> guard(T().lock);
  auto it = T().contexts.find(h->dwLower);
  return it == T().contexts.end() ? nullptr : it->second;
}

SecHandle IssueCredential(std::shared_ptr<GssCredential> cred) {
  std::lock_guard<std::mutex> guard(T().lock);
  uintptr_t id = T().next_id++;
  T().credentials.emplace(id, std::move(cred));
  return {id, kCredTag};
}

SecHandle IssueContext(std::shared_ptr<Context> ctx) {
  std::lock_guard<std::mutex> guard(T().lock);
  uintptr_t id = T().next_id++;
  T().contexts.emplace(id, std::move(ctx));
  return {id, kContextTag};
}

// The first token buffer of a descriptor, or null.
SecBuffer* TokenBuffer(SecBufferDesc* desc) {
  if (desc == nullptr || desc->pBuffers == nullptr) return nullptr;
  for (uint32_t i = 0; i < desc->cBuffers; ++i) {
    if ((desc->pBuffers[i].BufferType & 0xFFFF) == SECBUFFER_TOKEN) return &desc->pBuffers[i];
  }
  return nullptr;
}

// Copies the mechanism's output into the caller's buffer.
SECURITY_STATUS DeliverToken(gss_buffer_desc* produced, SecBuffer* out) {
  OM_uint32 minor;
  SECURITY_STATUS status = SEC_E_OK;
  if (produced->length > out->cbBuffer || (produced->length > 0 && out->pvBuffer == nullptr)) {
    status = SEC_E_BUFFER_TOO_SMALL;
  } else {
    if (produced->length > 0) std::memcpy(out->pvBuffer, produced->value, produced->length);
    out->cbBuffer = static_cast<uint32_t>(produced->length);
  }
  gss_release_buffer(&minor, produced);
  return status;
}

// Reads an explicit identity into UTF-8 texts. False when its form is
// unknown, a text is not valid, or a text is longer than the bound.
bool ReadIdentity(const SEC_WINNT_AUTH_IDENTITY_A* id, std::string* user, std::string* domain,
                  std::string* password) {
  auto read = [id](const unsigned char* p, uint32_t length, std::string* out) {
    if (length == 0 || p == nullptr) return true;
    if (id->Flags == SEC_WINNT_AUTH_IDENTITY_ANSI) {
      if (length > kMaxIdentityText) return false;
      out->assign(reinterpret_cast<const char*>(p), length);
      return true;
    }
    std::u16string wide(length, u'\0');
    std::memcpy(wide.data(), p, length * sizeof(char16_t));
    bool ok = Utf16ToUtf8Strict(wide, out) && out->size() <= kMaxIdentityText;
    std::fill(wide.begin(), wide.end(), u'\0');
    return ok;
  };
  if (id->Flags != SEC_WINNT_AUTH_IDENTITY_ANSI && id->Flags != SEC_WINNT_AUTH_IDENTITY_UNICODE) {
    return false;
  }
  return read(id->User, id->UserLength, user) && read(id->Domain, id->DomainLength, domain) &&
         read(id->Password, id->PasswordLength, password);
}

SECURITY_STATUS AcquireOutbound(void* auth_data, std::shared_ptr<GssCredential>* result) {
  Utf8LocaleScope locale;
  OM_uint32 minor;
  auto cred = std::make_shared<GssCredential>();
  if (auth_data == nullptr) {
    // The current logon: whatever the mechanism finds for this process.
    if (GSS_ERROR(gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &kNtlmOidSet,
                                   GSS_C_INITIATE, &cred->cred, nullptr, nullptr))) {
      return SEC_E_NO_CREDENTIALS;
    }
    *result = std::move(cred);
    return SEC_E_OK;
  }
  std::string user, domain, password;
  bool readable =
      ReadIdentity(static_cast<SEC_WINNT_AUTH_IDENTITY_A*>(auth_data), &user, &domain, &password);
  // An explicit identity without a user name is refused, never taken as the
  // current logon: the mechanism's default credentials would stand in for
  // whoever typed the password.
  if (!readable || user.empty()) {
    WipeString(&password);
    return SEC_E_UNKNOWN_CREDENTIALS;
  }
  // The mechanism gets the NT hash, not the password: its own password
  // hashing leaks memory on every call, so a client that tries a new
  // password each time would grow without bound.
  uint8_t hash[kNtHashSize];
  bool hashed = ComputeNtHash(password, hash);
  WipeString(&password);
  if (!hashed) return SEC_E_UNKNOWN_CREDENTIALS;
  char hex[2 * kNtHashSize + 1];
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < kNtHashSize; ++i) {
    hex[2 * i] = kDigits[hash[i] >> 4];
    hex[2 * i + 1] = kDigits[hash[i] & 0xF];
  }
  hex[2 * kNtHashSize] = '\0';
  OPENSSL_cleanse(hash, sizeof hash);

  cred->name = domain.empty() ? user : domain + "\\" + user;
  gss_buffer_desc name_text = {cred->name.size(), cred->name.data()};
  gss_name_t name = GSS_C_NO_NAME;
  gss_key_value_element_desc elements[] = {{"ntlmssp_nthash", hex}};
  gss_key_value_set_desc store = {1, elements};
  OM_uint32 major = gss_import_name(&minor, &name_text, GSS_C_NT_USER_NAME, &name);
  if (!GSS_ERROR(major)) {
    major = gss_acquire_cred_from(&minor, name, GSS_C_INDEFINITE, &kNtlmOidSet, GSS_C_INITIATE,
                                  &store, &cred->cred, nullptr, nullptr);
  }
  if (name != GSS_C_NO_NAME) gss_release_name(&minor, &name);
  OPENSSL_cleanse(hex, sizeof hex);
  if (GSS_ERROR(major)) return SEC_E_UNKNOWN_CREDENTIALS;
  *result = std::move(cred);
  return SEC_E_OK;
}

SECURITY_STATUS AcquireInbound(std::shared_ptr<GssCredential>* result) {
  std::lock_guard<std::mutex> guard(T().lock);
  if (!T().acceptor) {
    Utf8LocaleScope locale;
    OM_uint32 minor;
    auto cred = std::make_shared<GssCredential>();
    cred->inbound = true;
    if (GSS_ERROR(gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &kNtlmOidSet,
                                   GSS_C_ACCEPT, &cred->cred, nullptr, nullptr))) {
      return SEC_E_NO_CREDENTIALS;
    }
    T().acceptor = std::move(cred);
  }
  *result = T().acceptor;
  return SEC_E_OK;
}

// ---- table operations -------------------------------------------------------

SECURITY_STATUS QueryPackageInfo(const char* package, SecPkgInfoA** info) {
  if (info == nullptr) return SEC_E_INTERNAL_ERROR;
  *info = nullptr;
  if (package == nullptr || std::strcmp(package, kNtlmPackage) != 0 || !MechanismAvailable()) {
    return SEC_E_SECPKG_NOT_FOUND;
  }
  static constexpr char kComment[] = "NTLM Security Package";
  size_t size = sizeof(SecPkgInfoA) + sizeof kNtlmPackage + sizeof kComment;
  auto* block = static_cast<SecPkgInfoA*>(std::calloc(1, size));
  if (block == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  char* text = reinterpret_cast<char*>(block + 1);
  std::memcpy(text, kNtlmPackage, sizeof kNtlmPackage);
  std::memcpy(text + sizeof kNtlmPackage, kComment, sizeof kComment);
  block->wVersion = 1;
  block->wRPCID = 10;
  block->cbMaxToken = kNtlmMaxToken;
  block->Name = text;
  block->Comment = text + sizeof kNtlmPackage;
  *info = block;
  return SEC_E_OK;
}

SECURITY_STATUS FreeBuffer(void* buffer) {
  std::free(buffer);
  return SEC_E_OK;
}

SECURITY_STATUS AcquireCredentials(const char* /*principal*/, const char* package, uint32_t use,
                                   void* /*logon_id*/, void* auth_data, void* /*get_key_fn*/,
                                   void* /*get_key_argument*/, CredHandle* credential,
                                   TimeStamp* expiry) {
  try {
    if (credential == nullptr) return SEC_E_INTERNAL_ERROR;
    if (package == nullptr || std::strcmp(package, kNtlmPackage) != 0 || !MechanismAvailable()) {
      return SEC_E_SECPKG_NOT_FOUND;
    }
    std::shared_ptr<GssCredential> cred;
    SECURITY_STATUS status;
    if (use == SECPKG_CRED_INBOUND) {
      status = AcquireInbound(&cred);
    } else if (use == SECPKG_CRED_OUTBOUND) {
      status = AcquireOutbound(auth_data, &cred);
    } else {
      return SEC_E_UNSUPPORTED_FUNCTION;
    }
    if (status != SEC_E_OK) return status;
    *credential = IssueCredential(std::move(cred));
    if (expiry != nullptr) *expiry = {0xFFFFFFFF, 0x7FFFFFFF};
    return SEC_E_OK;
  } catch (...) {
    return SEC_E_INSUFFICIENT_MEMORY;
  }
}

// Takes a handle out of its table. The object is destroyed after the lock is
// released (the declaration order of released and guard sees to that).
template <typename Table>
SECURITY_STATUS ReleaseHandle(SecHandle* handle, uintptr_t tag, Table& table) {
  if (!IsOurs(handle, tag)) return SEC_E_INVALID_HANDLE;
  typename Table::mapped_type released;
  std::lock_guard<std::mutex> guard(T().lock);
  auto it = table.find(handle->dwLower);
  if (it == table.end()) return SEC_E_INVALID_HANDLE;
  released = std::move(it->second);
  table.erase(it);
  return SEC_E_OK;
}

SECURITY_STATUS FreeCredentials(CredHandle* credential) {
  return ReleaseHandle(credential, kCredTag, T().credentials);
}

SECURITY_STATUS InitializeContext(CredHandle* credential, CtxtHandle* context,
                                  const char* /*target*/, uint32_t /*context_req*/,
                                  uint32_t /*reserved1*/, uint32_t /*data_rep*/,
                                  SecBufferDesc* input, uint32_t /*reserved2*/,
                                  CtxtHandle* new_context, SecBufferDesc* output,
                                  uint32_t* context_attr, TimeStamp* expiry) {
  try {
    std::shared_ptr<GssCredential> cred = FindCredential(credential);
    if (!cred || cred->inbound) return SEC_E_INVALID_HANDLE;
    std::shared_ptr<Context> ctx;
    if (context != nullptr) {
      ctx = FindContext(context);
      if (!ctx || ctx->inbound) return SEC_E_INVALID_HANDLE;
    }
    SecBuffer* out = TokenBuffer(output);
    if (out == nullptr || (ctx == nullptr && new_context == nullptr)) return SEC_E_INVALID_TOKEN;

    gss_buffer_desc in = GSS_C_EMPTY_BUFFER;
    if (ctx) {
      SecBuffer* token = TokenBuffer(input);
      if (token == nullptr || token->pvBuffer == nullptr || token->cbBuffer > kNtlmMaxToken ||
          !CheckNtlmChallenge(static_cast<uint8_t*>(token->pvBuffer), token->cbBuffer)) {
        return SEC_E_INVALID_TOKEN;
      }
      in = {token->cbBuffer, token->pvBuffer};
    } else {
      ctx = std::make_shared<Context>();
      ctx->credential = cred;
    }

    Utf8LocaleScope locale;
    OM_uint32 minor = 0;
    gss_name_t target = GSS_C_NO_NAME;
    gss_buffer_desc target_text = {sizeof kTargetService - 1, const_cast<char*>(kTargetService)};
    OM_uint32 major = gss_import_name(&minor, &target_text, GSS_C_NT_HOSTBASED_SERVICE, &target);
    if (GSS_ERROR(major)) return SEC_E_INTERNAL_ERROR;
    gss_buffer_desc produced = GSS_C_EMPTY_BUFFER;
    major =
        gss_init_sec_context(&minor, cred->cred, &ctx->ctx, target, &kNtlmOid, 0, 0,
                             GSS_C_NO_CHANNEL_BINDINGS, &in, nullptr, &produced, nullptr, nullptr);
    OM_uint32 m2;
    gss_release_name(&m2, &target);
    SECURITY_STATUS status = MapStatus(major, minor);
    if (status < 0) {
      gss_release_buffer(&m2, &produced);
      return status;
    }
    SECURITY_STATUS delivered = DeliverToken(&produced, out);
    if (delivered != SEC_E_OK) return delivered;
    if (status == SEC_E_OK) ctx->complete = true;
    if (context == nullptr) {
      *new_context = IssueContext(ctx);
    } else if (new_context != nullptr) {
      *new_context = *context;
    }
    if (context_attr != nullptr) *context_attr = 0;
    if (expiry != nullptr) *expiry = {0xFFFFFFFF, 0x7FFFFFFF};
    return status;
  } catch (...) {
    return SEC_E_INSUFFICIENT_MEMORY;
  }
}

SECURITY_STATUS AcceptContext(CredHandle* credential, CtxtHandle* context, SecBufferDesc* input,
                              uint32_t /*context_req*/, uint32_t /*data_rep*/,
                              CtxtHandle* new_context, SecBufferDesc* output,
                              uint32_t* context_attr, TimeStamp* expiry) {
  try {
    std::shared_ptr<GssCredential> cred = FindCredential(credential);
    if (!cred || !cred->inbound) return SEC_E_INVALID_HANDLE;
    std::shared_ptr<Context> ctx;
    if (context != nullptr) {
      ctx = FindContext(context);
      if (!ctx || !ctx->inbound) return SEC_E_INVALID_HANDLE;
    }
    SecBuffer* out = TokenBuffer(output);
    SecBuffer* token = TokenBuffer(input);
    if (out == nullptr || token == nullptr || token->pvBuffer == nullptr ||
        (ctx == nullptr && new_context == nullptr)) {
      return SEC_E_INVALID_TOKEN;
    }
    // No NTLM message is longer than the package's maximum token.
    if (token->cbBuffer > kNtlmMaxToken) return SEC_E_INVALID_TOKEN;
    const auto* bytes = static_cast<const uint8_t*>(token->pvBuffer);
    std::vector<uint8_t> negotiate;
    gss_buffer_desc in;
    if (!ctx) {
      if (!CheckNtlmNegotiate(bytes, token->cbBuffer)) return SEC_E_INVALID_TOKEN;
      ctx = std::make_shared<Context>();
      ctx->credential = cred;
      ctx->inbound = true;
      negotiate = NormalizeNtlmNegotiate(bytes, token->cbBuffer, &ctx->client_sent_version);
      in = {negotiate.size(), negotiate.data()};
    } else {
      if (ctx->complete || !CheckNtlmAuthenticate(bytes, token->cbBuffer)) {
        return SEC_E_INVALID_TOKEN;
      }
      // Nobody to verify, or an account source that cannot be read without
      // waiting for ever: the logon is denied before the mechanism looks.
      if (!NtlmAuthenticateNamesUser(bytes, token->cbBuffer) || !UserFileReadable()) {
        return SEC_E_LOGON_DENIED;
      }
      in = {token->cbBuffer, token->pvBuffer};
    }

    Utf8LocaleScope locale;
    OM_uint32 minor = 0, m2;
    gss_name_t source = GSS_C_NO_NAME;
    gss_buffer_desc produced = GSS_C_EMPTY_BUFFER;
    OM_uint32 major =
        gss_accept_sec_context(&minor, &ctx->ctx, cred->cred, &in, GSS_C_NO_CHANNEL_BINDINGS,
                               &source, nullptr, &produced, nullptr, nullptr, nullptr);
    SECURITY_STATUS status = MapStatus(major, minor);
    if (status == SEC_E_OK && source != GSS_C_NO_NAME) {
      // The client's name comes from the source name, never from the
      // target name (the mechanism fails on a credential without a name).
      gss_buffer_desc shown = GSS_C_EMPTY_BUFFER;
      if (!GSS_ERROR(gss_display_name(&m2, source, &shown, nullptr))) {
        ctx->peer.assign(static_cast<const char*>(shown.value), shown.length);
      }
      gss_release_buffer(&m2, &shown);
    }
    if (source != GSS_C_NO_NAME) gss_release_name(&m2, &source);
    if (status < 0) {
      gss_release_buffer(&m2, &produced);
      return status;
    }
    if (status == SEC_I_CONTINUE_NEEDED && !ctx->client_sent_version) {
      ClearNtlmChallengeVersion(static_cast<uint8_t*>(produced.value), produced.length);
    }
    SECURITY_STATUS delivered = DeliverToken(&produced, out);
    if (delivered != SEC_E_OK) return delivered;
    if (status == SEC_E_OK) ctx->complete = true;
    if (context == nullptr) {
      *new_context = IssueContext(ctx);
    } else if (new_context != nullptr) {
      *new_context = *context;
    }
    if (context_attr != nullptr) *context_attr = 0;
    if (expiry != nullptr) *expiry = {0xFFFFFFFF, 0x7FFFFFFF};
    return status;
  } catch (...) {
    return SEC_E_INSUFFICIENT_MEMORY;
  }
}

SECURITY_STATUS DeleteContext(CtxtHandle* context) {
  return ReleaseHandle(context, kContextTag, T().contexts);
}

SECURITY_STATUS QueryAttributes(CtxtHandle* context, uint32_t attribute, void* buffer) {
  std::shared_ptr<Context> ctx = FindContext(context);
  if (!ctx) return SEC_E_INVALID_HANDLE;
  if (attribute != SECPKG_ATTR_NAMES || buffer == nullptr) return SEC_E_UNSUPPORTED_FUNCTION;
  if (!ctx->complete) return SEC_E_INVALID_HANDLE;
  const std::string& name = ctx->inbound ? ctx->peer : ctx->credential->name;
  char* copy = static_cast<char*>(std::malloc(name.size() + 1));
  if (copy == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  std::memcpy(copy, name.c_str(), name.size() + 1);
  static_cast<SecPkgContext_NamesA*>(buffer)->sUserName = copy;
  return SEC_E_OK;
}

SECURITY_STATUS Impersonate(CtxtHandle* context) {
  std::shared_ptr<Context> ctx = FindContext(context);
  if (!ctx || !ctx->inbound || !ctx->complete) return SEC_E_INVALID_HANDLE;
  return ImpersonateAccount(ctx->peer);
}

SECURITY_STATUS Revert(CtxtHandle* context) {
  std::shared_ptr<Context> ctx = FindContext(context);
  if (!ctx || !ctx->inbound) return SEC_E_INVALID_HANDLE;
  return RevertAccount();
}

SecurityFunctionTableA gss_table = {
    1,
    QueryPackageInfo,
    FreeBuffer,
    AcquireCredentials,
    FreeCredentials,
    InitializeContext,
    AcceptContext,
    nullptr,  // CompleteAuthToken: NTLM never asks for it
    DeleteContext,
    Impersonate,
    Revert,
    QueryAttributes,
};

}  // namespace

SecurityFunctionTableA* InitSecurityInterfaceA() { return &gss_table; }

}  // namespace qrn::platform
