// NTLM: the primitives and the NTLMv2 messages against the published test
// vectors of the protocol's documentation (user "User", domain "Domain",
// password "Password", server challenge 0123456789abcdef, client challenge
// aa.., random session key 55.., time 0), and the security provider module
// through its function table as the HTTP tunnel loads it.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "platform/modules.h"
#include "platform/sspi.h"
#include "security/ntlm.h"
#include "security/ntlm_crypto.h"
#include "support/test_support.h"

namespace gavio::ntlm {
namespace {

Bytes Hex(const std::string& spaced) {
  std::string text;
  for (char c : spaced) {
    if (c != ' ') text += c;
  }
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes Of(const uint8_t* data, size_t length) { return Bytes(data, data + length); }

const Bytes kServerChallenge = Hex("0123456789abcdef");
const Bytes kClientChallenge = Hex("aaaaaaaaaaaaaaaa");
const Bytes kTargetInfo = Hex(
    "02000c0044006f006d00610069006e00"
    "01000c005300650072007600650072000000 0000");

const Bytes kChallengeMessage = Hex(
    "4e544c4d53535000020000000c000c0038000000 33828ae20123456789abcdef0000000000000000"
    "2400240044000000 060070170000000f"
    "53006500720076006500720002000c0044006f006d00610069006e00"
    "01000c005300650072007600650072000000 0000");

const Bytes kAuthenticateMessage = Hex(
    "4e544c4d535350000300000018001800 6c00000054005400 84000000 0c000c00 48000000"
    "08000800 54000000 10001000 5c000000 10001000 d8000000 358288e2 0501280a0000000f"
    "44006f006d00610069006e00 55007300650072004300 4f004d0050005500540045005200"
    "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa"
    "68cd0ab851e51c96aabc927bebef6a1c01010000000000000000000000000000"
    "aaaaaaaaaaaaaaaa0000000002000c0044006f006d00610069006e00"
    "01000c00530065007200760065007200000000000000 0000"
    "c5dad2544fc9799094ce1ce90bc9d03e");

TEST(NtlmCrypto, Md4AndRc4MatchTheirReferenceVectors) {
  const struct {
    const char* input;
    const char* digest;
  } kMd4[] = {
      {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
      {"message digest", "d9130a8164549fe818874806e1c7014b"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "e33b4ddc9c38f2199c3e7b164fcc0536"},
  };
  for (const auto& v : kMd4) {
    uint8_t out[kDigestSize];
    Md4(v.input, strlen(v.input), out);
    EXPECT_EQ(Of(out, sizeof out), Hex(v.digest)) << v.input;
  }
  Bytes key = Hex("0102030405060708090a0b0c0d0e0f10");
  Bytes stream(16, 0);
  Rc4(key.data(), key.size(), stream.data(), stream.size());
  EXPECT_EQ(stream, Hex("9ac7cc9a609d1ef7b2932899cde41b97"));
}

TEST(Ntlm, KeysAndResponsesMatchThePublishedVectors) {
  uint8_t ntHash[kKeySize];
  NtHash("Password", ntHash);
  EXPECT_EQ(Of(ntHash, kKeySize), Hex("a4f49c406510bdcab6824ee7c30fd852"));
  uint8_t key[kKeySize];
  NtowfV2("Password", "User", "Domain", key);
  EXPECT_EQ(Of(key, kKeySize), Hex("0c868a403bfd7a93a3001ef22ef02e3f"));
  // The user name is compared without case, the domain is not.
  uint8_t lower[kKeySize];
  NtowfV2("Password", "user", "Domain", lower);
  EXPECT_EQ(Of(lower, kKeySize), Of(key, kKeySize));

  NtlmV2Response r = ComputeNtlmV2(key, kServerChallenge.data(), kClientChallenge.data(), 0,
                                   kTargetInfo, false);
  EXPECT_EQ(r.lmResponse, Hex("86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa"));
  EXPECT_EQ(Bytes(r.ntResponse.begin(), r.ntResponse.begin() + 16),
            Hex("68cd0ab851e51c96aabc927bebef6a1c"));
  EXPECT_EQ(r.ntResponse.size(), 84u);
  EXPECT_EQ(Of(r.sessionBaseKey, kKeySize), Hex("8de40ccadbc14a82f15cb0ad0de95ca3"));
}

TEST(Ntlm, AuthenticateMessageIsByteExact) {
  ChallengeMessage challenge;
  ASSERT_TRUE(ParseChallenge(kChallengeMessage.data(), kChallengeMessage.size(), &challenge));
  EXPECT_EQ(challenge.flags, 0xe28a8233u);
  EXPECT_EQ(Of(challenge.serverChallenge, 8), kServerChallenge);
  EXPECT_EQ(challenge.targetName, Utf16Le("Server"));
  EXPECT_EQ(challenge.targetInfo, kTargetInfo);

  AuthenticateInput input;
  input.flags = 0xe2888235u;
  input.user = "User";
  input.domain = "Domain";
  input.password = "Password";
  input.workstation = "COMPUTER";
  memset(input.clientChallenge, 0xaa, sizeof input.clientChallenge);
  memset(input.randomSessionKey, 0x55, sizeof input.randomSessionKey);
  const uint8_t version[] = {0x05, 0x01, 0x28, 0x0a, 0x00, 0x00, 0x00, 0x0f};
  memcpy(input.version, version, sizeof version);
  EXPECT_EQ(BuildAuthenticate(challenge, input), kAuthenticateMessage);
}

TEST(Ntlm, MalformedChallengesAreRefusedWithinTheirBytes) {
  ChallengeMessage out;
  // Every cut of a valid message, and fields pointing past the end.
  for (size_t length = 0; length < 32; ++length) {
    EXPECT_FALSE(ParseChallenge(kChallengeMessage.data(), length, &out)) << length;
  }
  Bytes cut(kChallengeMessage.begin(), kChallengeMessage.end() - 1);
  EXPECT_FALSE(ParseChallenge(cut.data(), cut.size(), &out));
  Bytes wrongType = kChallengeMessage;
  wrongType[8] = 3;
  EXPECT_FALSE(ParseChallenge(wrongType.data(), wrongType.size(), &out));
  Bytes hugeOffset = kChallengeMessage;
  hugeOffset[44] = hugeOffset[45] = hugeOffset[46] = hugeOffset[47] = 0xff;
  EXPECT_FALSE(ParseChallenge(hugeOffset.data(), hugeOffset.size(), &out));
  // A stray target name offset (one server helper sends 0xaaaaaaae) only
  // loses the name.
  Bytes strayName = kChallengeMessage;
  strayName[16] = 0xae;
  strayName[17] = strayName[18] = strayName[19] = 0xaa;
  ASSERT_TRUE(ParseChallenge(strayName.data(), strayName.size(), &out));
  EXPECT_TRUE(out.targetName.empty());
  EXPECT_EQ(out.targetInfo, kTargetInfo);
  // An AV list whose pair runs past its end has no timestamp to find.
  uint64_t time = 0;
  EXPECT_FALSE(FindTimestamp(Hex("0700ff00"), &time));
  EXPECT_TRUE(FindTimestamp(Hex("070008000102030405060708 00000000"), &time));
  EXPECT_EQ(time, 0x0807060504030201u);
}

class SecurityModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA((gavio_test::BuildDir() + "/Security.dll").c_str());
    ASSERT_NE(module_, nullptr);
    auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(
        GetProcAddress(module_, SECURITY_ENTRYPOINT_ANSIA));
    ASSERT_NE(init, nullptr);
    table_ = init();
    ASSERT_NE(table_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  SECURITY_STATUS Acquire(CredHandle* credential) {
    static char user[] = "User", domain[] = "Domain", password[] = "Password";
    SEC_WINNT_AUTH_IDENTITY_A identity{reinterpret_cast<unsigned char*>(user), 4,
                                       reinterpret_cast<unsigned char*>(domain), 6,
                                       reinterpret_cast<unsigned char*>(password), 8,
                                       SEC_WINNT_AUTH_IDENTITY_ANSI};
    char package[] = "NTLM";
    return table_->AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                             &identity, nullptr, nullptr, credential, nullptr);
  }

  SECURITY_STATUS Step(CredHandle* credential, CtxtHandle* context, const Bytes* input,
                       Bytes* output, uint32_t outputSize = 1024) {
    SecBuffer inBuffer{input != nullptr ? static_cast<uint32_t>(input->size()) : 0,
                       SECBUFFER_TOKEN,
                       input != nullptr ? const_cast<uint8_t*>(input->data()) : nullptr};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuffer};
    output->assign(outputSize, 0);
    SecBuffer outBuffer{outputSize, SECBUFFER_TOKEN, output->data()};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    uint32_t attributes = 0;
    TimeStamp expiry = 0;
    char target[] = "NTLM";
    SECURITY_STATUS status = table_->InitializeSecurityContextA(
        credential, input != nullptr ? context : nullptr, target, 0xA1F, 0, SECURITY_NATIVE_DREP,
        input != nullptr ? &inDesc : nullptr, 0, context, &outDesc, &attributes, &expiry);
    output->resize(outBuffer.cbBuffer);
    return status;
  }

  HMODULE module_ = nullptr;
  PSecurityFunctionTableA table_ = nullptr;
};

TEST_F(SecurityModuleTest, TwoStepsGiveNegotiateThenAnAuthenticateThatVerifies) {
  CredHandle credential{};
  ASSERT_EQ(Acquire(&credential), SEC_E_OK);
  CtxtHandle context{};
  Bytes negotiate;
  ASSERT_EQ(Step(&credential, &context, nullptr, &negotiate), SEC_I_CONTINUE_NEEDED);
  ASSERT_EQ(negotiate.size(), 32u);
  EXPECT_EQ(Bytes(negotiate.begin(), negotiate.begin() + 12), Hex("4e544c4d5353500001000000"));

  Bytes authenticate;
  ASSERT_EQ(Step(&credential, &context, &kChallengeMessage, &authenticate), SEC_E_OK);
  ASSERT_GE(authenticate.size(), 64u);
  EXPECT_EQ(authenticate[8], 3);
  // The NT response verifies against the password: recompute the proof
  // from the blob the message carries.
  auto field = [&](size_t at, Bytes* value) {
    uint16_t length = static_cast<uint16_t>(authenticate[at] | authenticate[at + 1] << 8);
    uint32_t offset = authenticate[at + 4] | authenticate[at + 5] << 8;
    ASSERT_LE(offset + length, authenticate.size());
    value->assign(authenticate.begin() + offset, authenticate.begin() + offset + length);
  };
  Bytes nt, user, domain;
  field(20, &nt);
  field(36, &user);
  field(28, &domain);
  EXPECT_EQ(user, Utf16Le("User"));
  EXPECT_EQ(domain, Utf16Le("Domain"));
  ASSERT_GT(nt.size(), 16u + 28u);
  uint8_t key[kKeySize];
  NtowfV2("Password", "User", "Domain", key);
  Bytes proofInput = kServerChallenge;
  proofInput.insert(proofInput.end(), nt.begin() + 16, nt.end());
  uint8_t proof[kKeySize];
  HmacMd5(key, kKeySize, proofInput.data(), proofInput.size(), proof);
  EXPECT_EQ(Of(proof, kKeySize), Bytes(nt.begin(), nt.begin() + 16));

  // A finished context takes no third step; freed handles are refused.
  Bytes again;
  EXPECT_EQ(Step(&credential, &context, &kChallengeMessage, &again), SEC_E_OUT_OF_SEQUENCE);
  CtxtHandle stale = context;
  EXPECT_EQ(table_->DeleteSecurityContext(&context), SEC_E_OK);
  EXPECT_EQ(table_->DeleteSecurityContext(&stale), SEC_E_INVALID_HANDLE);
  CredHandle staleCredential = credential;
  EXPECT_EQ(table_->FreeCredentialsHandle(&credential), SEC_E_OK);
  EXPECT_EQ(table_->FreeCredentialsHandle(&staleCredential), SEC_E_INVALID_HANDLE);
}

TEST_F(SecurityModuleTest, BadInputGivesFailureStatuses) {
  CredHandle credential{};
  char other[] = "Kerberos";
  EXPECT_EQ(table_->AcquireCredentialsHandleA(nullptr, other, SECPKG_CRED_OUTBOUND, nullptr,
                                              nullptr, nullptr, nullptr, &credential, nullptr),
            SEC_E_SECPKG_NOT_FOUND);
  ASSERT_EQ(Acquire(&credential), SEC_E_OK);
  CtxtHandle context{};
  Bytes token;
  EXPECT_EQ(Step(&credential, &context, nullptr, &token, 8), SEC_E_BUFFER_TOO_SMALL);
  ASSERT_EQ(Step(&credential, &context, nullptr, &token), SEC_I_CONTINUE_NEEDED);
  Bytes garbage = Hex("4e544c4d5353500002000000ffff");
  EXPECT_LT(Step(&credential, &context, &garbage, &token), 0);
  EXPECT_EQ(table_->DeleteSecurityContext(&context), SEC_E_OK);

  // A token the provider allocates goes back through FreeContextBuffer, once.
  CtxtHandle allocated{};
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  uint32_t attributes = 0;
  char target[] = "NTLM";
  EXPECT_EQ(table_->InitializeSecurityContextA(&credential, nullptr, target,
                                               ISC_REQ_ALLOCATE_MEMORY, 0, SECURITY_NATIVE_DREP,
                                               nullptr, 0, &allocated, &outDesc, &attributes,
                                               nullptr),
            SEC_I_CONTINUE_NEEDED);
  EXPECT_EQ(out.cbBuffer, 32u);
  EXPECT_EQ(table_->FreeContextBuffer(out.pvBuffer), SEC_E_OK);
  EXPECT_EQ(table_->FreeContextBuffer(out.pvBuffer), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(table_->DeleteSecurityContext(&allocated), SEC_E_OK);
  EXPECT_EQ(table_->FreeCredentialsHandle(&credential), SEC_E_OK);
}

}  // namespace
}  // namespace gavio::ntlm
