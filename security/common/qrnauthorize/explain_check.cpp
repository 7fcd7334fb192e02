// ExplainCheck: one access check, with an observer that records what the
// check used (see include/qrnauth/explain.h).
#include <string>

#include "qrnauth/explain.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/check_observer.h"

namespace qrn::admin {

namespace {

GroupOrigin Public(qrn::GroupOrigin origin) {
  switch (origin) {
    case qrn::GroupOrigin::kServer:
      return GroupOrigin::kServer;
    case qrn::GroupOrigin::kDirectory:
      return GroupOrigin::kDirectory;
    case qrn::GroupOrigin::kOldServer:
      return GroupOrigin::kOldServer;
    case qrn::GroupOrigin::kNovell:
      return GroupOrigin::kNovell;
    case qrn::GroupOrigin::kEarlierLookup:
      return GroupOrigin::kEarlierLookup;
    case qrn::GroupOrigin::kBackupList:
      return GroupOrigin::kBackupList;
    case qrn::GroupOrigin::kNoGroupSupport:
      return GroupOrigin::kNoGroupSupport;
    case qrn::GroupOrigin::kResolved:
    case qrn::GroupOrigin::kNone:
      break;
  }
  return GroupOrigin::kNone;
}

std::string MaskText(const qrn::AclEntry& entry) {
  switch (entry.kind) {
    case qrn::AclEntry::kMask:
      return std::to_string(static_cast<int32_t>(entry.mask));
    case qrn::AclEntry::kNoDecision:
      return "no decision";
    case qrn::AclEntry::kNoMask:
      break;
  }
  return std::string();
}

class Recorder : public qrn::CheckObserver {
 public:
  explicit Recorder(CheckExplanation* out) : out_(out) {}

  void GroupSource(qrn::GroupOrigin origin) override { source_ = origin; }
  void Groups(qrn::GroupOrigin origin, const std::vector<std::string>& names) override {
    // kResolved: this check's resolution, whose source it told before.
    out_->groupOrigin = Public(origin == qrn::GroupOrigin::kResolved ? source_ : origin);
    if (names.empty() && origin == qrn::GroupOrigin::kResolved)
      out_->groupOrigin = GroupOrigin::kNone;
    out_->groups = names;
  }
  void RoleHeld(const CQRNRole& role, const std::string& matched, bool by_user) override {
    out_->roles.push_back({role.roleName, matched, by_user});
  }
  void RolesFromEarlierLookup() override { out_->groupOrigin = GroupOrigin::kEarlierLookup; }
  void AclLookup(const CQRNRole& role, const qrn::AclEntries* entries, const qrn::AclEntry* decided,
                 bool allowed) override {
    if (entries != nullptr && entries != entries_) {
      entries_ = entries;
      out_->aclEntries.clear();
      for (const qrn::AclEntry& entry : *entries)
        out_->aclEntries.push_back({entry.name, MaskText(entry)});
    }
    ExplainedAclLookup lookup;
    lookup.role = role.roleName;
    lookup.allowed = allowed;
    if (decided != nullptr && entries != nullptr)
      lookup.entry = static_cast<int>(decided - entries->data());
    out_->aclLookups.push_back(std::move(lookup));
  }

 private:
  CheckExplanation* out_;
  qrn::GroupOrigin source_ = qrn::GroupOrigin::kNone;
  const qrn::AclEntries* entries_ = nullptr;
};

}  // namespace

const char* GroupOriginName(GroupOrigin origin) {
  switch (origin) {
    case GroupOrigin::kServer:
      return "server";
    case GroupOrigin::kDirectory:
      return "directory";
    case GroupOrigin::kOldServer:
      return "old server";
    case GroupOrigin::kNovell:
      return "novell";
    case GroupOrigin::kEarlierLookup:
      return "earlier lookup";
    case GroupOrigin::kBackupList:
      return "backup list";
    case GroupOrigin::kNoGroupSupport:
      return "group support off";
    case GroupOrigin::kNone:
      break;
  }
  return "none";
}

CheckExplanation ExplainCheck(const char* user, const char* object, unsigned int permission) {
  CheckExplanation explanation;
  try {
    const bool named = user != nullptr && user[0] != '\0';
    CQRNAuthorize authorizer;
    if (!authorizer.InitCache(named ? user : nullptr, QRN_CLEAR_CACHE_GROUPS)) return explanation;
    explanation.loaded = true;
    Recorder recorder(&explanation);
    qrn::ScopedCheckObserver observing(&recorder);
    explanation.granted = named ? authorizer.CheckAccess(user, object, permission)
                                : authorizer.CheckAccess(object, permission);
  } catch (...) {
    explanation.granted = false;
  }
  return explanation;
}

}  // namespace qrn::admin
