#include "varnholt/crypto/sign.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace varnholt::crypto {
namespace {

// Bytes of a hex text (the test data is well formed).
std::string unhex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> unhex_array(std::string_view hex) {
  const std::string bytes = unhex(hex);
  EXPECT_EQ(bytes.size(), N) << hex;
  std::array<std::uint8_t, N> out{};
  for (std::size_t i = 0; i < N && i < bytes.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(bytes[i]);
  }
  return out;
}

Signature signature_of(std::string_view hex) {
  return Signature(unhex_array<64>(hex));
}

// The inner text of a failed from_hex.
std::string from_hex_failure(std::string_view text) {
  const auto decoded = Signature::from_hex(text);
  if (decoded) {
    ADD_FAILURE() << "decoded: " << text;
    return "";
  }
  const auto* inner = std::get_if<error::Validation>(&decoded.error().variant());
  if (inner == nullptr) {
    ADD_FAILURE() << "not a Validation error: " << decoded.error().message();
    return "";
  }
  return inner->detail;
}

// ---------------------------------------------------------------------------
// Signature text

TEST(SignatureText, ToHexIsLowerCaseAndZeroPadded) {
  EXPECT_EQ(Signature().to_hex(), std::string(128, '0'));

  Signature::Bytes bytes{};
  bytes[0] = 0xAB;
  bytes[1] = 0x0A;
  bytes[63] = 0xF0;
  const std::string hex = Signature(bytes).to_hex();
  ASSERT_EQ(hex.size(), 128u);
  EXPECT_EQ(hex.substr(0, 4), "ab0a");
  EXPECT_EQ(hex.substr(124), "00f0");

  std::string out = "sig=";
  Signature(bytes).append_hex(out);
  EXPECT_EQ(out, "sig=" + hex);
}

TEST(SignatureText, RoundTripOfEveryByteValue) {
  for (int start = 0; start < 256; start += 64) {
    Signature::Bytes bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(start + static_cast<int>(i));
    }
    const Signature signature(bytes);
    const auto decoded = Signature::from_hex(signature.to_hex());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, signature);
  }
}

TEST(SignatureText, UpperCaseInputIsAccepted) {
  const std::string lower =
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
      "b46bd25bf5f0595bbe24655141438e7a100b";
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string mixed = lower;
  for (std::size_t i = 0; i < mixed.size(); i += 3) mixed[i] = upper[i];

  const auto from_upper = Signature::from_hex(upper);
  const auto from_mixed = Signature::from_hex(mixed);
  ASSERT_TRUE(from_upper);
  ASSERT_TRUE(from_mixed);
  EXPECT_EQ(*from_upper, signature_of(lower));
  EXPECT_EQ(*from_mixed, signature_of(lower));
  EXPECT_EQ(from_upper->to_hex(), lower);
}

std::string with_pair(std::size_t index, std::string_view pair, std::string text = "") {
  if (text.empty()) text = std::string(128, '0');
  text.replace(2 * index, pair.size(), pair);
  return text;
}

struct BadText {
  std::string name;
  std::string text;
  std::string inner;
};

// Test names show the case, not the bytes of the table entry.
void PrintTo(const BadText& bad, std::ostream* os) {
  *os << bad.name;
}

class SignatureTextFailure : public testing::TestWithParam<BadText> {};

TEST_P(SignatureTextFailure, ReportsTheFirstFailedCheck) {
  EXPECT_EQ(from_hex_failure(GetParam().text), GetParam().inner);
}

const std::string kLength = "ed25519 signature must be 128 hex characters, got ";
const std::string kNotAscii = "signature is not ASCII";
const std::string kBadHex = "invalid hex in signature: ";

