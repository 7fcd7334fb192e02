// The ACL store against ACL documents served by a real qrnsecd, read from
// real cache files, or handed in through a counting wrapper object.
#include "security/common/qrnacl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/large_data.h"
#include "frame/trail.h"
#include "platform/text.h"
#include "qrnauth/qrnrole.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

BSTR Wide(std::string_view text) {
  const std::u16string wide = platform::Utf8ToUtf16(text);
  return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
}

// An IQrnXml of the test's own over the real component: counts the
// LookupValue calls and the references it holds.
class CountingAcls : public IQrnXml {
 public:
  explicit CountingAcls(IQrnXml* inner) : inner_(inner) {}
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IQrnXml) {
      *object = static_cast<IQrnXml*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }  // lives on the test's stack
  HRESULT put_XmlString(BSTR xml) override { return inner_->put_XmlString(xml); }
  HRESULT LookupValue(BSTR key, BSTR* value) override {
    lookups_.push_back(platform::Utf16ToUtf8(std::u16string_view(key, SysStringLen(key))));
    return inner_->LookupValue(key, value);
  }
  const std::vector<std::string>& lookups() const { return lookups_; }
  ULONG refs() const { return refs_; }

 private:
  IQrnXml* inner_;
  std::vector<std::string> lookups_;
  ULONG refs_ = 1;
};

const char kAclData[] = R"({"format": 1, "acls": {
  "Pay.Monthly": "Operators:7;Guests:1",
  "Pay.Twice": "Guests:1;Guests:2",
  "Pay.Empty": "Admins:",
  "Pay.All": "Admins:-1",
  "Pay.Limits": "Max:2147483647;Min:-2147483648;Over:99999999999;Under:-99999999999;Near:2147483646",
  "Pay.Spaced": ";;Blank: \t+5x;;Bare;Hex:0x4;  Lead:1",
  "Pay.Accents": "\u00c4rzte:2;M\u00dcLLER:8",
  "Case.Key": "Operators:1",
  "case.key": "Operators:2",
  "Pay.Nothing": ""}})";

class AclStoreTest : public ::testing::Test {
 protected:
  void StartServer(const char* json = kAclData) {
    test::WriteDataFile(data_.File("data.json"), json);
    secd_ = std::make_unique<test::SecdProcess>(data_.File("data.json"));
    UseUrl(secd_->url());
  }
  void UseUrl(const std::string& url) const {
    sandbox_.WriteMachineHive(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n\"URL\"=\"" +
        url + "\"\r\n");
  }
  std::string CacheFile() const { return sandbox_.temp_folder() + kAclCacheFile; }

  test::HiveSandbox sandbox_;
  test::TempDir data_;
  std::unique_ptr<test::SecdProcess> secd_;
};

