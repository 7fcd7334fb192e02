#include "tests/support/slapd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/support/free_port.h"

namespace qrn::test {

namespace {

constexpr char kSlapd[] = "/usr/sbin/slapd";
constexpr char kSlapadd[] = "/usr/sbin/slapadd";

constexpr char kSchema[] = R"(
attributetype ( 1.3.6.1.4.1.55555.1.1 NAME 'objectSid'
  EQUALITY octetStringMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.40 SINGLE-VALUE )
attributetype ( 1.3.6.1.4.1.55555.1.2 NAME 'sAMAccountName'
  EQUALITY caseIgnoreMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE )
objectclass ( 1.3.6.1.4.1.55555.2.1 NAME 'group' SUP top STRUCTURAL
  MUST cn MAY ( member $ objectSid $ sAMAccountName $ description ) )
objectclass ( 1.3.6.1.4.1.55555.2.2 NAME 'user' SUP top STRUCTURAL
  MUST cn MAY ( objectSid $ sAMAccountName $ uid $ userPassword ) )
objectclass ( 1.3.6.1.4.1.55555.2.3 NAME 'foreignSecurityPrincipal' SUP top STRUCTURAL
  MUST cn MAY objectSid )
objectclass ( 1.3.6.1.4.1.55555.2.4 NAME 'container' SUP top STRUCTURAL MUST cn )
)";

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

}  // namespace

std::string Slapd::RootDn(const std::string& suffix) { return "cn=admin," + suffix; }

Slapd::Slapd(const std::vector<SlapdDatabase>& databases) {
  WriteFile(dir_.File("directory.schema"), kSchema);
  std::string config =
      "include /etc/ldap/schema/core.schema\n"
      "include /etc/ldap/schema/cosine.schema\n"
      "include " +
      dir_.File("directory.schema") + "\n" + "pidfile " + dir_.File("slapd.pid") + "\n" +
      "argsfile " + dir_.File("slapd.args") + "\n" +
      "access to dn.base=\"\" by * read\n"
      "access to dn.base=\"cn=Subschema\" by * read\n";
  for (size_t i = 0; i < databases.size(); ++i) {
    const std::string folder = dir_.File("db" + std::to_string(i));
    std::filesystem::create_directories(folder);
    config += "\ndatabase ldif\ndirectory " + folder + "\nsuffix \"" + databases[i].suffix +
              "\"\nrootdn \"" + RootDn(databases[i].suffix) + "\"\nrootpw secret\n" +
              (databases[i].access.empty() ? std::string("access to * by * read\n")
                                           : databases[i].access);
  }
  WriteFile(dir_.File("slapd.conf"), config);
  for (size_t i = 0; i < databases.size(); ++i) {
    const std::string ldif = dir_.File("db" + std::to_string(i) + ".ldif");
    WriteFile(ldif, databases[i].ldif);
    const ProcessResult added = RunProcess(
        {kSlapadd, "-q", "-f", dir_.File("slapd.conf"), "-b", databases[i].suffix, "-l", ldif});
    if (added.exit_code != 0) {
      error_ = "slapadd failed: " + added.out + added.err;
      return;
    }
  }
  for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) Start(dir_.File("slapd.conf"));
}

bool Slapd::Start(const std::string& config) {
  port_ = FreeLoopbackPort();
  const std::string listen = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
  const pid_t pid = fork();
  if (pid == 0) {
    execl(kSlapd, kSlapd, "-h", listen.c_str(), "-f", config.c_str(), "-d", "0",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) {
    error_ = "fork failed";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Accepts(port_)) {
      pid_ = pid;
      return true;
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      error_ = "slapd exited at start";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  error_ = "slapd did not start listening";
  return false;
}

Slapd::~Slapd() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string Slapd::host_port() const { return "127.0.0.1:" + std::to_string(port_); }
std::string Slapd::uri() const { return "ldap://" + host_port(); }

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                       static_cast<uint8_t>(bytes[i + 1]) << 8 | static_cast<uint8_t>(bytes[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += kAlphabet[(v >> k) & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string MakeSid(uint32_t a, uint32_t b, uint32_t c, uint32_t rid) {
  std::string sid = {1, 5, 0, 0, 0, 0, 0, 5};
  for (const uint32_t sub : {21u, a, b, c, rid})
    for (int k = 0; k < 4; ++k) sid += static_cast<char>((sub >> (8 * k)) & 0xFF);
  return sid;
}

}  // namespace qrn::test