std::string repeat(std::string_view piece, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += piece;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Checks, SignatureTextFailure,
    testing::Values(
        BadText{"Empty", "", kLength + "0"},
        BadText{"OneShort", std::string(127, '0'), kLength + "127"},
        BadText{"OneLong", std::string(129, '0'), kLength + "129"},
        BadText{"Long", std::string(130, 'a'), kLength + "130"},
        // The length counts bytes, not characters.
        BadText{"CountsBytes", repeat("\xC3\xA9", 40), kLength + "80"},
        BadText{"LengthBeforeEverythingElse", "zz", kLength + "2"},
        // 128 bytes of two-byte characters: each pair is one whole character.
        BadText{"TwoByteCharacters", repeat("\xC3\xA9", 64), kBadHex + "\"\xC3\xA9\""},
        BadText{"SplitThreeByteCharacter", "\xE2\x82\xAC" + std::string(125, '0'), kNotAscii},
        BadText{"SplitFourByteCharacter", with_pair(5, "\xF0\x9F\x98\x80"), kNotAscii},
        BadText{"TwoByteCharacterOffByOne", "0\xC3\xA9" + std::string(125, '0'), kNotAscii},
        BadText{"OverlongTwoByteForm", with_pair(0, "\xC0\x80"), kNotAscii},
        BadText{"LoneContinuationBytes", with_pair(0, "\x80\x80"), kNotAscii},
        BadText{"ZeroG", with_pair(0, "0g"), kBadHex + "\"0g\""},
        BadText{"ZZ", with_pair(63, "zz"), kBadHex + "\"zz\""},
        BadText{"SpaceInPair", with_pair(1, " a"), kBadHex + "\" a\""},
        BadText{"SignInPair", with_pair(1, "+1"), kBadHex + "\"+1\""},
        BadText{"TabIsQuoted", with_pair(2, "\t0"), kBadHex + "\"\\t0\""},
        BadText{"EarliestBadPair", with_pair(3, "0g", with_pair(10, "zz")), kBadHex + "\"0g\""},
        BadText{"BadHexBeforeSplitCharacter", with_pair(2, "x0", with_pair(20, "\xE2\x82\xAC")),
                kBadHex + "\"x0\""},
        BadText{"SplitCharacterBeforeBadHex", with_pair(2, "\xE2\x82\xAC", with_pair(20, "zz")),
                kNotAscii}),
    [](const testing::TestParamInfo<BadText>& param) { return param.param.name; });

TEST(SignatureText, FailureIsAValidationError) {
  const auto decoded = Signature::from_hex(std::string(127, '0'));
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error().message(),
            "validation failed: ed25519 signature must be 128 hex characters, got 127");
}

// ---------------------------------------------------------------------------
// RFC 8032 section 7.1

struct Rfc8032Vector {
  std::string name;
  std::string secret_key;
  std::string public_key;
  std::string message;
  std::string signature;
};

void PrintTo(const Rfc8032Vector& vector, std::ostream* os) {
  *os << vector.name;
}

const std::string kTest1024Message =
    "08b8b2b733424243760fe426a4b54908632110a66c2f6591eabd3345e3e4eb98"
    "fa6e264bf09efe12ee50f8f54e9f77b1e355f6c50544e23fb1433ddf73be84d8"
    "79de7c0046dc4996d9e773f4bc9efe5738829adb26c81b37c93a1b270b20329d"
    "658675fc6ea534e0810a4432826bf58c941efb65d57a338bbd2e26640f89ffbc"
    "1a858efcb8550ee3a5e1998bd177e93a7363c344fe6b199ee5d02e82d522c4fe"
    "ba15452f80288a821a579116ec6dad2b3b310da903401aa62100ab5d1a36553e"
    "06203b33890cc9b832f79ef80560ccb9a39ce767967ed628c6ad573cb116dbef"
    "efd75499da96bd68a8a97b928a8bbc103b6621fcde2beca1231d206be6cd9ec7"
    "aff6f6c94fcd7204ed3455c68c83f4a41da4af2b74ef5c53f1d8ac70bdcb7ed1"
    "85ce81bd84359d44254d95629e9855a94a7c1958d1f8ada5d0532ed8a5aa3fb2"
    "d17ba70eb6248e594e1a2297acbbb39d502f1a8c6eb6f1ce22b3de1a1f40cc24"
    "554119a831a9aad6079cad88425de6bde1a9187ebb6092cf67bf2b13fd65f270"
    "88d78b7e883c8759d2c4f5c65adb7553878ad575f9fad878e80a0c9ba63bcbcc"
    "2732e69485bbc9c90bfbd62481d9089beccf80cfe2df16a2cf65bd92dd597b07"
    "07e0917af48bbb75fed413d238f5555a7a569d80c3414a8d0859dc65a46128ba"
    "b27af87a71314f318c782b23ebfe808b82b0ce26401d2e22f04d83d1255dc51a"
    "ddd3b75a2b1ae0784504df543af8969be3ea7082ff7fc9888c144da2af58429e"
    "c96031dbcad3dad9af0dcbaaaf268cb8fcffead94f3c7ca495e056a9b47acdb7"
    "51fb73e666c6c655ade8297297d07ad1ba5e43f1bca32301651339e22904cc8c"
    "42f58c30c04aafdb038dda0847dd988dcda6f3bfd15c4b4c4525004aa06eeff8"
    "ca61783aacec57fb3d1f92b0fe2fd1a85f6724517b65e614ad6808d6f6ee34df"
    "f7310fdc82aebfd904b01e1dc54b2927094b2db68d6f903b68401adebf5a7e08"
    "d78ff4ef5d63653a65040cf9bfd4aca7984a74d37145986780fc0b16ac451649"
    "de6188a7dbdf191f64b5fc5e2ab47b57f7f7276cd419c17a3ca8e1b939ae49e4"
    "88acba6b965610b5480109c8b17b80e1b7b750dfc7598d5d5011fd2dcc5600a3"
    "2ef5b52a1ecc820e308aa342721aac0943bf6686b64b2579376504ccc493d97e"
    "6aed3fb0f9cd71a43dd497f01f17c0e2cb3797aa2a2f256656168e6c496afc5f"
    "b93246f6b1116398a346f1a641f3b041e989f7914f90cc2c7fff357876e506b5"
    "0d334ba77c225bc307ba537152f3f1610e4eafe595f6d9d90d11faa933a15ef1"
    "369546868a7f3a45a96768d40fd9d03412c091c6315cf4fde7cb68606937380d"
    "b2eaaa707b4c4185c32eddcdd306705e4dc1ffc872eeee475a64dfac86aba41c"
    "0618983f8741c5ef68d3a101e8a3b8cac60c905c15fc910840b94c00a0b9d0";

