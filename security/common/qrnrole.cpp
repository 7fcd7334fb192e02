// The role records and the loading of the role document.
#include "qrnauth/qrnrole.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_set>

#include "frame/config.h"
#include "frame/report.h"
#include "platform/text.h"
#include "platform/xml_component.h"
#include "security/common/com_owners.h"
#include "security/common/document_steps.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"
#include "security/common/role_records.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace {

namespace steps = qrn::document_steps;
constexpr qrn::Site kSite = {&qrn::authorizationTrail, "security/common/qrnrole",
                             "InitCache.GetRoles.GetRoleFromWeb"};
constexpr qrn::Step kQuery = steps::kQuery.AtLine(1244);
constexpr qrn::Step kCreate = steps::kCreate.AtLine(1207);
constexpr qrn::Step kParse = steps::kParse.AtLine(1230);
constexpr qrn::Step kWrite = steps::kWriteRoles;

constexpr char kRolesTag[] = "QRNROLES";
constexpr char kInitialTimestamp[] = "1/1/99 12:00:00 PM";
constexpr int32_t kWebServerSource = 4;
constexpr int32_t kSourceNumber = 389;
constexpr int kRoleChildren = 5;
constexpr uint32_t kPathBuffer = 260;

// The library's COM owners, under the names this file uses.
template <typename T>
using ComPtr = qrn::ComRef<T>;
using Bstr = qrn::BstrRef;
inline Bstr MakeBstr(std::string_view text) { return qrn::MakeBstrRef(text); }
inline std::string FromBstr(BSTR text) { return qrn::BstrText(text); }

// Copies text into a fixed array, cut at a character boundary to leave room
// for the terminator; the rest of the array is zero.
template <size_t N>
void CopyText(char (&field)[N], std::string_view text) {
  const std::string_view cut = qrn::platform::CutAtCharBoundary(text, N - 1);
  // An empty view may have no storage at all (data() is null).
  if (!cut.empty()) std::memcpy(field, cut.data(), cut.size());
  std::memset(field + cut.size(), 0, N - cut.size());
}

void InitSource(QrnSourceDescriptor* source) {
  std::memset(source, 0, sizeof *source);
  source->sourceKind = kWebServerSource;
  source->sourceNumber = kSourceNumber;
  try {
    uint32_t size = sizeof source->serverUrl;
    if (FAILED(qrn::GetAuthUrl(source->serverUrl, &size))) source->serverUrl[0] = '\0';
  } catch (...) {
    source->serverUrl[0] = '\0';
  }
  source->serverUrl[sizeof source->serverUrl - 1] = '\0';
}

// The plain text of an encrypted member list: names separated by ";". A
// list that does not decrypt gives no names; the plain text counts up to its
// first NUL. Decrypted straight into the string the role keeps.
std::string DecryptMemberList(std::string_view text) {
  std::string plain;
  if (text.empty()) return plain;
  // DecryptText reads terminated text: the list up to its first NUL.
  text = text.substr(0, strnlen(text.data(), text.size()));
  plain.resize(text.size() / 4 * 3 + 3);
  size_t length = 0;
  if (FAILED(qrn::DecryptTextView(text, plain.data(), plain.size(), &length))) length = 0;
  plain.resize(strnlen(plain.data(), length));
  return plain;
}

// Calls visit with each name of a member list (no empty names), cut as a
// member record's field cuts it.
template <typename Visit>
void ForEachListName(std::string_view list, Visit&& visit) {
  constexpr size_t kNameMax = sizeof CQRNRoleMemberUser::memberName - 1;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find(';', pos);
    if (end == std::string_view::npos) end = list.size();
    if (end > pos) visit(qrn::platform::CutAtCharBoundary(list.substr(pos, end - pos), kNameMax));
    pos = end + 1;
  }
}

// The names of a member list as ForEachListName gives them: each run of
// non-separators is one name.
size_t CountListNames(std::string_view list) {
  if (list.empty()) return 0;
  size_t count = list.front() != ';';
  for (size_t i = 1; i < list.size(); ++i)
    count += static_cast<size_t>(list[i] != ';' && list[i - 1] == ';');
  return count;
}

}  // namespace

