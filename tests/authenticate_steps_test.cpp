// The handshake engine's step semantics, through provider tables of the
// test's own: scripted statuses the real mechanism never returns, and the
// real GSSAPI table with the client's tokens damaged on their way to the
// server step.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "platform/sspi.h"
#include "qrnauth/qrnauthenticate.h"
#include "tests/support/authorize_env.h"
#include "tests/support/test_env.h"

namespace {

using namespace qrn::platform;

// (detail, source) of every entry of the authentication trail.
std::vector<std::pair<std::string, std::string>> Trail() {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const qrn::test::TrailRow& row : qrn::test::AuthenticationTrailRows())
    rows.emplace_back(row.detail, row.source);
  return rows;
}

// ---- a scripted provider -------------------------------------------------------

struct Script {
  std::vector<SECURITY_STATUS> client, server;  // statuses of successive steps
  size_t client_calls = 0, server_calls = 0, completes = 0;
  int acquired = 0, freed = 0, contexts = 0, deleted = 0;
  std::vector<bool> client_had_context, client_had_input;
  std::vector<uint32_t> server_input_length;
  SEC_WINNT_AUTH_IDENTITY_A last_identity{};  // lengths and flags; texts not kept
  std::string last_user;
  bool outbound_identity = false, inbound_identity = false;
  bool package_fails = false;
};
Script script;
uintptr_t next_handle = 100;

SECURITY_STATUS FakeQuery(const char*, SecPkgInfoA** info) {
  if (script.package_fails) return SEC_E_SECPKG_NOT_FOUND;
  static SecPkgInfoA block{0, 1, 10, 64, nullptr, nullptr};
  *info = &block;
  return SEC_E_OK;
}
SECURITY_STATUS FakeFree(void*) { return SEC_E_OK; }
SECURITY_STATUS FakeAcquire(const char*, const char*, uint32_t use, void*, void* auth, void*, void*,
                            CredHandle* cred, TimeStamp*) {
  ++script.acquired;
  if (use == SECPKG_CRED_OUTBOUND) {
    script.outbound_identity = auth != nullptr;
    if (auth) {
      // The identity lives only for the call: keep copies of what it says.
      script.last_identity = *static_cast<SEC_WINNT_AUTH_IDENTITY_A*>(auth);
      script.last_user.assign(reinterpret_cast<char*>(script.last_identity.User),
                              script.last_identity.UserLength);
      script.last_identity.User = nullptr;
      script.last_identity.Domain = nullptr;
      script.last_identity.Password = nullptr;
    }
  } else {
    script.inbound_identity = auth != nullptr;
  }
  *cred = {next_handle++, 1};
  return SEC_E_OK;
}
SECURITY_STATUS FakeFreeCred(CredHandle*) {
  ++script.freed;
  return SEC_E_OK;
}
SECURITY_STATUS Produce(SecBufferDesc* out, uint32_t length) {
  SecBuffer& b = out->pBuffers[0];
  if (b.cbBuffer < length) return SEC_E_BUFFER_TOO_SMALL;
  std::memset(b.pvBuffer, 'T', length);
  b.cbBuffer = length;
  return SEC_E_OK;
}
SECURITY_STATUS FakeInit(CredHandle*, CtxtHandle* ctx, const char* target, uint32_t, uint32_t,
                         uint32_t, SecBufferDesc* in, uint32_t, CtxtHandle* new_ctx,
                         SecBufferDesc* out, uint32_t*, TimeStamp*) {
  EXPECT_STREQ(target, "NTLM");
  script.client_had_context.push_back(ctx != nullptr);
  script.client_had_input.push_back(in != nullptr);
  if (ctx == nullptr) {
    ++script.contexts;
    *new_ctx = {next_handle++, 2};
  }
  SECURITY_STATUS s = script.client[script.client_calls++];
  if (s >= 0) Produce(out, 10 + static_cast<uint32_t>(script.client_calls));
  return s;
}
SECURITY_STATUS FakeAccept(CredHandle*, CtxtHandle* ctx, SecBufferDesc* in, uint32_t, uint32_t,
                           CtxtHandle* new_ctx, SecBufferDesc* out, uint32_t*, TimeStamp*) {
  script.server_input_length.push_back(in->pBuffers[0].cbBuffer);
  if (ctx == nullptr) {
    ++script.contexts;
    *new_ctx = {next_handle++, 2};
  }
  SECURITY_STATUS s = script.server[script.server_calls++];
  if (s >= 0) Produce(out, 20 + static_cast<uint32_t>(script.server_calls));
  return s;
}
SECURITY_STATUS FakeComplete(CtxtHandle*, SecBufferDesc*) {
  ++script.completes;
  return SEC_E_OK;
}
SECURITY_STATUS FakeDelete(CtxtHandle*) {
  ++script.deleted;
  return SEC_E_OK;
}

