// The administration interface's raw access to the two hives.
#include <string>

#include "platform/registry.h"
#include "qrnauth/admin.h"

namespace qrn::admin {
namespace {

platform::RegHive ToHive(Hive hive) {
  return hive == Hive::kMachine ? platform::RegHive::LocalMachine : platform::RegHive::CurrentUser;
}

static_assert(kRegNone == platform::REG_NONE && kRegSz == platform::REG_SZ &&
              kRegExpandSz == platform::REG_EXPAND_SZ && kRegBinary == platform::REG_BINARY &&
              kRegDword == platform::REG_DWORD && kRegMultiSz == platform::REG_MULTI_SZ &&
              kRegQword == platform::REG_QWORD);
static_assert(kRegOk == platform::ERROR_SUCCESS &&
              kRegValueNotFound == platform::ERROR_FILE_NOT_FOUND &&
              kRegAccessDenied == platform::ERROR_ACCESS_DENIED &&
              kRegMalformedHive == platform::ERROR_BADDB);

}  // namespace

std::string HivePath(Hive hive) { return platform::HivePath(ToHive(hive)); }

std::string HiveReadError(Hive hive) { return platform::HiveReadError(ToHive(hive)); }

long ReadRegistryValue(Hive hive, std::string_view key, std::string_view name,
                       RegistryValue* value) {
  *value = RegistryValue();
  platform::RegistryKey opened;
  if (opened.Open(ToHive(hive), key) != platform::ERROR_SUCCESS) return kRegKeyNotFound;
  const long result = opened.QueryRaw(name, &value->type, &value->data);
  if (result != platform::ERROR_SUCCESS) *value = RegistryValue();
  return result;
}

long WriteRegistryValue(Hive hive, std::string_view key, std::string_view name,
                        const RegistryValue& value) {
  platform::RegistryKey opened;
  const long created = opened.Create(ToHive(hive), key);
  if (created != platform::ERROR_SUCCESS) return created;
  return opened.SetRaw(name, value.type, value.data.data(),
                       static_cast<uint32_t>(value.data.size()));
}

long ImportRegFile(const std::string& path, std::string* error) {
  return platform::ImportRegFile(path, error);
}

}  // namespace qrn::admin
