// The XML component on documents of the sizes a large site publishes: an ACL
// document of 10,000 objects and a role document of 2,000 roles with up to
// 2,000 members each (about 20 MiB), parsed on every load, and the ACL key
// lookup that every access check makes; and the well-formedness pass that
// put_XmlString makes before the parse.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/text.h"
#include "platform/xml_document_check.h"
#include "qrnauth/qrnxml.h"
#include "security/common/qrncrypt.h"

namespace {

BSTR NewBstr(const std::string& utf8) {
  std::u16string wide = qrn::platform::Utf8ToUtf16(utf8);
  return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
}

std::string AclDocument() {
  std::string acl = qrn::EncryptString("Administrators:4294967295;Clerks:7;Auditors:1");
  std::string text = "<DOCUMENT><QRNACLS>";
  for (int i = 0; i < 10000; ++i)
    text += "<ACL KEY=\"{0F3A2B1C-0000-4000-8000-" + std::to_string(100000000000 + i) + "}\">" +
            acl + "</ACL>";
  return text + "<ACLCOUNT>10000</ACLCOUNT></QRNACLS></DOCUMENT>";
}

std::string RoleDocument() {
  std::string users;
  for (int m = 0; m < 2000; ++m) users += "DOMAIN\\user" + std::to_string(m) + ";";
  std::string members = qrn::EncryptString(users);
  std::string text = "<DOCUMENT><QRNROLES>";
  for (int r = 0; r < 2000; ++r) {
    // Every fourth role is large, the others small.
    const std::string& list = r % 4 == 0 ? members : members.substr(0, 400);
    text += "<ROLE><ROLEID>{" + std::to_string(r) + "}</ROLEID><ROLENAME>Role " +
            std::to_string(r) + "</ROLENAME><DESC>d</DESC><GROUPS>" + list.substr(0, 200) +
            "</GROUPS><USERS>" + list + "</USERS></ROLE>";
  }
  return text + "<ROLECOUNT>2000</ROLECOUNT></QRNROLES></DOCUMENT>";
}

IQrnXml2* NewXml() {
  IQrnXml2* xml = nullptr;
  CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2, reinterpret_cast<void**>(&xml));
  return xml;
}

void Parse(benchmark::State& state, const std::string& text) {
  BSTR document = NewBstr(text);
  IQrnXml2* xml = NewXml();
  for (auto _ : state) {
    if (xml->put_XmlString(document) != S_OK) {
      state.SkipWithError("parse failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
  state.counters["MiB"] = static_cast<double>(text.size()) / (1 << 20);
  xml->Release();
  SysFreeString(document);
}

void BM_ParseRoleDocument(benchmark::State& state) { Parse(state, RoleDocument()); }
BENCHMARK(BM_ParseRoleDocument)->Unit(benchmark::kMillisecond);

void BM_ParseAclDocument(benchmark::State& state) { Parse(state, AclDocument()); }
BENCHMARK(BM_ParseAclDocument)->Unit(benchmark::kMillisecond);

// The well-formedness pass alone, the share of put_XmlString it takes.
void BM_DocumentCheck(benchmark::State& state) {
  const std::string text = state.range(0) ? AclDocument() : RoleDocument();
  for (auto _ : state) {
    if (!qrn::platform::IsOneWellFormedDocument(text)) {
      state.SkipWithError("refused");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
  state.SetLabel(state.range(0) ? "acl document" : "role document");
}
BENCHMARK(BM_DocumentCheck)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_LookupValue(benchmark::State& state) {
  BSTR document = NewBstr(AclDocument());
  IQrnXml2* xml2 = NewXml();
  xml2->put_XmlString(document);
  IQrnXml* xml = nullptr;
  xml2->QueryInterface(IID_IQrnXml, reinterpret_cast<void**>(&xml));
  BSTR key = NewBstr("{0F3A2B1C-0000-4000-8000-100000005000}");
  for (auto _ : state) {
    BSTR value = nullptr;
    if (xml->LookupValue(key, &value) != S_OK) {
      state.SkipWithError("key not found");
      break;
    }
    SysFreeString(value);
  }
  SysFreeString(key);
  xml->Release();
  xml2->Release();
  SysFreeString(document);
}
BENCHMARK(BM_LookupValue);

}  // namespace

BENCHMARK_MAIN();