SecurityFunctionTableA FakeTable(bool with_complete) {
  return {1,
          FakeQuery,
          FakeFree,
          FakeAcquire,
          FakeFreeCred,
          FakeInit,
          FakeAccept,
          with_complete ? FakeComplete : nullptr,
          FakeDelete,
          nullptr,
          nullptr,
          nullptr};
}

class StepsTest : public ::testing::Test {
 protected:
  void SetUp() override { script = Script(); }
  qrn::test::HiveSandbox sandbox_;
};

TEST_F(StepsTest, FourLegsHandTokensOverAndPassContexts) {
  SecurityFunctionTableA table = FakeTable(true);
  script.client = {SEC_I_CONTINUE_NEEDED, SEC_E_OK};
  script.server = {SEC_I_CONTINUE_NEEDED, SEC_E_OK};
  {
    CQRNAuthenticate auth(&table);
    EXPECT_TRUE(auth.AuthenticateUser("DOM", "alice", "pw"));
    // The first client step passes neither context nor input; the second both.
    EXPECT_EQ(script.client_had_context, (std::vector<bool>{false, true}));
    EXPECT_EQ(script.client_had_input, (std::vector<bool>{false, true}));
    // Each server step consumes exactly what the client step produced.
    EXPECT_EQ(script.server_input_length, (std::vector<uint32_t>{11, 12}));
    // The explicit identity is narrow UTF-8 (flags 1) and only outbound.
    ASSERT_TRUE(script.outbound_identity);
    EXPECT_FALSE(script.inbound_identity);
    EXPECT_EQ(script.last_identity.Flags, SEC_WINNT_AUTH_IDENTITY_ANSI);
    EXPECT_EQ(script.last_user, "alice");
    EXPECT_EQ(script.last_identity.DomainLength, 3u);
    EXPECT_EQ(script.completes, 0u);
    // A second check releases the handles of the first before replacing them.
    script.client.insert(script.client.end(), {SEC_I_CONTINUE_NEEDED, SEC_E_OK});
    script.server.insert(script.server.end(), {SEC_I_CONTINUE_NEEDED, SEC_E_OK});
    EXPECT_TRUE(auth.AuthenticateUser("DOM", "alice", "pw"));
    EXPECT_EQ(script.freed, 2);
    EXPECT_EQ(script.deleted, 2);
  }
  // Everything acquired is released by the time the object is gone.
  EXPECT_EQ(script.acquired, 4);
  EXPECT_EQ(script.freed, 4);
  EXPECT_EQ(script.contexts, 4);
  EXPECT_EQ(script.deleted, 4);
}