TEST_F(AclStoreTest, MaskSemanticsOfServedDocument) {
  StartServer();
  CQRNAclStore store;
  ASSERT_TRUE(store.BuildACLFromWeb("", 0, nullptr));

  struct Case {
    const char* role;
    const char* key;
    uint32_t access;
    bool allowed;
  } cases[] = {
      {"operators", "Pay.Monthly", 4, true},   // names compare without case
      {"Operators", "Pay.Monthly", 8, false},  // bit not in the mask
      {"Operators", "Pay.Monthly", 6, false},  // two bits decide nothing
      {"Operators", "Pay.Monthly", 0, false},
      {"Guests", "Pay.Monthly", 1, true},
      {"Nobody", "Pay.Monthly", 1, false},
      {"Guests", "Pay.Twice", 2, false},  // only the first Guests entry counts
      {"Guests", "Pay.Twice", 1, true},
      {"Admins", "Pay.Empty", 1, false},
      {"Admins", "Pay.All", 1u << 31, true},  // -1 grants every single bit
      {"Admins", "Pay.All", 1u << 7, true},
      {"Admins", "Pay.All", 3, false},
      {"Max", "Pay.Limits", 1, false},  // the limits and overflows decide nothing
      {"Min", "Pay.Limits", 1u << 31, false},
      {"Over", "Pay.Limits", 1, false},
      {"Under", "Pay.Limits", 1u << 31, false},
      {"Near", "Pay.Limits", 2, true},
      {"BLANK", "Pay.Spaced", 4, true},  // white space and sign, stops at "x"
      {"Bare", "Pay.Spaced", 1, false},  // no ':'
      {"Lead", "Pay.Spaced", 1, false},  // names are not trimmed
      {"  lead", "Pay.Spaced", 1, true},
      {"", "Pay.Spaced", 1, false},
      {"Hex", "Pay.Spaced", 4, false},           // base 10: "0x4" reads as 0
      {"\xC3\xA4RZTE", "Pay.Accents", 2, true},  // multibyte case folding
      {"m\xC3\xBCller", "Pay.Accents", 8, true},
      {"Operators", "Case.Key", 1, true},  // keys are case-sensitive
      {"Operators", "Case.Key", 2, false},
      {"Operators", "case.key", 2, true},
      {"Operators", "CASE.KEY", 1, false},
      {"Operators", "Pay.Nothing", 1, false},
      {"Operators", "No.Such.Key", 1, false},
      {nullptr, "Pay.Monthly", 1, false},
  };
  // Twice: the second round answers from the remembered entries.
  for (int round = 0; round < 2; ++round)
    for (const Case& c : cases)
      EXPECT_EQ(store.AclAllows(c.role, c.key, c.access), c.allowed)
          << (c.role ? c.role : "(null)") << " " << c.key << " " << c.access << " round " << round;

  // The document was cached, encrypted, as the server sent it.
  std::string page;
  ASSERT_TRUE(GetWebPage(AclRequest(secd_->url()), page, false));
  std::string cached;
  ASSERT_TRUE(DecryptString(test::ReadFile(CacheFile()), &cached));
  EXPECT_EQ(cached, TerminatedText(page));
}

TEST_F(AclStoreTest, EachKeyReachesTheDocumentOnce) {
  StartServer();
  IQrnXml* inner = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml,
                             reinterpret_cast<void**>(&inner)),
            S_OK);
  std::string page;
  ASSERT_TRUE(GetWebPage(AclRequest(secd_->url()), page, false));
  BSTR xml = Wide(TerminatedText(page));
  ASSERT_EQ(inner->put_XmlString(xml), S_OK);
  SysFreeString(xml);

  CountingAcls counting(inner);
  {
    CQRNAclStore store;
    ASSERT_TRUE(store.BuildACLFromWeb("ignored", -1, &counting));
    EXPECT_EQ(counting.refs(), 2u);
    EXPECT_FALSE(std::filesystem::exists(CacheFile()));  // a given object is not written

    EXPECT_FALSE(store.AclAllows("Operators", "Missing.Key", 1));
    EXPECT_FALSE(store.AclAllows("Operators", "Missing.Key", 1));
    EXPECT_TRUE(store.AclAllows("Operators", "Pay.Monthly", 1));
    EXPECT_TRUE(store.AclAllows("Guests", "Pay.Monthly", 1));
    EXPECT_FALSE(store.AclAllows("Operators", "Case.Key", 2));
    EXPECT_TRUE(store.AclAllows("Operators", "case.key", 2));
    EXPECT_EQ(counting.lookups(),
              (std::vector<std::string>{"Missing.Key", "Pay.Monthly", "Case.Key", "case.key"}));

    // After a reset the document is gone: keys are remembered again, unanswered.
    store.ResetAcls();
    EXPECT_EQ(counting.refs(), 1u);
    EXPECT_FALSE(store.AclAllows("Operators", "Pay.Monthly", 1));
    EXPECT_EQ(counting.lookups().size(), 4u);

    // A second build replaces the document without leaking the first; keys
    // answered before keep their answer until the next reset.
    ASSERT_TRUE(store.BuildACLFromWeb("", -1, &counting));
    ASSERT_TRUE(store.BuildACLFromWeb("", -1, &counting));
    EXPECT_EQ(counting.refs(), 2u);
    EXPECT_FALSE(store.AclAllows("Operators", "Pay.Monthly", 1));
    EXPECT_TRUE(store.AclAllows("Guests", "Pay.Twice", 1));
  }
  EXPECT_EQ(counting.refs(), 1u);  // the store's destructor released it
  inner->Release();
}

