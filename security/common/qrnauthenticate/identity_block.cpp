#include "security/common/qrnauthenticate/identity_block.h"

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "platform/accounts.h"
#include "platform/shared_block.h"
#include "platform/text.h"

namespace qrn {

namespace {

constexpr char kIdentityNamePrefix[] = "/qrnauth-identity-";
constexpr char kIdentityNameVariable[] = "QRNAUTH_IDENTITY_NAME";

struct BlockState {
  platform::SharedBlock block;  // unusable when the object was refused
  std::string name;
};

bool UsableOverride(const std::string& name) {
  return name.size() > 1 && name.size() < 250 && name[0] == '/' &&
         name.find('/', 1) == std::string::npos;
}

// Opened once per process, on first use.
BlockState& State() {
  static BlockState state;
  static std::once_flag once;
  std::call_once(once, [] {
    const std::string override_name = platform::EnvironmentValue(kIdentityNameVariable);
    state.name = UsableOverride(override_name)
                     ? override_name
                     : kIdentityNamePrefix + std::to_string(platform::BlockOwnerId());
    std::string error;
    if (!state.block.Open(state.name, kIdentityBlockSize, &error))
      platform::WriteStderr("qrnauth: saved identity not shared: " + error + "\n");
  });
  return state;
}

void Wipe(void* data, size_t size) {
  volatile char* wipe = static_cast<char*>(data);
  for (size_t i = 0; i < size; ++i) wipe[i] = 0;
}

std::string FieldText(const char* field) {
  return std::string(field, strnlen(field, kIdentityTextSize - 1));
}

void FillField(char* field, const std::string& text) {
  const std::string_view cut = platform::CutAtCharBoundary(text, kIdentityTextSize - 1);
  std::memcpy(field, cut.data(), cut.size());
  std::memset(field + cut.size(), 0, kIdentityTextSize - cut.size());
}

// The three texts as they lie in the block, from offset 0.
struct Texts {
  char user[kIdentityTextSize];
  char password[kIdentityTextSize];
  char domain[kIdentityTextSize];
};
static_assert(sizeof(Texts) == offsetof(IdentityBlockLayout, reserved));

void Write(std::initializer_list<platform::SharedBlock::Piece> pieces) {
  BlockState& state = State();
  if (!state.block.usable()) return;
  std::string error;
  if (!state.block.Write(pieces, &error))
    platform::WriteStderr("qrnauth: saved identity not written: " + error + "\n");
}

}  // namespace

SavedIdentity::~SavedIdentity() {
  volatile char* wipe = password.data();
  for (size_t i = 0; i < password.size(); ++i) wipe[i] = 0;
}

std::string IdentityBlockName() { return State().name; }

bool IdentityBlockShared() { return State().block.usable(); }

SavedIdentity ReadIdentityBlock() {
  BlockState& state = State();
  SavedIdentity identity;
  if (!state.block.usable()) return identity;
  IdentityBlockLayout copy;
  std::string error;
  if (!state.block.Read(&copy, sizeof copy, &error)) {
    platform::WriteStderr("qrnauth: saved identity not read: " + error + "\n");
  } else {
    identity.user = FieldText(copy.user);
    identity.password = FieldText(copy.password);
    identity.domain = FieldText(copy.domain);
    identity.os_user_mark = copy.os_user_mark;
  }
  Wipe(&copy, sizeof copy);
  return identity;
}

void WriteIdentityTexts(const std::string& user, const std::string& password,
                        const std::string& domain) {
  Texts texts;
  FillField(texts.user, user);
  FillField(texts.password, password);
  FillField(texts.domain, domain);
  Write({{0, &texts, sizeof texts}});
  Wipe(&texts, sizeof texts);
}

void WriteOsUserMark(uint32_t mark) {
  Write({{offsetof(IdentityBlockLayout, os_user_mark), &mark, sizeof mark}});
}

void WriteIdentity(const std::string& user, const std::string& password,
                   const std::string& domain, uint32_t mark) {
  Texts texts;
  FillField(texts.user, user);
  FillField(texts.password, password);
  FillField(texts.domain, domain);
  Write({{0, &texts, sizeof texts},
         {offsetof(IdentityBlockLayout, os_user_mark), &mark, sizeof mark}});
  Wipe(&texts, sizeof texts);
}

}  // namespace qrn