TEST_F(StepsTest, CompleteStatusNeedsCompleteAuthToken) {
  script.client = {SEC_I_COMPLETE_AND_CONTINUE, SEC_I_COMPLETE_NEEDED};
  script.server = {SEC_I_CONTINUE_NEEDED, SEC_E_OK};
  SecurityFunctionTableA with = FakeTable(true);
  {
    CQRNAuthenticate auth(&with);
    EXPECT_TRUE(auth.AuthenticateUser("DOM", "alice", "pw"));
    EXPECT_EQ(script.completes, 2u);
  }
  script = Script();
  script.client = {SEC_I_COMPLETE_AND_CONTINUE};
  SecurityFunctionTableA without = FakeTable(false);
  CQRNAuthenticate auth(&without);
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "alice", "pw"));
  EXPECT_EQ(script.server_calls, 0u);  // the check ends at the failing step
}

TEST_F(StepsTest, EmptyCredentialsMakeNoProviderCall) {
  SecurityFunctionTableA table = FakeTable(true);
  CQRNAuthenticate auth(&table);
  EXPECT_TRUE(auth.AuthenticateUser("", nullptr, ""));
  EXPECT_EQ(script.acquired, 0);
  EXPECT_EQ(script.client_calls, 0u);
  // Credentials without a user name are denied before any provider call:
  // the provider's default credentials must never answer for them.
  script.client = {SEC_E_OK, SEC_E_OK};
  script.server = {SEC_E_OK, SEC_E_OK};
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "", "pw"));
  EXPECT_FALSE(auth.AuthenticateUser("", "", "pw"));
  EXPECT_EQ(script.acquired, 0);
  EXPECT_EQ(script.client_calls, 0u);
}

TEST_F(StepsTest, ServerFailuresGoToTheTrailAtTheirLines) {
  SecurityFunctionTableA table = FakeTable(true);
  const SECURITY_STATUS statuses[] = {SEC_E_INVALID_TOKEN, SEC_E_INVALID_HANDLE, SEC_E_LOGON_DENIED,
                                      SEC_E_INTERNAL_ERROR, SEC_E_BUFFER_TOO_SMALL};
  CQRNAuthenticate auth(&table);
  for (SECURITY_STATUS s : statuses) {
    script.client.push_back(SEC_I_CONTINUE_NEEDED);
    script.server.push_back(s);
    EXPECT_FALSE(auth.AuthenticateUser("DOM", "alice", "pw"));
  }
  const std::string where = "security/common/qrnauthenticate(";
  const std::string what = "):GenServerContext.AcceptSecurityContext";
  auto rows = Trail();
  ASSERT_EQ(rows.size(), 4u);  // the fifth status is not recorded
  EXPECT_EQ(rows[0], std::make_pair(std::string("Invalid Token"), where + "1194" + what));
  EXPECT_EQ(rows[1], std::make_pair(std::string("Invalid Handle"), where + "1198" + what));
  EXPECT_EQ(rows[2], std::make_pair(std::string("Logon denied"), where + "1203" + what));
  EXPECT_EQ(rows[3], std::make_pair(std::string("Internal error"), where + "1208" + what));
  // A failed client step records nothing.
  script.client.push_back(SEC_E_INTERNAL_ERROR);
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "alice", "pw"));
  EXPECT_EQ(Trail().size(), 4u);
}

TEST_F(StepsTest, ObjectWithoutPackageFailsCleanly) {
  script.package_fails = true;
  SecurityFunctionTableA table = FakeTable(true);
  CQRNAuthenticate auth(&table);
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "alice", "pw"));
  EXPECT_FALSE(auth.AuthenticateUser("", "", ""));
  EXPECT_FALSE(auth.Authenticate());
  EXPECT_EQ(script.acquired, 0);
}

// ---- the real mechanism with damaged client tokens ----------------------------

using Damage = void (*)(uint8_t* token, uint32_t* length);
Damage damage_negotiate = nullptr;
Damage damage_authenticate = nullptr;
int init_calls = 0;

