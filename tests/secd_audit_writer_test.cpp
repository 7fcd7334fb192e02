// The audit writer's queue without a database: bounded in records and in
// bytes, and a stop that does not wait for a database that never comes.
#include <gtest/gtest.h>

#include <chrono>

#include "server/audit_writer.h"
#include "tests/support/free_port.h"

namespace qrn::test {
namespace {

TEST(AuditWriterQueue, IsBoundedInRecordsAndBytesAndStopsInTime) {
  const std::string nowhere =
      "postgresql://qrn@127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/none";
  const auto record = [](size_t size) {
    return secd::AuditRecord{std::chrono::system_clock::now(), std::string(size, 'u'), "a", "s",
                             "c"};
  };
  {
    secd::AuditWriter by_count(nowhere, 3);
    for (int i = 0; i < 5; ++i) by_count.Add(record(10));
    EXPECT_EQ(by_count.Queued(), 3u);
    EXPECT_EQ(by_count.Dropped(), 2u);
  }
  secd::AuditWriter by_bytes(nowhere, 1000, 100);
  by_bytes.Add(record(37));  // 40 bytes with the other fields
  by_bytes.Add(record(37));
  by_bytes.Add(record(37));  // would make 120
  by_bytes.Add(record(17));  // 20 more still fit
  EXPECT_EQ(by_bytes.Queued(), 3u);
  EXPECT_EQ(by_bytes.Dropped(), 1u);

  by_bytes.Start("test");
  const auto start = std::chrono::steady_clock::now();
  by_bytes.Stop(std::chrono::milliseconds(200));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(by_bytes.Queued(), 0u);
  EXPECT_EQ(by_bytes.Dropped(), 4u);
  EXPECT_EQ(by_bytes.Written(), 0u);
  by_bytes.Add(record(1));  // after the stop: counted, not kept
  EXPECT_EQ(by_bytes.Dropped(), 5u);
}

}  // namespace
}  // namespace qrn::test
