// The hive store: per-hive immutable snapshots, change detection by a
// once-a-millisecond stat, and locked atomic-replace writes.
#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>

#include "platform/file_io.h"
#include "platform/hive.h"
#include "platform/os.h"
#include "platform/regfile.h"
#include "platform/text.h"

namespace qrn::platform {
namespace {

constexpr char kDefaultMachineHive[] = "/etc/qrnauth/machine.reg";

// A hive file's version: its identity, taken before each read.
using FileStamp = FileIdentity;

struct HiveState {
  RegHive hive;
  std::mutex mu;
  // Guarded by mu.
  bool loaded = false;
  std::string path;
  FileStamp stamp;
  std::shared_ptr<const HiveData> snapshot;
  std::string content;              // the bytes the snapshot was made from
  std::string reported;             // the malformed file already reported on stderr
  std::string unreadable;           // why the file could not be read ("" when it was)
  std::string reported_unreadable;  // that reason, once reported on stderr
  // CoarseMillis() + 1 of the last check (0: never checked).
  std::atomic<uint64_t> checked{0};
  std::atomic<uint64_t> generation{1};
};

__attribute__((noinline)) HiveState* NewStates() {
  auto* s = new HiveState[2];
  s[0].hive = RegHive::LocalMachine;
  s[1].hive = RegHive::CurrentUser;
  return s;
}

// Inlined: every access check reads a hive generation through it.
__attribute__((always_inline)) inline HiveState& StateOf(RegHive hive) {
  // Never destroyed: threads may still read while the process exits.
  static HiveState* const states = NewStates();
  return states[hive == RegHive::LocalMachine ? 0 : 1];
}

std::string DirName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void ParseHive(const std::string& bytes, RegHive hive, HiveData* data) {
  RegFile file;
  RegParseError error;
  if (!ParseRegFile(bytes, &file, &error)) {
    *data = HiveData();
    data->malformed = true;
    data->error = error;
    return;
  }
  *data = HiveData::FromFile(file, hive);
}

// A file changed less than this long ago may change again without its
// stamp changing (file times are coarse): its bytes are compared as well.
constexpr int64_t kRacyNanos = 100 * 1000000LL;

bool IsRacy(const FileStamp& stamp) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  const int64_t now_ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  return stamp.exists &&
         (now_ns - stamp.mtime_ns < kRacyNanos || now_ns - stamp.ctime_ns < kRacyNanos);
}

enum class ReadResult { kOk, kMissing, kUnreadable };

// How a hive file is read: a link is followed (the hive's path is the
// administrator's choice), but only a regular file of at most
// kMaxHiveFileBytes is taken, and a FIFO cannot stall the open.
ReadOptions HiveReadOptions() {
  ReadOptions options;
  options.max_bytes = kMaxHiveFileBytes;
  options.follow_links = true;
  return options;
}

// Reads and parses a hive file. A missing file is an empty hive; a file that
// does not parse gives a malformed hive; *why says why a file that exists
// could not be read.
ReadResult LoadHiveFile(const std::string& path, RegHive hive, HiveData* data, FileStamp* stamp,
                        mode_t* mode, std::string* content, std::string* why = nullptr) {
  *data = HiveData();
  *stamp = FileStamp();
  // The stamp is taken before the read: a change while it reads shows as a
  // changed stamp on the next check, never as an old stamp on new bytes.
  const FileStamp before = IdentifyFile(path);
  std::string bytes;
  const FileResult read = ReadFileChecked(path, &bytes, HiveReadOptions());
  if (!read.ok()) {
    if (read.error == FileError::kMissing && read.sys_errno == ENOENT) return ReadResult::kMissing;
    if (why != nullptr) *why = path + ": " + read.Describe();
    return ReadResult::kUnreadable;
  }
  *stamp = before;
  if (mode != nullptr && before.exists) *mode = static_cast<mode_t>(read.mode);
  ParseHive(bytes, hive, data);
  if (content != nullptr) *content = std::move(bytes);
  return ReadResult::kOk;
}

// Caller holds state.mu.
void ReportUnreadable(HiveState& state) {
  if (state.unreadable.empty()) state.reported_unreadable.clear();  // readable again
  if (state.unreadable.empty() || state.reported_unreadable == state.unreadable) return;
  state.reported_unreadable = state.unreadable;
  std::fprintf(stderr,
               "qrnauth: the configuration file %s; it reads as empty until it can be read\n",
               state.unreadable.c_str());
}

// Caller holds state.mu.
void ReportMalformed(HiveState& state, const std::string& path, const HiveData& data) {
  if (!data.malformed || state.reported == path) return;
  state.reported = path;
  std::fprintf(stderr,
               "qrnauth: the configuration file %s is malformed at line %d (%s); it reads as "
               "empty and will not be written until it is repaired\n",
               path.c_str(), data.error.line, data.error.message.c_str());
}

// Re-reads the hive when its file changed; at most once per coarse
// millisecond. coarse_now_ms is a CoarseMillis() reading.
void RefreshAt(HiveState& state, uint64_t coarse_now_ms, bool force = false) {
  const uint64_t now = coarse_now_ms + 1;
  if (!force && state.checked.load(std::memory_order_acquire) == now) return;
  std::lock_guard<std::mutex> lock(state.mu);
  if (!force && state.checked.load(std::memory_order_relaxed) == now) return;
  const std::string path = HivePath(state.hive);
  const FileStamp current = IdentifyFile(path);
  bool changed = !state.loaded || path != state.path || !(current == state.stamp);
  auto data = std::make_shared<HiveData>();
  FileStamp stamp;
  std::string content;
  if (!changed && IsRacy(current)) {
    // Same stamp, but the file is young enough to have been rewritten in
    // place within one tick of the file clock: compare its bytes.
    if (LoadHiveFile(path, state.hive, data.get(), &stamp, nullptr, &content) == ReadResult::kOk &&
        content != state.content) {
      changed = true;
    }
  } else if (changed) {
    std::string why;
    if (LoadHiveFile(path, state.hive, data.get(), &stamp, nullptr, &content, &why) ==
        ReadResult::kUnreadable) {
      stamp = current;  // try again when the file changes
    }
    state.unreadable = std::move(why);
  }
  if (changed) {
    ReportMalformed(state, path, *data);
    ReportUnreadable(state);
    state.snapshot = std::move(data);
    state.stamp = stamp;
    state.content = std::move(content);
    state.path = path;
    if (state.loaded) state.generation.fetch_add(1, std::memory_order_acq_rel);
    state.loaded = true;
  }
  state.checked.store(now, std::memory_order_release);
}

void Refresh(HiveState& state, bool force = false) { RefreshAt(state, CoarseMillis(), force); }

std::shared_ptr<const HiveData> Snapshot(RegHive hive) {
  HiveState& state = StateOf(hive);
  Refresh(state);
  std::lock_guard<std::mutex> lock(state.mu);
  return state.snapshot;
}

// Whether path is the hive's file as the environment names it now; compares
// without building the path.
bool IsHivePath(RegHive hive, std::string_view path) {
  const char* env =
      std::getenv(hive == RegHive::LocalMachine ? "QRNAUTH_MACHINE_HIVE" : "QRNAUTH_USER_HIVE");
  if (env != nullptr && *env != '\0') return path == env;
  if (hive == RegHive::LocalMachine) return path == kDefaultMachineHive;
  return path == HivePath(hive);
}

// The snapshot for opening a key: like Snapshot(), and also re-reads at once
// when the environment now names another hive file (so a program that points
// the hive elsewhere sees the new file on its next open).
std::shared_ptr<const HiveData> SnapshotForOpen(RegHive hive) {
  HiveState& state = StateOf(hive);
  Refresh(state);
  {
    std::lock_guard<std::mutex> lock(state.mu);
    if (IsHivePath(hive, state.path)) return state.snapshot;
  }
  Refresh(state, /*force=*/true);
  std::lock_guard<std::mutex> lock(state.mu);
  return state.snapshot;
}

bool MakeDirs(const std::string& dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (errno != ENOENT) return false;
  const std::string parent = DirName(dir);
  if (parent != dir && !MakeDirs(parent)) return false;
  return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// Whether this process may replace the hive file: the file (when present)
// and its folder (or the nearest existing ancestor, to be created below)
// must be writable.
bool MayWrite(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode) || access(path.c_str(), W_OK) != 0) return false;
  } else if (errno != ENOENT) {
    return false;
  }
  std::string dir = DirName(path);
  for (;;) {
    if (stat(dir.c_str(), &st) == 0) {
      return S_ISDIR(st.st_mode) && access(dir.c_str(), W_OK | X_OK) == 0;
    }
    if (errno != ENOENT || dir == "/" || dir == ".") return false;
    dir = DirName(dir);
  }
}

