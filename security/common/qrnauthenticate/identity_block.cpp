#include "security/common/qrnauthenticate/identity_block.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/accounts.h"
#include "platform/shared_block.h"
#include "platform/text.h"

namespace qrn {

namespace {

constexpr char kIdentityNamePrefix[] = "/qrnauth-identity-";
constexpr char kIdentityNameVariable[] = "QRNAUTH_IDENTITY_NAME";

struct BlockState {
  IdentityBlockLayout* block = nullptr;  // the shared mapping, or null
  IdentityBlockLayout empty{};           // stands in when the object is refused
  std::string name;
};

bool UsableOverride(const std::string& name) {
  return name.size() > 1 && name.size() < 250 && name[0] == '/' &&
         name.find('/', 1) == std::string::npos;
}

// Mapped once per process, on first use.
BlockState& State() {
  static BlockState state;
  static std::once_flag once;
  std::call_once(once, [] {
    const std::string override_name = platform::EnvironmentValue(kIdentityNameVariable);
    state.name = UsableOverride(override_name)
                     ? override_name
                     : kIdentityNamePrefix + std::to_string(platform::BlockOwnerId());
    std::string error;
    void* mapped = platform::MapOwnerOnlySharedBlock(state.name, kIdentityBlockSize, &error);
    if (mapped == nullptr) {
      platform::WriteStderr("qrnauth: saved identity not shared: " + error + "\n");
      return;
    }
    state.block = static_cast<IdentityBlockLayout*>(mapped);
  });
  return state;
}

std::string ReadField(const char* field) {
  // Another process may be writing: copy first, then look for the end.
  char copy[kIdentityTextSize];
  std::memcpy(copy, field, sizeof(copy));
  std::string text(copy, strnlen(copy, sizeof(copy) - 1));
  volatile char* wipe = copy;
  for (size_t i = 0; i < sizeof(copy); ++i) wipe[i] = 0;
  return text;
}

void WriteField(char* field, const std::string& text) {
  const std::string_view cut = platform::CutAtCharBoundary(text, kIdentityTextSize - 1);
  std::memcpy(field, cut.data(), cut.size());
  std::memset(field + cut.size(), 0, kIdentityTextSize - cut.size());
}

}  // namespace

SavedIdentity::~SavedIdentity() {
  volatile char* wipe = password.data();
  for (size_t i = 0; i < password.size(); ++i) wipe[i] = 0;
}

std::string IdentityBlockName() { return State().name; }

bool IdentityBlockShared() { return State().block != nullptr; }

SavedIdentity ReadIdentityBlock() {
  BlockState& state = State();
  const IdentityBlockLayout* block = state.block != nullptr ? state.block : &state.empty;
  SavedIdentity identity;
  identity.user = ReadField(block->user);
  identity.password = ReadField(block->password);
  identity.domain = ReadField(block->domain);
  identity.os_user_mark = std::atomic_ref<uint32_t>(const_cast<uint32_t&>(block->os_user_mark))
                              .load(std::memory_order_acquire);
  return identity;
}

void WriteIdentityTexts(const std::string& user, const std::string& password,
                        const std::string& domain) {
  IdentityBlockLayout* block = State().block;
  if (block == nullptr) return;
  WriteField(block->user, user);
  WriteField(block->password, password);
  WriteField(block->domain, domain);
}

void WriteOsUserMark(uint32_t mark) {
  IdentityBlockLayout* block = State().block;
  if (block == nullptr) return;
  std::atomic_ref<uint32_t>(block->os_user_mark).store(mark, std::memory_order_release);
}

}  // namespace qrn
