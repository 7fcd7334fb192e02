// Content model of a hive: keys, values, case-insensitive lookup.
#include "platform/hive.h"

#include "platform/text.h"

namespace qrn::platform {

std::string_view NormalizeKeyPath(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return path;
}

const RegFileValue* HiveKey::FindValue(std::string_view name) const {
  for (const RegFileValue& value : values) {
    if (EqualsNoCase(value.name, name)) return &value;
  }
  return nullptr;
}

bool HiveKey::Apply(const RegFileValue& value) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (!EqualsNoCase(it->name, value.name)) continue;
    if (value.remove) {
      values.erase(it);
    } else {
      it->type = value.type;
      it->data = value.data;
    }
    return true;
  }
  if (value.remove) return false;
  values.push_back(value);
  return true;
}

HiveData HiveData::FromFile(const RegFile& file, RegHive hive) {
  HiveData data;
  for (const RegFileKey& section : file.keys) {
    RegHive section_hive;
    std::string_view rest;
    if (SplitHiveRoot(section.path, &section_hive, &rest) && section_hive == hive) {
      data.ApplySection(NormalizeKeyPath(rest), section);
    } else {
      data.foreign.push_back(section);
    }
  }
  return data;
}

RegFile HiveData::ToFile(RegHive hive) const {
  RegFile file;
  file.keys.reserve(keys.size() + foreign.size());
  for (const HiveKey& key : keys) {
    RegFileKey section;
    section.path = HiveRootName(hive);
    if (!key.path.empty()) {
      section.path.push_back('\\');
      section.path.append(key.path);
    }
    section.values = key.values;
    file.keys.push_back(std::move(section));
  }
  for (const RegFileKey& section : foreign) file.keys.push_back(section);
  return file;
}

const HiveKey* HiveData::Find(const std::string& folded_path) const {
  const auto it = index.find(folded_path);
  return it == index.end() ? nullptr : &keys[it->second];
}

HiveKey* HiveData::Find(const std::string& folded_path) {
  const auto it = index.find(folded_path);
  return it == index.end() ? nullptr : &keys[it->second];
}

bool HiveData::Exists(const std::string& folded_path) const {
  if (folded_path.empty() || index.count(folded_path) != 0) return true;
  for (const auto& [folded, position] : index) {
    if (folded.size() > folded_path.size() && folded[folded_path.size()] == '\\' &&
        folded.compare(0, folded_path.size(), folded_path) == 0) {
      return true;
    }
  }
  return false;
}

HiveKey* HiveData::FindOrAdd(std::string_view path) {
  std::string folded = FoldCase(path);
  const auto it = index.find(folded);
  if (it != index.end()) return &keys[it->second];
  index.emplace(std::move(folded), keys.size());
  keys.push_back(HiveKey{std::string(path), {}});
  return &keys.back();
}

void HiveData::Remove(std::string_view path) {
  const std::string folded = FoldCase(path);
  std::vector<HiveKey> kept;
  kept.reserve(keys.size());
  for (HiveKey& key : keys) {
    const std::string key_folded = FoldCase(key.path);
    const bool below = folded.empty() || key_folded == folded ||
                       (key_folded.size() > folded.size() && key_folded[folded.size()] == '\\' &&
                        key_folded.compare(0, folded.size(), folded) == 0);
    if (!below) kept.push_back(std::move(key));
  }
  keys = std::move(kept);
  Reindex();
}

void HiveData::ApplySection(std::string_view path, const RegFileKey& section) {
  if (section.remove) {
    Remove(path);
    return;
  }
  HiveKey* key = FindOrAdd(path);
  for (const RegFileValue& value : section.values) key->Apply(value);
}

void HiveData::Reindex() {
  index.clear();
  for (size_t i = 0; i < keys.size(); ++i) index.emplace(FoldCase(keys[i].path), i);
}

}  // namespace qrn::platform
