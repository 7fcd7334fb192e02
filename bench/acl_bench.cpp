// The hot path of an access check: AclAllows on a key already seen, the
// membership tests on a role of 2,000 members, on the large data set, and
// the case folding of a name, ASCII and not.
#include <benchmark/benchmark.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/large_data.h"
#include "platform/text.h"
#include "qrnauth/qrnrole.h"
#include "security/common/qrnacl.h"

namespace {

struct Loaded {
  qrn::bench::LargeData data;
  qrn::CQRNAclStore* store = nullptr;
  CQRNRoleList* roles = nullptr;
};

IQrnXml2* Parse(const std::string& xml) {
  IQrnXml2* doc = nullptr;
  if (FAILED(CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                              reinterpret_cast<void**>(&doc))))
    return nullptr;
  const std::u16string wide = qrn::platform::Utf8ToUtf16(xml);
  BSTR text = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
  const HRESULT hr = doc->put_XmlString(text);
  SysFreeString(text);
  if (FAILED(hr)) {
    doc->Release();
    return nullptr;
  }
  return doc;
}

// Loaded once per process, as a load from the cache hands the documents over.
Loaded& Data() {
  static Loaded loaded = [] {
    Loaded l;
    qrn::bench::PrepareBenchEnvironment("http://127.0.0.1:9/mvt/security.aspx");
    l.data = qrn::bench::MakeLargeData();
    IQrnXml2* acls = Parse(l.data.acls);
    IQrnXml2* roles = Parse(l.data.roles);
    if (acls == nullptr || roles == nullptr) {
      std::fprintf(stderr, "cannot parse the documents\n");
      std::exit(1);
    }
    l.store = new qrn::CQRNAclStore();
    l.store->BuildACLFromWeb("", -1, acls);
    l.roles = new CQRNRoleList();
    l.roles->GetRoles(1, roles);
    acls->Release();
    roles->Release();
    return l;
  }();
  return loaded;
}

// The object's first role (an early match) or a role it does not name (every
// entry scanned), with a key answered before.
void BM_AclAllowsWarm(benchmark::State& state) {
  Loaded& l = Data();
  const size_t object = 1234;
  const std::string& key = l.data.object_keys[object];
  // The first role of the object's ACL (mask 12), asked in another case.
  std::string asked = l.data.role_names[(object * 37) % l.data.role_names.size()];
  for (char& c : asked) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (state.range(0)) asked = "Role9999";
  l.store->AclAllows(asked.c_str(), key.c_str(), 4);
  bool allowed = false;
  for (auto _ : state) {
    allowed = l.store->AclAllows(asked.c_str(), key.c_str(), 4);
    benchmark::DoNotOptimize(allowed);
  }
  if (allowed == (state.range(0) != 0)) state.SkipWithError("unexpected answer");
  state.SetLabel(state.range(0) ? "role not named" : "first entry");
}
BENCHMARK(BM_AclAllowsWarm)->Arg(0)->Arg(1);

// Warm keys asked in turn, so each check looks its key up in the map.
void BM_AclAllowsWarmRotating(benchmark::State& state) {
  Loaded& l = Data();
  constexpr size_t kKeys = 1000;
  std::vector<const char*> keys;
  for (size_t i = 0; i < kKeys; ++i) {
    keys.push_back(l.data.object_keys[i * 7].c_str());
    l.store->AclAllows("Role0000", keys.back(), 1);
  }
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(l.store->AclAllows("Role0000", keys[next], 1));
    if (++next == kKeys) next = 0;
  }
}
BENCHMARK(BM_AclAllowsWarmRotating);

// Every key once: the document lookup, the decryption and the parse.
void BM_AclAllowsFirstSight(benchmark::State& state) {
  Loaded& l = Data();
  IQrnXml2* acls = Parse(l.data.acls);
  qrn::CQRNAclStore store;
  store.BuildACLFromWeb("", -1, acls);
  acls->Release();
  size_t next = 0;
  for (auto _ : state) {
    if (next == l.data.object_keys.size()) {
      state.PauseTiming();
      store.ResetAcls();
      acls = Parse(l.data.acls);
      store.BuildACLFromWeb("", -1, acls);
      acls->Release();
      next = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(store.AclAllows("Role0000", l.data.object_keys[next++].c_str(), 1));
  }
}
BENCHMARK(BM_AclAllowsFirstSight);

// A role of 2,000 group members: a member near the end, and a name that is
// no member. Arg 1 asks a copy of the role built by hand (no index): the
// member-by-member comparison the index replaces.
void BM_HasGroupMember2000(benchmark::State& state) {
  Loaded& l = Data();
  const CQRNRole* big = l.roles->roles[0];
  static CQRNRole* by_hand = [big] {
    auto* role = new CQRNRole();
    for (const auto* m : big->groupMembers)
      role->groupMembers.push_back(new CQRNRoleMemberGroup(m->memberName));
    return role;
  }();
  const CQRNRole* role = state.range(0) ? by_hand : big;
  std::string member = big->groupMembers[1990]->memberName;
  for (char& c : member) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  bool found = false;
  for (auto _ : state) {
    found = CQRNRoleList::HasGroupMember(role, member.c_str());
    benchmark::DoNotOptimize(found);
    benchmark::DoNotOptimize(CQRNRoleList::HasGroupMember(role, "DOM\\nobody"));
  }
  if (!found) state.SkipWithError("member not found");
  state.counters["members"] = static_cast<double>(role->groupMembers.size());
  state.SetLabel(state.range(0) ? "no index: a hit and a miss" : "index: a hit and a miss");
}
BENCHMARK(BM_HasGroupMember2000)->Arg(0)->Arg(1);

// Folding one name: ASCII only (the fast path), Latin with accents, and
// Greek/Cyrillic (every character goes through the folding table).
void BM_FoldCase(benchmark::State& state) {
  const std::string greek = "\xce\xa0\xce\xa9\xce\x9b\xce\x97\xce\xa3\xce\x95\xce\x99\xce\xa3";
  const std::string cyrillic = "\xd0\x9f\xd0\xa0\xd0\x9e\xd0\x94\xd0\x90\xd0\x96\xd0\x98";
  const std::string names[] = {
      "SALES\\Administrators",
      "VERTRIEB\\M\xc3\x9cLLER \xc3\x84RGER \xc3\x96STERREICH",
      greek + "\\" + cyrillic,
  };
  const std::string& name = names[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(qrn::platform::FoldCase(name));
  state.SetLabel(state.range(0) == 0 ? "ascii" : state.range(0) == 1 ? "latin" : "greek+cyrillic");
}
BENCHMARK(BM_FoldCase)->Arg(0)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
