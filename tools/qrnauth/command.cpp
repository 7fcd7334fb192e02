// The command registry, the argument helper and the trail printer.
#include "command.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>

#include "qrnauth/admin.h"

namespace qrn::cli {

namespace {

// Function-local so that registrations from other files' static initialisers
// never see it unconstructed.
std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> registry;
  return registry;
}

// One cell of a trail row as text.
std::string CellText(const VARIANT& cell) {
  switch (cell.vt) {
    case VT_BSTR:
      return admin::BstrToUtf8(cell.bstrVal);
    case VT_I4:
      return FormatHresult(cell.lVal);
    case VT_EMPTY:
      return {};
    default:
      return "(type " + std::to_string(cell.vt) + ")";
  }
}

}  // namespace

Arguments::Arguments(std::vector<std::string> words)
    : words_(std::move(words)), used_(words_.size(), false) {
  auto dashes = std::find(words_.begin(), words_.end(), "--");
  end_of_options_ = static_cast<size_t>(dashes - words_.begin());
  if (end_of_options_ < words_.size()) used_[end_of_options_] = true;
}

bool Arguments::IsOptionWord(size_t i) const {
  return i < end_of_options_ && words_[i].size() > 1 && words_[i][0] == '-';
}

std::optional<std::string> Arguments::Option(std::string_view name) {
  std::optional<std::string> value;
  std::string prefix = std::string(name) + "=";
  for (size_t i = 0; i < end_of_options_; ++i) {
    if (used_[i]) continue;
    const std::string& word = words_[i];
    std::optional<std::string> found;
    if (word == name) {
      if (i + 1 >= end_of_options_ || used_[i + 1]) {
        throw UsageError("option " + std::string(name) + " needs a value");
      }
      used_[i] = used_[i + 1] = true;
      found = words_[i + 1];
      ++i;
    } else if (word.compare(0, prefix.size(), prefix) == 0) {
      used_[i] = true;
      found = word.substr(prefix.size());
    }
    if (found) {
      if (value) throw UsageError("option " + std::string(name) + " given twice");
      value = std::move(found);
    }
  }
  return value;
}

std::string Arguments::RequiredOption(std::string_view name) {
  auto value = Option(name);
  if (!value) throw UsageError("missing option " + std::string(name));
  return *value;
}

bool Arguments::Flag(std::string_view name) {
  bool present = false;
  for (size_t i = 0; i < end_of_options_; ++i) {
    if (!used_[i] && words_[i] == name) {
      used_[i] = true;
      present = true;
    }
  }
  return present;
}

std::optional<std::string> Arguments::NextOptional() {
  for (size_t i = 0; i < words_.size(); ++i) {
    if (used_[i] || IsOptionWord(i)) continue;
    used_[i] = true;
    return words_[i];
  }
  return std::nullopt;
}

std::string Arguments::Next(std::string_view what) {
  auto word = NextOptional();
  if (!word) throw UsageError("missing " + std::string(what));
  return *word;
}

std::vector<std::string> Arguments::Rest() {
  std::vector<std::string> rest;
  while (auto word = NextOptional()) rest.push_back(*word);
  return rest;
}

void Arguments::Finish() const {
  for (size_t i = 0; i < words_.size(); ++i) {
    if (used_[i]) continue;
    if (IsOptionWord(i)) throw UsageError("unknown option '" + words_[i] + "'");
    throw UsageError("unexpected argument '" + words_[i] + "'");
  }
}

bool RegisterCommand(const Command& command) {
  if (!Registry().emplace(command.name, command).second) {
    std::fprintf(stderr, "qrnauth: command '%s' registered twice\n", command.name);
    std::abort();
  }
  return true;
}

std::vector<Command> RegisteredCommands() {
  std::vector<Command> all;
  for (const auto& [name, command] : Registry()) all.push_back(command);
  return all;
}

std::string FormatHresult(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(hr));
  return text;
}

void PrintTrail(std::ostream& out, const VARIANT* trail) {
  out << "step | status | detail | source\n";
  if (!trail || trail->vt != (VT_ARRAY | VT_VARIANT) || !trail->parray) return;
  SAFEARRAY* rows = trail->parray;
  LONG first = 0, last = -1;
  if (SafeArrayGetDim(rows) != 2 || FAILED(SafeArrayGetLBound(rows, 1, &first)) ||
      FAILED(SafeArrayGetUBound(rows, 1, &last))) {
    return;
  }
  for (LONG row = first; row <= last; ++row) {
    std::string cells[4];
    bool empty_row = true;
    for (LONG column = 0; column < 4; ++column) {
      LONG index[2] = {row, column};
      VARIANT cell;
      VariantInit(&cell);
      if (SUCCEEDED(SafeArrayGetElement(rows, index, &cell))) {
        if (cell.vt != VT_EMPTY) empty_row = false;
        cells[column] = CellText(cell);
      }
      VariantClear(&cell);
    }
    // Entries are stored from the first row on; the first empty row ends them.
    if (empty_row) break;
    out << cells[0] << " | " << cells[1] << " | " << cells[2] << " | " << cells[3] << "\n";
  }
}

}  // namespace qrn::cli
