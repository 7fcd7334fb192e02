// qrnauth apps | id APP [GROUP [OBJECT]]: the application directory of the
// loaded security data, with the identifiers the security server uses.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/com_owners.h"
#include "security/common/qrnauthorize/loaded_state_view.h"
#include "tools/qrnauth/command.h"

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
    texts.push_back(qrn::BstrText(text));
    SysFreeString(text);
  }
  return texts;
}

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
  qrn::BstrRef a = qrn::MakeBstrRef(app), g = qrn::MakeBstrRef(group), o = qrn::MakeBstrRef(object);
  BSTR id = nullptr;
  authorizer.GetSecurityId(a.get(), g.get(), o.get(), &id);
  qrn::BstrRef owner(id);
  return qrn::BstrText(id);
}

int Apps(Arguments& args) {
  args.Finish();
  CQRNAuthorize authorizer;
  LoadOrThrow(authorizer);
  IQrnXml2* document = nullptr;
  BSTR timestamp = nullptr;
  if (FAILED(authorizer.GetAppCache(&document, &timestamp)))
    throw CommandError("no application document is loaded");
  qrn::ComRef<IQrnXml2> held(document);
  qrn::BstrRef timestamp_owner(timestamp);

  for (const std::string& app : qrn::ApplicationNames(document)) {
    std::cout << app << "  " << Id(authorizer, app) << "\n";
    Lists groups;
    qrn::BstrRef a = qrn::MakeBstrRef(app);
    if (FAILED(authorizer.GetSecureGroups(a.get(), &groups.names, &groups.ids))) continue;
    const std::vector<std::string> group_names = ListTexts(groups.names);
    const std::vector<std::string> group_ids = ListTexts(groups.ids);
    for (size_t g = 0; g < group_names.size(); ++g) {
      std::cout << "  " << group_names[g] << "  " << group_ids[g] << "\n";
      Lists objects;
      qrn::BstrRef gn = qrn::MakeBstrRef(group_names[g]);
      if (FAILED(authorizer.GetSecureGroupMembers(a.get(), gn.get(), &objects.names, &objects.ids)))
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
