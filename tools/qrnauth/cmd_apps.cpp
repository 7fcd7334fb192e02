// qrnauth apps | id APP [GROUP [OBJECT]]: the application directory of the
// loaded security data, with the identifiers the security server uses.
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "qrnauth/admin.h"
#include "qrnauth/qrnauthorize.h"

namespace {

using qrn::cli::Arguments;
using qrn::cli::CommandError;

void LoadOrThrow(CQRNAuthorize& authorizer) {
  if (!authorizer.InitCache(nullptr, QRN_CLEAR_CACHE_GROUPS))
    throw CommandError("the security data could not be loaded (see --trail)");
}

std::vector<std::string> ListTexts(const VARIANT& list) {
  std::vector<std::string> texts;
  if (list.vt != (VT_ARRAY | VT_BSTR) || list.parray == nullptr) return texts;
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(list.parray, 1, &lower);
  SafeArrayGetUBound(list.parray, 1, &upper);
  for (LONG i = lower; i <= upper; ++i) {
    BSTR text = nullptr;
    SafeArrayGetElement(list.parray, &i, &text);
    texts.push_back(qrn::admin::BstrToUtf8(text));
    SysFreeString(text);
  }
  return texts;
}

// Frees a BSTR when the scope ends.
struct Bstr {
  BSTR text;
  explicit Bstr(const std::string& utf8) : text(qrn::admin::Utf8ToBstr(utf8)) {
    if (text == nullptr) throw std::bad_alloc();
  }
  ~Bstr() { SysFreeString(text); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
};

struct Lists {
  VARIANT names, ids;
  Lists() {
    VariantInit(&names);
    VariantInit(&ids);
  }
  ~Lists() {
    VariantClear(&names);
    VariantClear(&ids);
  }
};

std::string Id(CQRNAuthorize& authorizer, const std::string& app, const std::string& group = "",
               const std::string& object = "") {
  Bstr a(app), g(group), o(object);
  BSTR id = nullptr;
  authorizer.GetSecurityId(a.text, g.text, o.text, &id);
  const std::string text = qrn::admin::BstrToUtf8(id);
  SysFreeString(id);
  return text;
}

int Apps(Arguments& args) {
  args.Finish();
  CQRNAuthorize authorizer;
  LoadOrThrow(authorizer);
  if (!qrn::admin::DescribeLoaded(authorizer).loaded)
    throw CommandError("no application document is loaded");

  for (const std::string& app : qrn::admin::ApplicationNames(authorizer)) {
    std::cout << app << "  " << Id(authorizer, app) << "\n";
    Lists groups;
    Bstr a(app);
    if (FAILED(authorizer.GetSecureGroups(a.text, &groups.names, &groups.ids))) continue;
    const std::vector<std::string> group_names = ListTexts(groups.names);
    const std::vector<std::string> group_ids = ListTexts(groups.ids);
    for (size_t g = 0; g < group_names.size(); ++g) {
      std::cout << "  " << group_names[g] << "  " << group_ids[g] << "\n";
      Lists objects;
      Bstr gn(group_names[g]);
      if (FAILED(authorizer.GetSecureGroupMembers(a.text, gn.text, &objects.names, &objects.ids)))
        continue;
      const std::vector<std::string> object_names = ListTexts(objects.names);
      const std::vector<std::string> object_ids = ListTexts(objects.ids);
      for (size_t o = 0; o < object_names.size(); ++o)
        std::cout << "    " << object_names[o] << "  " << object_ids[o] << "\n";
    }
  }
  return qrn::cli::kExitOk;
}

int ShowId(Arguments& args) {
  const std::string app = args.Next("APP");
  const std::string group = args.NextOptional().value_or("");
  const std::string object = args.NextOptional().value_or("");
  args.Finish();
  CQRNAuthorize authorizer;
  LoadOrThrow(authorizer);
  const std::string id = Id(authorizer, app, group, object);
  if (id.empty()) {
    std::cout << "not found\n";
    return qrn::cli::kExitNo;
  }
  std::cout << id << "\n";
  return qrn::cli::kExitOk;
}

}  // namespace

QRN_CLI_COMMAND("apps", "the application directory with identifiers",
                "usage: qrnauth apps\n"
                "Loads the security data and prints every application, its groups and\n"
                "their secured objects as a tree, each with its identifier.",
                Apps);
QRN_CLI_COMMAND("id", "the identifier of an application, group or secured object",
                "usage: qrnauth id APP [GROUP [OBJECT]]\n"
                "Prints the identifier of the application APP, of its group GROUP or of\n"
                "the secured object OBJECT in that group (names without regard to case).\n"
                "Exit 1 when there is no such element.",
                ShowId);
