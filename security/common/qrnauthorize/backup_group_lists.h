// The process-wide backup group lists of the role lookup: the last group
// list the group resolution delivered for each user name (compared with
// case), and when. Every authorizer of the process shares them; they grow
// with every user whose groups were resolved and are never emptied while the
// library is loaded. Guarded by syncGroup (process_state.h): hold it for any
// access.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace qrn {

struct GroupBackups {
  std::unordered_map<std::string, std::vector<std::string>> groups;
  // Seconds since 1 January 1970 at which the list was delivered.
  std::map<std::string, int64_t> times;
};

GroupBackups& BackupGroupLists();

}  // namespace qrn
