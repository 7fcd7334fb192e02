// Whether the JSON store serves the file on disk: what a load balancer's
// health check asks of an instance.
#include <gtest/gtest.h>

#include <filesystem>

#include "server/datastore.h"
#include "tests/support/secd.h"

namespace qrn::test {
namespace {

TEST(DataStoreServable, OnlyWhileTheFileOnDiskIsTheOneInService) {
  TempDir dir;
  const std::string path = dir.File("data.json");
  const std::string good = ReadFile(SampleDataPath());
  WriteDataFile(path, good);
  secd::DataStore store(path);
  std::string why;
  ASSERT_TRUE(store.Load(&why)) << why;
  EXPECT_TRUE(store.Servable(&why)) << why;
  const std::string served = store.Current()->documents.combined;

  // A malformed replacement keeps the old data in service, but that data is
  // no longer what the file says.
  WriteDataFile(path, "{\"format\": 1, \"roles\": [");
  EXPECT_FALSE(store.Servable(&why));
  EXPECT_NE(why.find(path), std::string::npos) << why;
  EXPECT_EQ(store.Current()->documents.combined, served);

  WriteDataFile(path, good.substr(0, good.rfind('}')) + ", \"timestamp\": \"new\"}");
  EXPECT_TRUE(store.Servable(&why)) << why;
  EXPECT_NE(store.Current()->documents.combined, served);

  std::filesystem::remove(path);
  EXPECT_FALSE(store.Servable(&why));
  EXPECT_TRUE(store.Current());
}

}  // namespace
}  // namespace qrn::test