TEST_F(AclStoreTest, LoadsFromTheCacheFileItWrote) {
  StartServer();
  {
    CQRNAclStore store;
    ASSERT_TRUE(store.BuildACLFromWeb("", 0, nullptr));
  }
  secd_->Stop();

  IQrnXml2* cached = nullptr;
  ASSERT_EQ(QrnGetXmlPointerFromEncryptedFile(CacheFile(), &cached), S_OK);
  ASSERT_NE(cached, nullptr);
  CQRNAclStore store;
  ASSERT_TRUE(store.BuildACLFromWeb("", -1, cached));
  cached->Release();
  EXPECT_TRUE(store.AclAllows("OPERATORS", "Pay.Monthly", 4));
  EXPECT_FALSE(store.AclAllows("Guests", "Pay.Twice", 2));
}

TEST_F(AclStoreTest, CombinedAnswerSparesTheAclRequest) {
  StartServer();
  int16_t available = 0;
  ASSERT_EQ(QrnCheckServerAvailability(&available, nullptr), S_OK);
  ASSERT_EQ(available, -1);
  ASSERT_FALSE(SecurityParts().acls.empty());

  CQRNAclStore store;
  ASSERT_TRUE(store.BuildACLFromWeb("", 0, nullptr));
  EXPECT_TRUE(store.AclAllows("Guests", "Pay.Twice", 1));
  EXPECT_EQ(secd_->RequestLog().find("Object=Cache"), std::string::npos) << secd_->RequestLog();
  EXPECT_TRUE(std::filesystem::exists(CacheFile()));
}

TEST_F(AclStoreTest, FailuresLeaveNoAnswerAndNoFile) {
  // The server has gone: the request fails, nothing is written.
  StartServer();
  secd_->Stop();
  {
    CQRNAclStore store;
    EXPECT_FALSE(store.BuildACLFromWeb("", 0, nullptr));
    EXPECT_FALSE(store.AclAllows("Operators", "Pay.Monthly", 1));
    EXPECT_FALSE(std::filesystem::exists(CacheFile()));
  }
  // Without the component the creation is reported.
  ASSERT_EQ(QrnRegisterClass(CLSID_QrnXml, nullptr), S_OK);
  CQRNAclStore store;
  EXPECT_FALSE(store.BuildACLFromWeb("", 0, nullptr));
  ASSERT_EQ(authorizationTrail.count, 1);
  VARIANT* cells = nullptr;
  ASSERT_EQ(SafeArrayAccessData(authorizationTrail.errors.parray, reinterpret_cast<void**>(&cells)),
            S_OK);
  std::vector<std::string> texts;
  for (int i = 0; i < 24; ++i)
    if (cells[i].vt == VT_BSTR)
      texts.push_back(platform::Utf16ToUtf8(
          std::u16string_view(cells[i].bstrVal, SysStringLen(cells[i].bstrVal))));
  SafeArrayUnaccessData(authorizationTrail.errors.parray);
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Class not registered"), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "security/common/qrnacl(765):InitCache.BuildACL.BuildACLFromWeb."
                      "CoCreateInstance"),
            texts.end());
}