SECURITY_STATUS DamagingInit(CredHandle* cred, CtxtHandle* ctx, const char* target, uint32_t req,
                             uint32_t r1, uint32_t rep, SecBufferDesc* in, uint32_t r2,
                             CtxtHandle* new_ctx, SecBufferDesc* out, uint32_t* attr,
                             TimeStamp* expiry) {
  SECURITY_STATUS s = InitSecurityInterfaceA()->InitializeSecurityContextA(
      cred, ctx, target, req, r1, rep, in, r2, new_ctx, out, attr, expiry);
  Damage d = ++init_calls == 1 ? damage_negotiate : damage_authenticate;
  if (s >= 0 && d) d(static_cast<uint8_t*>(out->pBuffers[0].pvBuffer), &out->pBuffers[0].cbBuffer);
  return s;
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = v & 0xFF;
  p[1] = v >> 8;
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (v >> (8 * i)) & 0xFF;
}

class DamagedTokenTest : public ::testing::TestWithParam<std::pair<const char*, Damage>> {
 protected:
  void SetUp() override {
    std::string users = sandbox_.dir().File("users");
    qrn::test::WriteFile(users, "DOM:alice:secret\n");
    setenv("NTLM_USER_FILE", users.c_str(), 1);
  }
  qrn::test::HiveSandbox sandbox_;
};

TEST_P(DamagedTokenTest, ServerStepRefusesWithInvalidToken) {
  SecurityFunctionTableA table = *InitSecurityInterfaceA();
  table.InitializeSecurityContextA = DamagingInit;
  std::string name = GetParam().first;
  bool negotiate = name.rfind("negotiate", 0) == 0;
  damage_negotiate = negotiate ? GetParam().second : nullptr;
  damage_authenticate = negotiate ? nullptr : GetParam().second;
  CQRNAuthenticate auth(&table);
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "alice", "secret"));
  auto rows = Trail();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].first, "Invalid Token");
  EXPECT_NE(rows[0].second.find("(1194)"), std::string::npos);
  // The same object still verifies sound tokens afterwards.
  damage_negotiate = damage_authenticate = nullptr;
  init_calls = 0;
  EXPECT_TRUE(auth.AuthenticateUser("DOM", "alice", "secret"));
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, DamagedTokenTest,
    ::testing::Values(std::make_pair(
                          "negotiate_signature", +[](uint8_t* t, uint32_t*) { t[0] ^= 0xFF; }),
                      std::make_pair(
                          "negotiate_truncated", +[](uint8_t*, uint32_t* n) { *n = 20; }),
                      std::make_pair(
                          "negotiate_domain_outside",
                          +[](uint8_t* t, uint32_t*) {
                            Put16(t + 16, 8);
                            Put32(t + 20, 0xFFFFFFF0);
                          }),
                      std::make_pair(
                          "authenticate_type", +[](uint8_t* t, uint32_t*) { t[8] = 1; }),
                      std::make_pair(
                          "authenticate_truncated", +[](uint8_t*, uint32_t* n) { *n = 60; }),
                      std::make_pair(
                          "authenticate_cut_payload", +[](uint8_t*, uint32_t* n) { *n -= 40; }),
                      // A user name longer than the mechanism's buffers, inside the token.
                      std::make_pair(
                          "authenticate_overlong_user",
                          +[](uint8_t* t, uint32_t* n) {
                            std::memset(t + *n, 'A', 600);
                            Put16(t + 36, 600);
                            Put16(t + 38, 600);
                            Put32(t + 40, *n);
                            *n += 600;
                          }),
                      std::make_pair(
                          "authenticate_user_plus_domain",
                          +[](uint8_t* t, uint32_t* n) {
                            // 2 x 256 bytes of U+4E00: 384 UTF-8 bytes each.
                            for (int i = 0; i < 512; i += 2) {
                              t[*n + i] = 0x00;
                              t[*n + i + 1] = 0x4E;
                            }
                            Put16(t + 28, 256);
                            Put16(t + 30, 256);
                            Put32(t + 32, *n);
                            Put16(t + 36, 256);
                            Put16(t + 38, 256);
                            Put32(t + 40, *n + 256);
                            *n += 512;
                          })),
    [](const auto& info) { return std::string(info.param.first); });