// One member kind of a loaded role: the names as loaded, whether their
// records were made, and the folded names, filled on the first lookup so a
// load pays nothing for roles nobody asks about by name.
struct CQRNRole::MemberIndex {
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>()(text);
    }
  };
  explicit MemberIndex(std::string list) : names(std::move(list)) {}
  const std::string names;  // the decrypted list, ";" between names
  // The member count the index is for, counted on first use (a load asks
  // for none of them).
  size_t Count() const {
    size_t known = count.load(std::memory_order_relaxed);
    if (known == kUncounted) {
      known = CountListNames(names);
      count.store(known, std::memory_order_relaxed);
    }
    return known;
  }
  static constexpr size_t kUncounted = ~size_t{0};
  mutable std::atomic<size_t> count{kUncounted};
  std::once_flag made;  // the records were made from names
  std::atomic<bool> recordsMade{false};
  std::once_flag filled;
  std::unordered_set<std::string, Hash, std::equal_to<>> folded;

  void Fill() {
    folded.reserve(Count());
    std::string key;
    ForEachListName(names, [this, &key](std::string_view name) {
      qrn::platform::FoldCaseInto(name, &key);
      folded.insert(key);
    });
  }

  bool Contains(std::string_view name) {
    std::call_once(filled, [this] { Fill(); });
    return folded.find(qrn::platform::FoldCase(name)) != folded.end();
  }

  // Appends a record per name to members, all or none.
  template <typename Member>
  void Make(std::vector<Member*>* members) {
    std::call_once(made, [this, members] {
      std::vector<std::unique_ptr<Member>> records;
      records.reserve(Count());
      ForEachListName(names, [&records](std::string_view name) {
        // A new member's name is all zeros; only the name itself is written.
        records.emplace_back(new Member());
        std::memcpy(records.back()->memberName, name.data(), name.size());
      });
      members->reserve(members->size() + records.size());
      for (auto& record : records) members->push_back(record.release());
      recordsMade.store(true, std::memory_order_release);
    });
  }
};

CQRNRoleMemberUser::CQRNRoleMemberUser() { std::memset(memberName, 0, sizeof memberName); }
CQRNRoleMemberUser::CQRNRoleMemberUser(const char* name) {
  CopyText(memberName, name != nullptr ? name : "");
}
CQRNRoleMemberUser::~CQRNRoleMemberUser() = default;

CQRNRoleMemberGroup::CQRNRoleMemberGroup() { std::memset(memberName, 0, sizeof memberName); }
CQRNRoleMemberGroup::CQRNRoleMemberGroup(const char* name) {
  CopyText(memberName, name != nullptr ? name : "");
}
CQRNRoleMemberGroup::~CQRNRoleMemberGroup() = default;

CQRNRole::CQRNRole() {
  std::memset(roleId, 0, sizeof roleId);
  std::memset(roleName, 0, sizeof roleName);
  std::memset(thirdText, 0, sizeof thirdText);
  InitSource(&source);
}

// The roles of a list take the list's descriptor rather than each reading
// the configuration again.
CQRNRole::CQRNRole(const QrnSourceDescriptor& list_source) : source(list_source) {
  std::memset(roleId, 0, sizeof roleId);
  std::memset(roleName, 0, sizeof roleName);
  std::memset(thirdText, 0, sizeof thirdText);
}

CQRNRole::~CQRNRole() {
  for (CQRNRoleMemberUser* m : userMembers) delete m;
  for (CQRNRoleMemberGroup* m : groupMembers) delete m;
}

// Through the index while the records are unmade or as many as the index
// was made for, else member by member.
bool CQRNRole::HasMemberNamed(const char* name, bool users) const {
  if (name == nullptr) return false;
  auto scan = [name](const auto& members, const std::unique_ptr<MemberIndex>& index) {
    if (index &&
        (!index->recordsMade.load(std::memory_order_acquire) || index->Count() == members.size()))
      return index->Contains(name);
    for (const auto* m : members)
      if (m != nullptr && qrn::platform::EqualsNoCase(m->memberName, name)) return true;
    return false;
  };
  return users ? scan(userMembers, userIndex) : scan(groupMembers, groupIndex);
}