const std::vector<Rfc8032Vector> kRfc8032 = {
    {"Test1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
     "b46bd25bf5f0595bbe24655141438e7a100b"},
    {"Test2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f1"
     "1d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"Test3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984d"
     "c6594a7c15e9716ed28dc027beceea1ec40a"},
    {"Test1024", "f5e5767cf153319517630f226876b86c8160cc583bc013744c6bf255f5cc0ee5",
     "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e", kTest1024Message,
     "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350aa5371b1508f9f4528ecea23c436"
     "d94b5e8fcd4f681e30a6ac00a9704a188a03"},
    {"TestShaAbc", "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
     "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3fe"
     "ebbd454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431"
     "e0303dca179c138ac17ad9bef1177331a704"},
};

class Rfc8032 : public testing::TestWithParam<Rfc8032Vector> {};

TEST_P(Rfc8032, DerivesSignsAndVerifies) {
  const Rfc8032Vector& v = GetParam();
  const SigningKey key = SigningKey::from_bytes(unhex_array<32>(v.secret_key));
  EXPECT_EQ(key.verifying_key().bytes(), unhex_array<32>(v.public_key));
  EXPECT_EQ(key.seed(), unhex_array<32>(v.secret_key));

  const std::string message = unhex(v.message);
  const Signature signature = key.sign(message);
  EXPECT_EQ(signature.to_hex(), v.signature);
  EXPECT_TRUE(key.verifying_key().verify_bytes(message, signature_of(v.signature)));
}

INSTANTIATE_TEST_SUITE_P(Section71, Rfc8032, testing::ValuesIn(kRfc8032),
                         [](const testing::TestParamInfo<Rfc8032Vector>& param) {
                           return param.param.name;
                         });

TEST(Rfc8032Data, MessagesHaveTheirStatedLengths) {
  EXPECT_EQ(unhex(kTest1024Message).size(), 1023u);
  EXPECT_EQ(unhex(kRfc8032[4].message).size(), 64u);
}

// ---------------------------------------------------------------------------
// Signing and verifying

const VerifyingKey& test1_key() {
  static const VerifyingKey key(unhex_array<32>(kRfc8032[0].public_key));
  return key;
}

bool is_verification_failure(const std::expected<void, error::CoreError>& result) {
  return !result && result.error().is<error::SignatureVerification>();
}

TEST(Verify, AnyChangeFailsWithSignatureVerification) {
  const Signature good = signature_of(kRfc8032[0].signature);
  ASSERT_TRUE(test1_key().verify_bytes("", good));

  EXPECT_TRUE(is_verification_failure(test1_key().verify_bytes("x", good)));
  for (const std::size_t byte : {0u, 31u, 32u, 63u}) {
    Signature::Bytes bytes = good.bytes();
    bytes[byte] ^= 0x01;
    EXPECT_TRUE(is_verification_failure(test1_key().verify_bytes("", Signature(bytes)))) << byte;
  }
  const VerifyingKey other(unhex_array<32>(kRfc8032[1].public_key));
  EXPECT_TRUE(is_verification_failure(other.verify_bytes("", good)));
  EXPECT_TRUE(is_verification_failure(test1_key().verify_bytes("", Signature())));
}