// ---- the GSSAPI table itself ------------------------------------------------------

class ProviderTest : public DamagedTokenTest {};

TEST_F(ProviderTest, ShortNegotiateIsPaddedAndAnsweredWithoutVersion) {
  SecurityFunctionTableA* t = InitSecurityInterfaceA();
  CredHandle cred{};
  ASSERT_EQ(t->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_INBOUND, nullptr, nullptr,
                                         nullptr, nullptr, &cred, nullptr),
            SEC_E_OK);
  // A 32-byte NEGOTIATE without the version field: Unicode, OEM, request
  // target, NTLM, always sign, extended session security.
  uint8_t negotiate[32] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 1, 0, 0, 0};
  Put32(negotiate + 12, 0x00088207);
  std::vector<uint8_t> out(kNtlmMaxToken);
  SecBuffer ib{sizeof negotiate, SECBUFFER_TOKEN, negotiate};
  SecBuffer ob{kNtlmMaxToken, SECBUFFER_TOKEN, out.data()};
  SecBufferDesc id{SECBUFFER_VERSION, 1, &ib}, od{SECBUFFER_VERSION, 1, &ob};
  CtxtHandle ctx{};
  ASSERT_EQ(t->AcceptSecurityContext(&cred, nullptr, &id, 0, SECURITY_NATIVE_DREP, &ctx, &od,
                                     nullptr, nullptr),
            SEC_I_CONTINUE_NEEDED);
  ASSERT_GE(ob.cbBuffer, 48u);
  EXPECT_EQ(out[8], 2);          // a CHALLENGE
  EXPECT_EQ(out[23] & 0x02, 0);  // "version present" cleared
  // Released handles are refused afterwards, like handles never issued.
  EXPECT_EQ(t->DeleteSecurityContext(&ctx), SEC_E_OK);
  EXPECT_EQ(t->DeleteSecurityContext(&ctx), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(t->FreeCredentialsHandle(&cred), SEC_E_OK);
  EXPECT_EQ(t->FreeCredentialsHandle(&cred), SEC_E_INVALID_HANDLE);
  CtxtHandle foreign{1, 2};
  EXPECT_EQ(t->AcceptSecurityContext(&cred, &foreign, &id, 0, SECURITY_NATIVE_DREP, &foreign, &od,
                                     nullptr, nullptr),
            SEC_E_INVALID_HANDLE);
}

TEST_F(ProviderTest, InitiatorRefusesOverlongNames) {
  SecurityFunctionTableA* t = InitSecurityInterfaceA();
  std::string user(300, 'u'), domain = "DOM", pw = "secret";
  SEC_WINNT_AUTH_IDENTITY_A id{reinterpret_cast<unsigned char*>(user.data()),
                               static_cast<uint32_t>(user.size()),
                               reinterpret_cast<unsigned char*>(domain.data()),
                               3,
                               reinterpret_cast<unsigned char*>(pw.data()),
                               6,
                               SEC_WINNT_AUTH_IDENTITY_ANSI};
  CredHandle cred{};
  EXPECT_EQ(t->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_OUTBOUND, nullptr, &id,
                                         nullptr, nullptr, &cred, nullptr),
            SEC_E_UNKNOWN_CREDENTIALS);
}