CQRNRoleList::CQRNRoleList() : listFlag(1), listSpare(0) {
  InitSource(&source);
  CopyText(listTimestamp, kInitialTimestamp);
  std::memset(cacheFolder, 0, sizeof cacheFolder);
  try {
    uint32_t size = sizeof cacheFolder;
    if (FAILED(qrn::GetCachePath(cacheFolder, &size))) cacheFolder[0] = '\0';
  } catch (...) {
    cacheFolder[0] = '\0';
  }
  cacheFolder[sizeof cacheFolder - 1] = '\0';
}

CQRNRoleList::~CQRNRoleList() {
  for (CQRNRole* role : roles) delete role;
}

void CQRNRoleList::GetRoles(uint8_t use_given, IQrnXml2* document) {
  // The source kind is always the security web server.
  GetRoleFromWeb(use_given, document);
}

void CQRNRoleList::GetRoleFromWeb(uint8_t use_given, IQrnXml2* document) {
  qrn::RoleRecords::LoadDeferred(this, use_given, document);
  try {
    qrn::RoleRecords::MakeMembers(this);
  } catch (...) {
    // An allocation failure ends the load; the roles made so far stay.
  }
}

namespace qrn {

void RoleRecords::LoadDeferred(CQRNRoleList* list, uint8_t use_given, IQrnXml2* document) {
  std::vector<CQRNRole*>& roles = list->roles;
  const QrnSourceDescriptor& source = list->source;
  try {
    char folder[kPathBuffer] = {};
    uint32_t size = sizeof folder;
    if (FAILED(qrn::GetCachePath(folder, &size))) return;
    const std::string path = std::string(folder) + qrn::kRoleCacheFile;

    IQrnXml2* raw = nullptr;
    if (use_given && document != nullptr) {
      const HRESULT hr = qrn::Report(
          kSite, kQuery, document->QueryInterface(IID_IQrnXml2, reinterpret_cast<void**>(&raw)));
      if (FAILED(hr) || raw == nullptr) return;
    } else {
      HRESULT hr = qrn::Report(kSite, kCreate,
                               CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                                                reinterpret_cast<void**>(&raw)));
      if (FAILED(hr) || raw == nullptr) return;
      ComPtr<IQrnXml2> created(raw);

      std::string page = qrn::SecurityParts().roles;
      if (page.empty() && !qrn::GetWebPage(qrn::RolesRequest(source.serverUrl), page, true)) return;
      // Read as terminated text: the first document only.
      const std::string_view text = qrn::TerminatedText(page);
      hr = qrn::Report(kSite, kParse, qrn::platform::PutXmlUtf8(created.get(), std::string(text)));
      if (FAILED(hr)) return;
      hr = qrn::Report(kSite, kWrite, qrn::QrnEncryptBufferAndPersistInFile(text, path));
      if (FAILED(hr)) return;
      created.release();
    }
    ComPtr<IQrnXml2> xml(raw);

    // One role per element child of QRNROLES with exactly five element
    // children: identifier, name, description, groups, users.
    auto add_role = [&roles, &source](const std::string_view* texts, size_t count) {
      if (count != kRoleChildren) return;
      std::unique_ptr<CQRNRole> role(new CQRNRole(source));
      CopyText(role->roleId, texts[0]);
      CopyText(role->roleName, texts[1]);
      CopyText(role->thirdText, texts[2]);
      role->groupIndex = std::make_unique<CQRNRole::MemberIndex>(DecryptMemberList(texts[3]));
      role->userIndex = std::make_unique<CQRNRole::MemberIndex>(DecryptMemberList(texts[4]));
      roles.push_back(role.get());
      role.release();
    };
    // The last child is the count element, never a role. This library's own
    // component hands out its texts directly.
    if (qrn::platform::ForEachChildRow(xml.get(), kRolesTag, true, add_role)) return;

    IDispatch* found = nullptr;
    if (FAILED(xml->FindElement(nullptr, MakeBstr(kRolesTag).get(), &found)) || found == nullptr)
      return;
    ComPtr<IDispatch> found_owner(found);
    IXMLElement* top_raw = nullptr;
    if (FAILED(found->QueryInterface(IID_IXMLElement, reinterpret_cast<void**>(&top_raw))) ||
        top_raw == nullptr)
      return;
    ComPtr<IXMLElement> top(top_raw);
    IXMLElementCollection* children_raw = nullptr;
    if (FAILED(top->get_children(&children_raw)) || children_raw == nullptr) return;
    ComPtr<IXMLElementCollection> children(children_raw);
    LONG count = 0;
    if (FAILED(children->get_length(&count))) return;

    for (LONG i = 0; i + 1 < count; ++i) {
      VARIANT index;
      VariantInit(&index);
      index.vt = VT_I4;
      index.lVal = i;
      VARIANT unused;
      VariantInit(&unused);
      IDispatch* child_raw = nullptr;
      if (FAILED(children->item(index, unused, &child_raw)) || child_raw == nullptr) continue;
      ComPtr<IDispatch> child_owner(child_raw);
      IXMLElement* element_raw = nullptr;
      if (FAILED(
              child_raw->QueryInterface(IID_IXMLElement, reinterpret_cast<void**>(&element_raw))) ||
          element_raw == nullptr)
        continue;
      ComPtr<IXMLElement> element(element_raw);
      IXMLElementCollection* fields_raw = nullptr;
      if (FAILED(element->get_children(&fields_raw)) || fields_raw == nullptr) continue;
      ComPtr<IXMLElementCollection> fields(fields_raw);
      LONG field_count = 0;
      if (FAILED(fields->get_length(&field_count)) || field_count != kRoleChildren) continue;

      std::string texts[kRoleChildren];
      bool readable = true;
      for (int f = 0; f < kRoleChildren && readable; ++f) {
        VARIANT at;
        VariantInit(&at);
        at.vt = VT_I4;
        at.lVal = f;
        IDispatch* field = nullptr;
        if (FAILED(fields->item(at, unused, &field)) || field == nullptr) {
          readable = false;
          break;
        }
        ComPtr<IDispatch> field_owner(field);
        BSTR text = nullptr;
        const HRESULT hr = xml->GetElementText(field, &text);
        Bstr text_owner(text);
        if (FAILED(hr)) readable = false;
        texts[f] = FromBstr(text);
      }
      // A role whose texts cannot all be read is left out.
      if (!readable) continue;

      std::string_view views[kRoleChildren];
      for (int f = 0; f < kRoleChildren; ++f) views[f] = texts[f];
      add_role(views, kRoleChildren);
    }
  } catch (...) {
    // An allocation failure ends the load; the roles appended so far stay.
  }
}

