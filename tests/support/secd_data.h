// Generated qrnsecd data files for tests and benchmarks that need many
// objects. Header-only, so benchmarks can use it without the test library.
#pragma once

#include <cstdio>
#include <string>

namespace qrn::test {

// A data file with one application "Large" whose groups hold `objects`
// secured objects named "Large.Object000000", "Large.Object000001", ...
// (100 per group "Group0000", ...), each with the ACL "Operators:7;Guests:1",
// and the roles Operators (group SALES\Operators, user SALES\bob) and Guests
// (group Everyone). The application document takes about 125 bytes per
// object: 42000 objects give some 5 MiB.
inline std::string LargeDataJson(size_t objects) {
  auto guid = [](unsigned kind, size_t n) {
    char text[48];
    std::snprintf(text, sizeof text, "{%08X-0000-4000-8000-%012zX}", kind, n);
    return std::string(text);
  };
  auto object_name = [](size_t n) {
    char text[48];
    std::snprintf(text, sizeof text, "Large.Object%06zu", n);
    return std::string(text);
  };
  std::string json =
      R"({"format": 1, "timestamp": "12/01/2026 10:00:00 AM", "applications": [{"name": "Large", )";
  json += "\"id\": \"" + guid(1, 0) + "\", \"groups\": [";
  for (size_t g = 0; g * 100 < objects; ++g) {
    char group[48];
    std::snprintf(group, sizeof group, "Group%04zu", g);
    json += g ? ", " : "";
    json +=
        "{\"name\": \"" + std::string(group) + "\", \"id\": \"" + guid(2, g) + "\", \"objects\": [";
    for (size_t o = g * 100; o < objects && o < (g + 1) * 100; ++o) {
      json += o % 100 ? ", " : "";
      json += "{\"name\": \"" + object_name(o) + "\", \"id\": \"" + guid(3, o) + "\"}";
    }
    json += "]}";
  }
  json += "]}], \"roles\": [";
  json += "{\"id\": \"" + guid(4, 1) +
          R"(", "name": "Operators", "groups": ["SALES\\Operators"], "users": ["SALES\\bob"]}, )";
  json += "{\"id\": \"" + guid(4, 2) + R"(", "name": "Guests", "groups": ["Everyone"]}], )";
  json += "\"acls\": {";
  for (size_t o = 0; o < objects; ++o) {
    json += o ? ", " : "";
    json += "\"" + object_name(o) + "\": \"Operators:7;Guests:1\"";
  }
  json += R"(}, "userGroups": {"SALES\\bob": ["SALES/Operators"]}})";
  return json;
}

}  // namespace qrn::test
