#include "os/passphrase.h"

#include <gtest/gtest.h>

#include "tests/support/case_name.h"

namespace {

using passphrase::ParseStoredHash;
using passphrase::PassphraseMatches;

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i)
        text += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
    return text;
}

struct KnownAnswer {
    const char* name;
    std::string_view text, salt;
    std::uint32_t iterations;
    std::string key;
};

// RFC 7914, section 11.
const KnownAnswer kKnownAnswers[] = {
    {"one_round", "passwd", "salt", 1,
     "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
     "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
    {"eighty_thousand_rounds", "Password", "NaCl", 80000,
     "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
     "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
};

class Pbkdf2KnownAnswer : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(Pbkdf2KnownAnswer, Derives) {
    const KnownAnswer& c = GetParam();
    const std::span salt(reinterpret_cast<const std::uint8_t*>(c.salt.data()), c.salt.size());
    const passphrase::SecretBytes key =
        passphrase::DerivePbkdf2Sha256(c.text, salt, c.iterations, c.key.size() / 2);
    EXPECT_EQ(Hex(key.data(), key.size()), c.key);
}

INSTANTIATE_TEST_SUITE_P(Rfc7914, Pbkdf2KnownAnswer, ::testing::ValuesIn(kKnownAnswers),
                         CaseName());

// A new hash is of the stored form, with a salt of its own, and matches its passphrase only.
TEST(Passphrase, HashMatchesItsPassphraseOnlyUnderAFreshSalt) {
    const std::string first = passphrase::HashPassphrase("correct horse");
    const std::string second = passphrase::HashPassphrase("correct horse");
    ASSERT_EQ(first.rfind("pbkdf2-sha256$600000$", 0), 0u) << first;
    const auto parsed = ParseStoredHash(first);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->salt.size(), 16u);
    EXPECT_EQ(parsed->key.size(), 32u);
    EXPECT_NE(first.substr(0, 53), second.substr(0, 53));  // the salts differ
    EXPECT_TRUE(PassphraseMatches("correct horse", first));
    EXPECT_FALSE(PassphraseMatches("correct horse ", first));
}

// Stored texts made at the lowest count by another PBKDF2 (Python's hashlib).
constexpr std::string_view kStored =
    "pbkdf2-sha256$1000$000102030405060708090a0b0c0d0e0f$"
    "c914cc4f06cc6e8f46d157e3a1b5aa7abceebb17bb0444cd4c4ac16ca2ae9864";

struct MatchCase {
    const char* name;
    std::string_view text;
    std::string stored;
    bool matches;
};

const MatchCase kMatches[] = {
    {"right", "correct horse", std::string(kStored), true},
    {"wrong", "correct horsE", std::string(kStored), false},
    {"empty_passphrase", "", std::string(kStored), false},
    {"last_key_bit", "correct horse", std::string(kStored.substr(0, kStored.size() - 1)) + "5",
     false},
    {"other_count", "correct horse", "pbkdf2-sha256$1001" + std::string(kStored.substr(18)), false},
    {"key_of_16_bytes", "correct horse", std::string(kStored.substr(0, kStored.size() - 32)), true},
    {"utf8_and_8_byte_salt",
     "Gr\xc3\xbc\xc3\x9f"
     "e",
     "pbkdf2-sha256$1001$a0a1a2a3a4a5a6a7$280a15d51fc8eb460ac6286e169ee38f", true},
    {"empty_made_empty", "", "pbkdf2-sha256$1000$a0a1a2a3a4a5a6a7$e0fc5ac4db84b000aec7fa0d640c6f6f",
     true},
};

class PassphraseMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(PassphraseMatch, Compares) {
    EXPECT_EQ(PassphraseMatches(GetParam().text, GetParam().stored), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(Cases, PassphraseMatch, ::testing::ValuesIn(kMatches), CaseName());

// What a hand in config.ini may leave: refused before any derivation, so at once. The edges
// that are still of the form are taken apart (not checked: 10000000 rounds take seconds).
const std::string kSalt16 = std::string(32, 'a'), kKey32 = std::string(64, 'b');
const std::string kTail = "$" + kSalt16 + "$" + kKey32;

struct FormCase {
    const char* name;
    std::string stored;
    bool wellFormed;
};

const FormCase kForms[] = {
    {"empty", "", false},
    {"scheme_only", "pbkdf2-sha256", false},
    {"other_scheme", "pbkdf2-sha512$1000" + kTail, false},
    {"scheme_in_capitals", "PBKDF2-SHA256$1000" + kTail, false},
    {"space_before", " pbkdf2-sha256$1000" + kTail, false},
    {"count_0", "pbkdf2-sha256$0" + kTail, false},
    {"count_999", "pbkdf2-sha256$999" + kTail, false},
    {"count_1000", "pbkdf2-sha256$1000" + kTail, true},
    {"count_10000000", "pbkdf2-sha256$10000000" + kTail, true},
    {"count_10000001", "pbkdf2-sha256$10000001" + kTail, false},
    {"count_12a", "pbkdf2-sha256$12a" + kTail, false},
    {"count_signed", "pbkdf2-sha256$+1000" + kTail, false},
    {"count_leading_zero", "pbkdf2-sha256$01000" + kTail, false},
    {"count_huge", "pbkdf2-sha256$" + std::string(400, '9') + kTail, false},
    {"count_wraps_to_1000", "pbkdf2-sha256$4294968296" + kTail, false},
    {"count_empty", "pbkdf2-sha256$" + kTail, false},
    {"salt_odd", "pbkdf2-sha256$1000$" + kSalt16 + "a$" + kKey32, false},
    {"salt_7_bytes", "pbkdf2-sha256$1000$" + std::string(14, 'a') + "$" + kKey32, false},
    {"salt_8_bytes", "pbkdf2-sha256$1000$" + std::string(16, 'a') + "$" + kKey32, true},
    {"salt_64_bytes", "pbkdf2-sha256$1000$" + std::string(128, 'a') + "$" + kKey32, true},
    {"salt_65_bytes", "pbkdf2-sha256$1000$" + std::string(130, 'a') + "$" + kKey32, false},
    {"salt_upper_case", "pbkdf2-sha256$1000$" + std::string(32, 'A') + "$" + kKey32, false},
    {"salt_garbage", "pbkdf2-sha256$1000$" + std::string(30, 'a') + "g!$" + kKey32, false},
    {"key_15_bytes", "pbkdf2-sha256$1000$" + kSalt16 + "$" + std::string(30, 'b'), false},
    {"key_16_bytes", "pbkdf2-sha256$1000$" + kSalt16 + "$" + std::string(32, 'b'), true},
    {"key_64_bytes", "pbkdf2-sha256$1000$" + kSalt16 + "$" + std::string(128, 'b'), true},
    {"key_65_bytes", "pbkdf2-sha256$1000$" + kSalt16 + "$" + std::string(130, 'b'), false},
    {"key_upper_case", "pbkdf2-sha256$1000$" + kSalt16 + "$" + std::string(64, 'B'), false},
    {"key_with_nul", "pbkdf2-sha256$1000" + kTail.substr(0, kTail.size() - 1) + '\0', false},
    {"key_missing", "pbkdf2-sha256$1000$" + kSalt16, false},
    {"key_empty", "pbkdf2-sha256$1000$" + kSalt16 + "$", false},
    {"salt_and_key_missing", "pbkdf2-sha256$1000", false},
    {"extra_part", "pbkdf2-sha256$1000" + kTail + "$00", false},
    {"trailing_separator", "pbkdf2-sha256$1000" + kTail + "$", false},
    {"trailing_line_end", "pbkdf2-sha256$1000" + kTail + "\r", false},
};

class PassphraseForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(PassphraseForm, IsTakenApartOrRefused) {
    const FormCase& c = GetParam();
    EXPECT_EQ(ParseStoredHash(c.stored).has_value(), c.wellFormed);
    if (!c.wellFormed) {
        EXPECT_FALSE(PassphraseMatches("correct horse", c.stored));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PassphraseForm, ::testing::ValuesIn(kForms), CaseName());

}  // namespace