TEST(Verify, RejectsSPlusTheGroupOrder) {
  // S + L satisfies the verification equation but is not a canonical scalar.
  const std::array<std::uint8_t, 32> order =
      unhex_array<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  Signature::Bytes bytes = signature_of(kRfc8032[0].signature).bytes();
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    const unsigned sum = bytes[32 + i] + order[i] + carry;
    bytes[32 + i] = static_cast<std::uint8_t>(sum & 0xFF);
    carry = sum >> 8;
  }
  ASSERT_EQ(carry, 0u);
  EXPECT_TRUE(is_verification_failure(test1_key().verify_bytes("", Signature(bytes))));
}

TEST(Verify, FailureMessage) {
  const auto result = test1_key().verify_bytes("tampered", signature_of(kRfc8032[0].signature));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "signature verification failed");
}

TEST(SigningKey, SameSeedSameSignatures) {
  SigningKey::Seed seed{};
  seed[0] = 7;
  const SigningKey a = SigningKey::from_bytes(seed);
  const SigningKey b = SigningKey::from_bytes(seed);
  EXPECT_EQ(a.verifying_key(), b.verifying_key());
  EXPECT_EQ(a.sign("manifest"), b.sign("manifest"));
  EXPECT_NE(a.sign("manifest"), a.sign("manifest "));
  EXPECT_TRUE(a.verifying_key().verify_bytes("manifest", b.sign("manifest")));
}

TEST(SigningKey, GeneratedKeysAreFreshAndRebuildFromTheirSeed) {
  const SigningKey a = SigningKey::generate();
  const SigningKey b = SigningKey::generate();
  EXPECT_NE(a.seed(), b.seed());
  EXPECT_NE(a.verifying_key(), b.verifying_key());

  const SigningKey rebuilt = SigningKey::from_bytes(a.seed());
  EXPECT_EQ(rebuilt.verifying_key(), a.verifying_key());
  const std::string message(300, 'm');
  EXPECT_EQ(rebuilt.sign(message), a.sign(message));
  EXPECT_TRUE(a.verifying_key().verify_bytes(message, a.sign(message)));
  EXPECT_TRUE(is_verification_failure(b.verifying_key().verify_bytes(message, a.sign(message))));
}

TEST(SigningKey, CopiesSignAsTheOriginal) {
  const SigningKey original = SigningKey::from_bytes(unhex_array<32>(kRfc8032[2].secret_key));
  const SigningKey copy(original);
  SigningKey assigned = SigningKey::generate();
  assigned = original;
  const std::string message = unhex(kRfc8032[2].message);
  for (const SigningKey* key : std::array<const SigningKey*, 2>{&copy, &assigned}) {
    EXPECT_EQ(key->seed(), original.seed());
    EXPECT_EQ(key->verifying_key(), original.verifying_key());
    EXPECT_EQ(key->sign(message).to_hex(), kRfc8032[2].signature);
  }
}

// ---------------------------------------------------------------------------
// Wycheproof

TEST(Wycheproof, EveryLabelAgreesWithVerification) {
  const std::filesystem::path file =
      std::filesystem::path(CORVANE_TESTDATA_DIR) / "ed25519_wycheproof.json";
  std::ifstream in(file);
  if (!in) GTEST_SKIP() << "no test data at " << file;
  const nlohmann::json data = nlohmann::json::parse(in);

  int valid = 0;
  int invalid = 0;
  for (const auto& group : data.at("testGroups")) {
    const VerifyingKey key(unhex_array<32>(group.at("publicKey").at("pk").get<std::string>()));
    for (const auto& test : group.at("tests")) {
      const std::string label = test.at("result").get<std::string>();
      ASSERT_TRUE(label == "valid" || label == "invalid") << label;
      const bool expected = label == "valid";
      (expected ? valid : invalid)++;

      const std::string message = unhex(test.at("msg").get<std::string>());
      // Signatures of the wrong size are among the invalid cases; they never
      // become a Signature.
      const auto signature = Signature::from_hex(test.at("sig").get<std::string>());
      const bool accepted = signature && key.verify_bytes(message, *signature).has_value();
      EXPECT_EQ(accepted, expected)
          << "tcId " << test.at("tcId") << ": " << test.value("comment", std::string());
    }
  }
  EXPECT_EQ(valid, 88);
  EXPECT_EQ(invalid, 63);
}

}  // namespace
}  // namespace varnholt::crypto