// The benchmarks' data set, small: qrnsecd renders the same documents, and
// the cache folder written from them loads and answers like the server.
TEST_F(AclStoreTest, GeneratedDataSetMatchesTheServer) {
  bench::LargeDataShape shape;
  shape.applications = 2;
  shape.groups_per_application = 3;
  shape.objects_per_group = 4;
  shape.roles = 12;
  shape.max_members = 30;
  shape.big_role_every = 5;
  const bench::LargeData data = bench::MakeLargeData(shape);
  test::WriteDataFile(data_.File("data.json"), data.json);
  secd_ = std::make_unique<test::SecdProcess>(data_.File("data.json"));
  UseUrl(secd_->url());
  for (const auto& [request, document] :
       {std::pair{ApplicationsRequest(secd_->url()), &data.applications},
        std::pair{RolesRequest(secd_->url()), &data.roles},
        std::pair{AclRequest(secd_->url()), &data.acls}}) {
    std::string page;
    ASSERT_TRUE(GetWebPage(request, page, false)) << request;
    EXPECT_EQ(TerminatedText(page), *document) << request;
  }

  ASSERT_TRUE(bench::WriteLargeCacheFolder(data, sandbox_.temp_folder()));
  int16_t status = 0;
  IQrnXml2 *applications = nullptr, *roles = nullptr, *acls = nullptr;
  ASSERT_EQ(QrnCheckCachedFiles(&status, &applications, &roles, &acls), S_OK);
  ASSERT_EQ(status, 1);
  CQRNRoleList list;
  list.GetRoles(1, roles);
  CQRNAclStore store;
  ASSERT_TRUE(store.BuildACLFromWeb("", -1, acls));
  for (IQrnXml2* doc : {applications, roles, acls}) doc->Release();

  ASSERT_EQ(list.roles.size(), 12u);
  EXPECT_EQ(list.roles[0]->userMembers.size(), 30u);  // a big role
  EXPECT_TRUE(CQRNRoleList::HasUserMember(list.roles[0], "dom\\USER17"));
  // Object 1: "Role0001:1;Role0006:-1;Role0011:3;Role0004:12".
  const char* key = data.object_keys[1].c_str();
  EXPECT_TRUE(store.AclAllows("role0001", key, 1));
  EXPECT_FALSE(store.AclAllows("Role0001", key, 2));
  EXPECT_TRUE(store.AclAllows("Role0006", key, 1u << 30));
  EXPECT_TRUE(store.AclAllows("Role0004", key, 8));
  EXPECT_FALSE(store.AclAllows("Role0004", key, 1));
}

// The evaluation itself, on texts no server would send.
TEST(AclText, EntriesAndMasks) {
  EXPECT_FALSE(EvaluateAclText("", "A", 1));
  EXPECT_FALSE(EvaluateAclText(";;;", "A", 1));
  EXPECT_TRUE(EvaluateAclText(";;A:1;;", "a", 1));
  EXPECT_FALSE(EvaluateAclText("A:1:2", "A", 2));  // the mask is read up to ':'
  EXPECT_TRUE(EvaluateAclText("A:1:2", "A", 1));
  EXPECT_TRUE(EvaluateAclText(":4", "", 4));           // an empty name is a name
  EXPECT_FALSE(EvaluateAclText("A:abc;A:1", "A", 1));  // first match reads 0
  EXPECT_TRUE(EvaluateAclText("A:-2147483647", "A", 1));
  EXPECT_FALSE(EvaluateAclText("A:-2147483647", "A", 2));
  EXPECT_TRUE(EvaluateAclText("A:00000000000000000000000016", "A", 16));
  // The Kelvin sign folds to 'k': an ASCII role matches a non-ASCII entry.
  EXPECT_TRUE(EvaluateAclText("\xE2\x84\xAAing:2", "KING", 2));
  EXPECT_TRUE(EvaluateAclText("king:2", "\xE2\x84\xAAing", 2));
  // Bytes that are not UTF-8 compare as they are.
  EXPECT_TRUE(EvaluateAclText("\xFF:1", "\xFF", 1));
  EXPECT_FALSE(EvaluateAclText("\xFF:1", "\xFE", 1));
}

}  // namespace
}  // namespace qrn