class FileLock {
 public:
  explicit FileLock(const std::string& path, mode_t mode) {
    // Beside the hive, possibly in a folder others may write: never through
    // a link, never a FIFO or device.
    fd_ =
        open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd_ < 0) return;
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd_);
      fd_ = -1;
      return;
    }
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The file a write replaces: a hive path that is a symbolic link (an
// administrator's choice of where the file lives) is written through, so the
// link stays.
std::string WriteTarget(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// One write: lock, re-read the file, let change edit the content (it
// returns ERROR_SUCCESS to have it written), replace the file, publish the
// new snapshot. The change sees the file as it is now, not the snapshot, so
// concurrent writers in other processes lose nothing.
long Transact(RegHive hive, const std::function<long(HiveData*)>& change) {
  HiveState& state = StateOf(hive);
  const std::string named = HivePath(hive);
  const std::string path = WriteTarget(named);
  if (!MayWrite(path) || !MakeDirs(DirName(path))) return ERROR_ACCESS_DENIED;
  const mode_t default_mode = hive == RegHive::LocalMachine ? 0644 : 0600;
  FileLock lock(path + ".lock", default_mode);
  if (!lock.held()) return ERROR_ACCESS_DENIED;

  auto data = std::make_shared<HiveData>();
  FileStamp stamp;
  mode_t mode = default_mode;
  if (LoadHiveFile(path, hive, data.get(), &stamp, &mode, nullptr) == ReadResult::kUnreadable) {
    return ERROR_ACCESS_DENIED;
  }
  if (data->malformed) {
    std::lock_guard<std::mutex> guard(state.mu);
    ReportMalformed(state, named, *data);
    return ERROR_BADDB;
  }
  const long result = change(data.get());
  if (result != ERROR_SUCCESS) return result;
  std::string content = SerializeRegFile(data->ToFile(hive));
  // The new file's stamp is left empty when another writer replaced it in
  // between, so the next check re-reads it.
  if (!ReplaceFileWithMode(path, content, mode, &stamp)) return ERROR_ACCESS_DENIED;

  std::lock_guard<std::mutex> guard(state.mu);
  state.snapshot = std::move(data);
  state.stamp = stamp;
  state.content = std::move(content);
  state.path = named;
  state.loaded = true;
  state.generation.fetch_add(1, std::memory_order_acq_rel);
  state.checked.store(CoarseMillis() + 1, std::memory_order_release);
  return ERROR_SUCCESS;
}

// Names and key paths with a line break cannot be written to the .reg text
// (the file would no longer parse, and every later read would see no keys).
bool FitsTheFile(std::string_view name) {
  return name.find_first_of("\r\n") == std::string_view::npos;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &pw, buffer, sizeof(buffer), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "/";
}

}  // namespace

std::string HivePath(RegHive hive) {
  if (hive == RegHive::LocalMachine) {
    const char* path = std::getenv("QRNAUTH_MACHINE_HIVE");
    return (path != nullptr && *path != '\0') ? path : kDefaultMachineHive;
  }
  const char* path = std::getenv("QRNAUTH_USER_HIVE");
  if (path != nullptr && *path != '\0') return path;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/qrnauth/user.reg";
  return HomeFolder() + "/.config/qrnauth/user.reg";
}

std::string HiveReadError(RegHive hive) {
  HiveState& state = StateOf(hive);
  Refresh(state);
  std::lock_guard<std::mutex> lock(state.mu);
  return state.unreadable;
}

uint64_t HiveGeneration(RegHive hive) { return HiveGeneration(hive, CoarseMillis()); }

uint64_t HiveGeneration(RegHive hive, uint64_t coarse_now_ms) {
  HiveState& state = StateOf(hive);
  // Looked at in this tick already: nothing to do (the common case).
  if (state.checked.load(std::memory_order_acquire) != coarse_now_ms + 1)
    RefreshAt(state, coarse_now_ms);
  return state.generation.load(std::memory_order_acquire);
}

struct RegistryKey::State {
  bool open = false;
  bool writable = false;
  RegHive hive = RegHive::LocalMachine;
  std::string path;    // relative to the hive root
  std::string folded;  // FoldCase(path)
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

long RegistryKey::Open(RegHive hive, std::string_view path) {
  Close();
  if (!state_) state_ = std::make_unique<State>();
  State& s = *state_;
  s.path.assign(NormalizeKeyPath(path));
  s.folded = FoldCase(s.path);
  if (!SnapshotForOpen(hive)->Exists(s.folded)) return ERROR_FILE_NOT_FOUND;
  s.hive = hive;
  s.writable = false;
  s.open = true;
  return ERROR_SUCCESS;
}

long RegistryKey::Create(RegHive hive, std::string_view path) {
  Close();
  if (!FitsTheFile(path)) return ERROR_INVALID_PARAMETER;
  if (!state_) state_ = std::make_unique<State>();
  State& s = *state_;
  s.path.assign(NormalizeKeyPath(path));
  s.folded = FoldCase(s.path);
  const std::shared_ptr<const HiveData> snapshot = SnapshotForOpen(hive);
  long result;
  if (snapshot->malformed) {
    result = ERROR_BADDB;
  } else if (snapshot->Exists(s.folded)) {
    result = MayWrite(HivePath(hive)) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
  } else {
    const std::string key_path = s.path;
    result = Transact(hive, [&key_path](HiveData* data) {
      data->FindOrAdd(key_path);
      return ERROR_SUCCESS;
    });
  }
  if (result != ERROR_SUCCESS) return result;
  s.hive = hive;
  s.writable = true;
  s.open = true;
  return ERROR_SUCCESS;
}

void RegistryKey::Close() {
  if (state_) state_->open = false;
}

bool RegistryKey::IsOpen() const { return state_ && state_->open; }

long RegistryKey::QueryValue(std::string_view name, uint32_t* type, void* data,
                             uint32_t* size) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  const std::shared_ptr<const HiveData> snapshot = Snapshot(state_->hive);
  const HiveKey* key = snapshot->Find(state_->folded);
  const RegFileValue* value = key != nullptr ? key->FindValue(name) : nullptr;
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->type;
  const auto needed = static_cast<uint32_t>(value->data.size());
  if (data == nullptr) {
    if (size != nullptr) *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (needed != 0) std::memcpy(data, value->data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

long RegistryKey::QueryRaw(std::string_view name, uint32_t* type,
                           std::vector<uint8_t>* data) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  const std::shared_ptr<const HiveData> snapshot = Snapshot(state_->hive);
  const HiveKey* key = snapshot->Find(state_->folded);
  const RegFileValue* value = key != nullptr ? key->FindValue(name) : nullptr;
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->type;
  if (data != nullptr) *data = value->data;
  return ERROR_SUCCESS;
}

long RegistryKey::SetString(std::string_view name, std::string_view text) {
  std::string bytes(text);
  bytes.push_back('\0');
  return SetRaw(name, REG_SZ, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

long RegistryKey::SetRaw(std::string_view name, uint32_t type, const void* data, uint32_t size) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (!state_->writable) return ERROR_ACCESS_DENIED;
  if ((data == nullptr && size != 0) || !FitsTheFile(name)) return ERROR_INVALID_PARAMETER;
  RegFileValue value;
  value.name.assign(name);
  value.type = type;
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (size != 0) value.data.assign(bytes, bytes + size);
  const std::string& path = state_->path;
  return Transact(state_->hive, [&](HiveData* hive) {
    hive->FindOrAdd(path)->Apply(value);
    return ERROR_SUCCESS;
  });
}

long RegistryKey::DeleteValue(std::string_view name) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (!state_->writable) return ERROR_ACCESS_DENIED;
  RegFileValue value;
  value.name.assign(name);
  value.remove = true;
  const std::string& folded = state_->folded;
  return Transact(state_->hive, [&](HiveData* hive) {
    HiveKey* found = hive->Find(folded);
    return found != nullptr && found->Apply(value) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

long ImportRegFile(const std::string& path, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  error->clear();
  std::string bytes;
  const FileResult read = ReadFileChecked(path, &bytes, HiveReadOptions());
  if (!read.ok()) {
    *error = path + ": " + read.Describe();
    return read.error == FileError::kMissing ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  }
  RegFile file;
  RegParseError parse_error;
  if (!ParseRegFile(bytes, &file, &parse_error)) {
    *error = path + ":" + std::to_string(parse_error.line) + ": " + parse_error.message;
    return ERROR_BADDB;
  }
  // Every section must name one of the two hives before anything is written.
  struct Step {
    RegHive hive;
    std::string key;
    const RegFileKey* section;
  };
  std::vector<Step> steps;
  std::vector<RegHive> order;
  for (const RegFileKey& section : file.keys) {
    RegHive hive;
    std::string_view rest;
    if (!SplitHiveRoot(section.path, &hive, &rest)) {
      *error = path + ":" + std::to_string(section.line) +
               ": key outside HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER";
      return ERROR_BADDB;
    }
    steps.push_back(Step{hive, std::string(NormalizeKeyPath(rest)), &section});
    if (order.empty() || (order.size() == 1 && order[0] != hive)) order.push_back(hive);
  }
  for (RegHive hive : order) {
    const long result = Transact(hive, [&](HiveData* data) {
      for (const Step& step : steps) {
        if (step.hive == hive) data->ApplySection(step.key, *step.section);
      }
      return ERROR_SUCCESS;
    });
    if (result != ERROR_SUCCESS) {
      *error = HivePath(hive) + ": cannot be written";
      return result;
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace qrn::platform