TEST_F(ProviderTest, InitiatorRefusesChallengesWithoutSoundTargetInfo) {
  SecurityFunctionTableA* t = InitSecurityInterfaceA();
  std::string user = "alice", domain = "DOM", pw = "secret";
  SEC_WINNT_AUTH_IDENTITY_A id{reinterpret_cast<unsigned char*>(user.data()),
                               5,
                               reinterpret_cast<unsigned char*>(domain.data()),
                               3,
                               reinterpret_cast<unsigned char*>(pw.data()),
                               6,
                               SEC_WINNT_AUTH_IDENTITY_ANSI};
  CredHandle client{}, server{};
  ASSERT_EQ(t->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_OUTBOUND, nullptr, &id,
                                         nullptr, nullptr, &client, nullptr),
            SEC_E_OK);
  ASSERT_EQ(t->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_INBOUND, nullptr, nullptr,
                                         nullptr, nullptr, &server, nullptr),
            SEC_E_OK);
  // The mechanism dereferences a missing target information list (found by
  // fuzzing): an empty list, and one without its end-of-list pair; and it
  // copies an empty target name when the flags declare a target type.
  for (int damage = 0; damage < 4; ++damage) {
    std::vector<uint8_t> negotiate(kNtlmMaxToken), challenge(kNtlmMaxToken), out(kNtlmMaxToken);
    SecBuffer nb{kNtlmMaxToken, SECBUFFER_TOKEN, negotiate.data()};
    SecBuffer cb{kNtlmMaxToken, SECBUFFER_TOKEN, challenge.data()};
    SecBuffer ob{kNtlmMaxToken, SECBUFFER_TOKEN, out.data()};
    SecBufferDesc nd{SECBUFFER_VERSION, 1, &nb}, cd{SECBUFFER_VERSION, 1, &cb},
        od{SECBUFFER_VERSION, 1, &ob};
    CtxtHandle cctx{}, sctx{};
    ASSERT_EQ(t->InitializeSecurityContextA(&client, nullptr, "NTLM", 0, 0, SECURITY_NATIVE_DREP,
                                            nullptr, 0, &cctx, &nd, nullptr, nullptr),
              SEC_I_CONTINUE_NEEDED);
    ASSERT_EQ(t->AcceptSecurityContext(&server, nullptr, &nd, 0, SECURITY_NATIVE_DREP, &sctx, &cd,
                                       nullptr, nullptr),
              SEC_I_CONTINUE_NEEDED);
    uint16_t info_length = challenge[40] | challenge[41] << 8;
    uint32_t info_offset = challenge[44] | challenge[45] << 8 | challenge[46] << 16;
    if (damage == 1) Put16(challenge.data() + 40, 0);
    if (damage == 2) std::memset(challenge.data() + info_offset + info_length - 4, 0xFF, 4);
    if (damage == 3) {
      Put16(challenge.data() + 12, 0);  // target name length
      challenge[22] |= 0x02;            // target type: server
    }
    SECURITY_STATUS expected = damage == 0 ? SEC_E_OK : SEC_E_INVALID_TOKEN;
    EXPECT_EQ(t->InitializeSecurityContextA(&client, &cctx, "NTLM", 0, 0, SECURITY_NATIVE_DREP, &cd,
                                            0, &cctx, &od, nullptr, nullptr),
              expected)
        << damage;
    t->DeleteSecurityContext(&cctx);
    t->DeleteSecurityContext(&sctx);
  }
}

// One conversation on the real table, driven by hand.
struct Conversation {
  SecurityFunctionTableA* t = InitSecurityInterfaceA();
  CredHandle server{};
  CtxtHandle sctx{};
  std::vector<uint8_t> out = std::vector<uint8_t>(kNtlmMaxToken);
  Conversation() {
    EXPECT_EQ(t->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_INBOUND, nullptr, nullptr,
                                           nullptr, nullptr, &server, nullptr),
              SEC_E_OK);
  }
  ~Conversation() {
    t->DeleteSecurityContext(&sctx);
    t->FreeCredentialsHandle(&server);
  }
  SECURITY_STATUS Accept(std::vector<uint8_t> token, bool first) {
    SecBuffer ib{static_cast<uint32_t>(token.size()), SECBUFFER_TOKEN, token.data()};
    SecBuffer ob{kNtlmMaxToken, SECBUFFER_TOKEN, out.data()};
    SecBufferDesc id{SECBUFFER_VERSION, 1, &ib}, od{SECBUFFER_VERSION, 1, &ob};
    SECURITY_STATUS s =
        t->AcceptSecurityContext(&server, first ? nullptr : &sctx, &id, 0, SECURITY_NATIVE_DREP,
                                 &sctx, &od, nullptr, nullptr);
    out.resize(s >= 0 ? ob.cbBuffer : 0);
    return s;
  }
};

