// Arbitrary bytes as NEGOTIATE, CHALLENGE and AUTHENTICATE tokens for the
// GSSAPI provider: the token guard and the mechanism behind it must refuse
// or accept them without reading or writing out of bounds. The mechanism
// keeps some OpenSSL state it never frees: run with
// ASAN_OPTIONS=detect_leaks=0 -detect_leaks=0.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/ntlm_token_guard.h"
#include "platform/sspi.h"

using namespace qrn::platform;

namespace {

SecurityFunctionTableA* table = nullptr;
CredHandle client_cred{}, server_cred{};

struct Step {
  std::vector<uint8_t> out = std::vector<uint8_t>(kNtlmMaxToken);
  SecBuffer in_buffer{}, out_buffer{};
  SecBufferDesc in{SECBUFFER_VERSION, 1, &in_buffer}, outd{SECBUFFER_VERSION, 1, &out_buffer};
  Step(const uint8_t* data, size_t size) {
    in_buffer = {static_cast<uint32_t>(size), SECBUFFER_TOKEN, const_cast<uint8_t*>(data)};
    out_buffer = {kNtlmMaxToken, SECBUFFER_TOKEN, out.data()};
  }
};

SECURITY_STATUS ClientStep(CtxtHandle* ctx, bool first, const uint8_t* data, size_t size,
                           std::vector<uint8_t>* produced) {
  Step s(data, size);
  SECURITY_STATUS st = table->InitializeSecurityContextA(
      &client_cred, first ? nullptr : ctx, "NTLM", 0, 0, SECURITY_NATIVE_DREP,
      first ? nullptr : &s.in, 0, ctx, &s.outd, nullptr, nullptr);
  if (produced && st >= 0) produced->assign(s.out.begin(), s.out.begin() + s.out_buffer.cbBuffer);
  return st;
}

SECURITY_STATUS ServerStep(CtxtHandle* ctx, bool first, const uint8_t* data, size_t size,
                           std::vector<uint8_t>* produced) {
  Step s(data, size);
  SECURITY_STATUS st =
      table->AcceptSecurityContext(&server_cred, first ? nullptr : ctx, &s.in, 0,
                                   SECURITY_NATIVE_DREP, ctx, &s.outd, nullptr, nullptr);
  if (produced && st >= 0) produced->assign(s.out.begin(), s.out.begin() + s.out_buffer.cbBuffer);
  return st;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/qrnauth-fuzz-XXXXXX";
  std::string folder = mkdtemp(pattern);
  std::string users = folder + "/users";
  if (FILE* f = std::fopen(users.c_str(), "w")) {
    // NT-hash entry: plain-text entries make the mechanism leak on every hashing.
    std::fputs("DOM\\alice:1000:XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX:878D8014606CDA29677A44EFA1353FC7:"
               "[U          ]:LCT-00000000:\n",
               f);
    std::fclose(f);
  }
  setenv("NTLM_USER_FILE", users.c_str(), 1);
  table = InitSecurityInterfaceA();
  std::string user = "alice", domain = "DOM", pw = "secret";
  SEC_WINNT_AUTH_IDENTITY_A id{reinterpret_cast<unsigned char*>(user.data()),
                               5,
                               reinterpret_cast<unsigned char*>(domain.data()),
                               3,
                               reinterpret_cast<unsigned char*>(pw.data()),
                               6,
                               SEC_WINNT_AUTH_IDENTITY_ANSI};
  if (table->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_OUTBOUND, nullptr, &id, nullptr,
                                       nullptr, &client_cred, nullptr) != SEC_E_OK ||
      table->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_INBOUND, nullptr, nullptr,
                                       nullptr, nullptr, &server_cred, nullptr) != SEC_E_OK) {
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The bytes as a NEGOTIATE to a fresh acceptor.
  CtxtHandle lone{};
  if (ServerStep(&lone, true, data, size, nullptr) >= 0) table->DeleteSecurityContext(&lone);

  // A sound NEGOTIATE and CHALLENGE, then the bytes as the CHALLENGE to the
  // client and as the AUTHENTICATE to the server.
  CtxtHandle client{}, server{};
  std::vector<uint8_t> negotiate, challenge;
  if (ClientStep(&client, true, nullptr, 0, &negotiate) < 0) std::abort();
  if (ServerStep(&server, true, negotiate.data(), negotiate.size(), &challenge) < 0) std::abort();
  ClientStep(&client, false, data, size, nullptr);
  SECURITY_STATUS accepted = ServerStep(&server, false, data, size, nullptr);
  // Whatever the mechanism accepted must have passed the guard.
  if (accepted >= 0 && !CheckNtlmAuthenticate(data, size)) std::abort();
  table->DeleteSecurityContext(&client);
  table->DeleteSecurityContext(&server);
  return 0;
}