void RoleRecords::MakeMembers(CQRNRole* role) {
  if (role == nullptr) return;
  if (role->userIndex) role->userIndex->Make(&role->userMembers);
  if (role->groupIndex) role->groupIndex->Make(&role->groupMembers);
}

void RoleRecords::MakeMembers(CQRNRoleList* list) {
  for (CQRNRole* role : list->roles) MakeMembers(role);
}

size_t RoleRecords::MemberCount(const CQRNRole& role, bool users) {
  const auto& index = users ? role.userIndex : role.groupIndex;
  if (index && !index->recordsMade.load(std::memory_order_acquire)) return index->Count();
  return users ? role.userMembers.size() : role.groupMembers.size();
}

void RoleRecords::ForEachMember(const CQRNRole& role, bool users,
                                const std::function<void(std::string_view)>& visit) {
  const auto& index = users ? role.userIndex : role.groupIndex;
  if (index && !index->recordsMade.load(std::memory_order_acquire)) {
    ForEachListName(index->names, visit);
    return;
  }
  auto each = [&visit](const auto& members) {
    for (const auto* m : members)
      if (m != nullptr)
        visit(std::string_view(m->memberName, strnlen(m->memberName, sizeof m->memberName)));
  };
  if (users)
    each(role.userMembers);
  else
    each(role.groupMembers);
}

}  // namespace qrn

bool CQRNRoleList::HasUserMember(const CQRNRole* role, const char* name) {
  try {
    return role != nullptr && role->HasMemberNamed(name, true);
  } catch (...) {
    return false;
  }
}

bool CQRNRoleList::HasGroupMember(const CQRNRole* role, const char* name) {
  try {
    return role != nullptr && role->HasMemberNamed(name, false);
  } catch (...) {
    return false;
  }
}