std::vector<uint8_t> Negotiate(uint32_t flags) {
  std::vector<uint8_t> m(40, 0);
  std::memcpy(m.data(), "NTLMSSP", 8);
  m[8] = 1;
  Put32(m.data() + 12, flags);
  return m;
}

TEST_F(ProviderTest, AcceptorAnswersLogonOrTokenFailuresNotInternalErrors) {
  {  // A NEGOTIATE without any flag has nothing in common with the acceptor.
    Conversation c;
    EXPECT_EQ(c.Accept(Negotiate(0), true), SEC_E_INVALID_TOKEN);
  }
  // An anonymous AUTHENTICATE (no user, the anonymous flag) is no logon.
  for (bool flagged : {true, false}) {
    Conversation c;
    ASSERT_EQ(c.Accept(Negotiate(0xE2088297), true), SEC_I_CONTINUE_NEEDED);
    uint32_t flags = c.out[20] | c.out[21] << 8 | c.out[22] << 16 | uint32_t{c.out[23]} << 24;
    std::vector<uint8_t> anonymous(89, 0);
    std::memcpy(anonymous.data(), "NTLMSSP", 8);
    anonymous[8] = 3;
    for (int field : {12, 20, 28, 36, 44, 52}) Put32(anonymous.data() + field + 4, 88);
    Put16(anonymous.data() + 12, 1);  // LM response: one zero byte
    Put16(anonymous.data() + 14, 1);
    Put32(anonymous.data() + 60, flagged ? flags | 0x800 : flags);
    EXPECT_EQ(c.Accept(anonymous, false), SEC_E_LOGON_DENIED) << flagged;
  }
  {  // No NTLM message is longer than the maximum token, whatever it holds.
    Conversation c;
    std::vector<uint8_t> long_negotiate = Negotiate(0xE2088297);
    long_negotiate.resize(kNtlmMaxToken + 1, 0);
    EXPECT_EQ(c.Accept(long_negotiate, true), SEC_E_INVALID_TOKEN);
    long_negotiate.resize(kNtlmMaxToken);
    EXPECT_EQ(c.Accept(long_negotiate, true), SEC_I_CONTINUE_NEEDED);
  }
}

TEST_F(ProviderTest, InitiatorNeverFallsBackToDefaultCredentials) {
  SecurityFunctionTableA* t = InitSecurityInterfaceA();
  std::string domain = "DOM", pw = "secret";
  SEC_WINNT_AUTH_IDENTITY_A nameless{nullptr,
                                     0,
                                     reinterpret_cast<unsigned char*>(domain.data()),
                                     3,
                                     reinterpret_cast<unsigned char*>(pw.data()),
                                     6,
                                     SEC_WINNT_AUTH_IDENTITY_ANSI};
  CredHandle cred{};
  EXPECT_EQ(t->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_OUTBOUND, nullptr, &nameless,
                                         nullptr, nullptr, &cred, nullptr),
            SEC_E_UNKNOWN_CREDENTIALS);
  // A password that is not UTF-8 has no NT hash.
  std::string user = "alice", bad = "\xC3";
  SEC_WINNT_AUTH_IDENTITY_A invalid{reinterpret_cast<unsigned char*>(user.data()),
                                    5,
                                    reinterpret_cast<unsigned char*>(domain.data()),
                                    3,
                                    reinterpret_cast<unsigned char*>(bad.data()),
                                    1,
                                    SEC_WINNT_AUTH_IDENTITY_ANSI};
  EXPECT_EQ(t->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_OUTBOUND, nullptr, &invalid,
                                         nullptr, nullptr, &cred, nullptr),
            SEC_E_UNKNOWN_CREDENTIALS);
}

