// An append-only log of whole lines, shared by the server's worker threads.
// Each line reaches the file in one write, so readers never see half a line.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace qrn::secd {

class LineLog {
 public:
  LineLog() = default;
  ~LineLog();
  LineLog(const LineLog&) = delete;
  LineLog& operator=(const LineLog&) = delete;

  // Opens (creates) the file for appending. False with *error on failure.
  bool Open(const std::string& path, std::string* error);
  bool is_open() const { return fd_ >= 0; }
  // Appends text and a line feed; line feeds inside text become blanks.
  void Append(std::string_view text);

 private:
  int fd_ = -1;
  std::mutex mutex_;
};

}  // namespace qrn::secd
