// The security server's answer through the whole load: a canned HTTP server
// on a loopback port answers every request with the input, and an
// authorizer refreshes against it (the combined request, the documents'
// own requests, the checks of the documents, the cache-file writes) and
// then answers checks. Whatever the server sends, nothing may crash, hang
// or overrun.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "qrnauth/qrnauthorize.h"

namespace {

std::mutex answer_lock;
std::string answer;  // the body every request gets

void Serve(int listener) {
  for (;;) {
    const int client = accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    // Read the request head; the client sends no body.
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
      const ssize_t n = read(client, buffer, sizeof buffer);
      if (n <= 0) break;
      head.append(buffer, static_cast<size_t>(n));
    }
    std::string reply;
    {
      const std::lock_guard<std::mutex> hold(answer_lock);
      reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: " +
              std::to_string(answer.size()) + "\r\n\r\n" + answer;
    }
    for (size_t sent = 0; sent < reply.size();) {
      const ssize_t n = write(client, reply.data() + sent, reply.size() - sent);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    close(client);
  }
}

void WriteText(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}

// A private machine hive pointing at the canned server, a user hive and a
// temporary folder of their own, set before the library reads any of them.
void SetUp() {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    std::abort();
  std::thread(Serve, listener).detach();

  char folder[] = "/tmp/qrnauth-fuzz-XXXXXX";
  if (mkdtemp(folder) == nullptr) std::abort();
  const std::string base = folder;
  const std::string url =
      "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/mvt/security.aspx";
  WriteText(base + "/machine.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n\"URL\"=\"" +
                url +
                "\"\r\n\"NTGroupSupport\"=dword:00000000\r\n"
                "\"LogInfoToServer\"=dword:00000000\r\n\"HTTPTimeOut\"=dword:00000002\r\n\r\n");
  WriteText(base + "/user.reg", "Windows Registry Editor Version 5.00\r\n\r\n");
  setenv("QRNAUTH_MACHINE_HIVE", (base + "/machine.reg").c_str(), 1);
  setenv("QRNAUTH_USER_HIVE", (base + "/user.reg").c_str(), 1);
  setenv("TMPDIR", base.c_str(), 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    const std::lock_guard<std::mutex> hold(answer_lock);
    answer.assign(reinterpret_cast<const char*>(data), size);
  }
  static CQRNAuthorize* authorizer = [] {
    auto* made = new CQRNAuthorize;
    made->InitCache("SALES\\bob", 3);
    return made;
  }();
  bool refreshed = false;
  const bool loaded = authorizer->RefreshCache(refreshed, 3);
  if (loaded) {
    authorizer->CheckAccess("SALES\\bob", "Payroll.Monthly", 1);
    authorizer->CheckAccess("SALES\\alice", "Inventory.Items", 2);
    CQRNRoleList* roles = nullptr;
    BSTR stamp = nullptr;
    if (SUCCEEDED(authorizer->GetRolesCache(&roles, &stamp))) SysFreeString(stamp);
  }
  return 0;
}