TEST_F(ProviderTest, ImpersonationSwitchesOnlyTheCallingThread) {
  if (geteuid() != 0) GTEST_SKIP() << "switching ids needs root";
  qrn::test::WriteFile(sandbox_.dir().File("users"), "DOM:nobody:pw\n");
  SecurityFunctionTableA* t = InitSecurityInterfaceA();
  std::string user = "nobody", domain = "DOM", pw = "pw";
  SEC_WINNT_AUTH_IDENTITY_A id{reinterpret_cast<unsigned char*>(user.data()),
                               6,
                               reinterpret_cast<unsigned char*>(domain.data()),
                               3,
                               reinterpret_cast<unsigned char*>(pw.data()),
                               2,
                               SEC_WINNT_AUTH_IDENTITY_ANSI};
  CredHandle client{}, server{};
  ASSERT_EQ(t->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_OUTBOUND, nullptr, &id,
                                         nullptr, nullptr, &client, nullptr),
            SEC_E_OK);
  ASSERT_EQ(t->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_INBOUND, nullptr, nullptr,
                                         nullptr, nullptr, &server, nullptr),
            SEC_E_OK);
  std::vector<uint8_t> a(kNtlmMaxToken), b(kNtlmMaxToken);
  SecBuffer ab{kNtlmMaxToken, SECBUFFER_TOKEN, a.data()},
      bb{kNtlmMaxToken, SECBUFFER_TOKEN, b.data()};
  SecBufferDesc ad{SECBUFFER_VERSION, 1, &ab}, bd{SECBUFFER_VERSION, 1, &bb};
  CtxtHandle cctx{}, sctx{};
  ASSERT_EQ(t->InitializeSecurityContextA(&client, nullptr, "NTLM", 0, 0, SECURITY_NATIVE_DREP,
                                          nullptr, 0, &cctx, &ad, nullptr, nullptr),
            SEC_I_CONTINUE_NEEDED);
  // Not accepted yet: nothing to impersonate.
  EXPECT_EQ(t->ImpersonateSecurityContext(&cctx), SEC_E_INVALID_HANDLE);
  ASSERT_EQ(t->AcceptSecurityContext(&server, nullptr, &ad, 0, SECURITY_NATIVE_DREP, &sctx, &bd,
                                     nullptr, nullptr),
            SEC_I_CONTINUE_NEEDED);
  ab.cbBuffer = kNtlmMaxToken;
  ASSERT_EQ(t->InitializeSecurityContextA(&client, &cctx, "NTLM", 0, 0, SECURITY_NATIVE_DREP, &bd,
                                          0, &cctx, &ad, nullptr, nullptr),
            SEC_E_OK);
  bb.cbBuffer = kNtlmMaxToken;
  ASSERT_EQ(t->AcceptSecurityContext(&server, &sctx, &ad, 0, SECURITY_NATIVE_DREP, &sctx, &bd,
                                     nullptr, nullptr),
            SEC_E_OK);
  // A thread that exists already keeps its ids (a thread started while
  // impersonating would inherit them).
  std::promise<void> switched;
  std::future<uid_t> other = std::async(std::launch::async, [&] {
    switched.get_future().wait();
    return geteuid();
  });
  ASSERT_EQ(t->ImpersonateSecurityContext(&sctx), SEC_E_OK);
  switched.set_value();
  EXPECT_EQ(other.get(), 0u);
  EXPECT_EQ(geteuid(), 65534u);
  EXPECT_EQ(t->RevertSecurityContext(&sctx), SEC_E_OK);
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_EQ(getegid(), 0u);
}

}  // namespace
