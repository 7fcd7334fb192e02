// The in-memory content of one hive: its keys (paths relative to the hive
// root, in the order they first appeared) and their values, with an index by
// case-folded path. Published snapshots are immutable; changes are made on a
// copy.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/regfile.h"
#include "platform/registry.h"

namespace qrn::platform {

struct HiveKey {
  std::string path;  // "SOFTWARE\Korvane\MVT"
  std::vector<RegFileValue> values;

  const RegFileValue* FindValue(std::string_view name) const;
  // Sets or replaces a value (a value of the same name keeps its place and
  // spelling). Returns false when remove is asked for a missing value.
  bool Apply(const RegFileValue& value);
};

struct HiveData {
  std::vector<HiveKey> keys;
  std::unordered_map<std::string, size_t> index;  // folded path -> keys[]
  // Sections of a root that is not this hive's, kept as they were read.
  std::vector<RegFileKey> foreign;
  // The file did not parse: no keys, and writes are refused.
  bool malformed = false;
  RegParseError error;

  // Builds the hive from a parsed file: sections of this hive's root are
  // applied in order, others are kept in foreign.
  static HiveData FromFile(const RegFile& file, RegHive hive);
  RegFile ToFile(RegHive hive) const;

  const HiveKey* Find(const std::string& folded_path) const;
  HiveKey* Find(const std::string& folded_path);
  // True for a key that exists or that is the parent of one (a section
  // "[A\B\C]" makes "A" and "A\B" exist too). The root always exists.
  bool Exists(const std::string& folded_path) const;
  HiveKey* FindOrAdd(std::string_view path);
  // Removes the key and everything below it.
  void Remove(std::string_view path);
  // Applies one section (its path relative to the root).
  void ApplySection(std::string_view path, const RegFileKey& section);

 private:
  void Reindex();
};

// A key path as callers give it, without leading or trailing backslashes.
std::string_view NormalizeKeyPath(std::string_view path);

}  // namespace qrn::platform
