#include "settings/ini_document.h"

#include <gtest/gtest.h>

#include "tests/support/case_name.h"

namespace {

struct GetCase {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    std::optional<std::string> value;
};

void PrintTo(const GetCase& c, std::ostream* os) {
    *os << c.name;
}

class IniGetTable : public ::testing::TestWithParam<GetCase> {};

TEST_P(IniGetTable, Reads) {
    const GetCase& c = GetParam();
    EXPECT_EQ(IniDocument(c.text).Get(c.section, c.key), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniGetTable,
    ::testing::ValuesIn(std::vector<GetCase>{
        {"plain", "[SETTING]\nSN_Bytes=2\n", "SETTING", "SN_Bytes", "2"},
        {"case_blind_names", "[setting]\nsn_bytes=2\n", "SETTING", "SN_Bytes", "2"},
        {"trimmed", "  [ SETTING ]  \n\t SN_Bytes \t=  2 3  \r\n", "SETTING", "SN_Bytes", "2 3"},
        {"empty_value", "[SETTING]\nAutoSN=\n", "SETTING", "AutoSN", ""},
        {"missing_key", "[SETTING]\nAutoSN=1\n", "SETTING", "AutoReload", std::nullopt},
        {"missing_section", "[OTHER]\nAutoSN=1\n", "SETTING", "AutoSN", std::nullopt},
        {"other_section_key", "[SETTING]\n[OTHER]\nAutoSN=1\n", "SETTING", "AutoSN", std::nullopt},
        {"key_before_any_section", "AutoSN=1\n[SETTING]\n", "SETTING", "AutoSN", std::nullopt},
        {"first_key_wins", "[SETTING]\nA=1\nA=2\n", "SETTING", "A", "1"},
        {"first_section_wins", "[SETTING]\nA=1\n[SETTING]\nA=2\nB=3\n", "SETTING", "B",
         std::nullopt},
        {"comment_is_no_key", "[SETTING]\n;A=1\n# A=2\n", "SETTING", "A", std::nullopt},
        {"value_keeps_equals_and_quotes", "[SETTING]\nP=\"a=b\"\n", "SETTING", "P", "\"a=b\""},
        {"value_to_end_without_newline", "[SETTING]\nP=/x/y", "SETTING", "P", "/x/y"},
        {"nul_and_bytes", std::string("[SETTING]\nP=a\0\xff\xfe b\n", 19), "SETTING", "P",
         std::string("a\0\xff\xfe b", 6)},
        {"long_value", "[SETTING]\nP=" + std::string(300, 'p') + "\n", "SETTING", "P",
         std::string(300, 'p')},
        {"utf8_bom_before_first_section", "\xEF\xBB\xBF[SETTING]\r\nP=/x\r\n", "SETTING", "P",
         "/x"},
    }),
    CaseName());

struct SetCase {
    const char* name;
    std::string before;
    const char* key;
    const char* value;
    std::string after;
};

void PrintTo(const SetCase& c, std::ostream* os) {
    *os << c.name;
}

class IniSetTable : public ::testing::TestWithParam<SetCase> {};

TEST_P(IniSetTable, RewritesOnlyTheKey) {
    const SetCase& c = GetParam();
    IniDocument doc(c.before);
    ASSERT_TRUE(doc.Set("SETTING", c.key, c.value));
    EXPECT_EQ(doc.Text(), c.after);
    EXPECT_EQ(IniDocument(doc.Text()).Get("SETTING", c.key), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniSetTable,
    ::testing::ValuesIn(std::vector<SetCase>{
        {"new_file", "", "m_strVID_bt", "2156", "[SETTING]\nm_strVID_bt=2156\n"},
        {"replace_in_place_lf", "; top\n[SETTING]\nA=1\nsn_current = 5\nB=2\n", "SN_Current", "6",
         "; top\n[SETTING]\nA=1\nsn_current=6\nB=2\n"},
        {"replace_in_place_crlf", "[SETTING]\r\nA=1\r\nB=2\r\n", "A", "x y",
         "[SETTING]\r\nA=x y\r\nB=2\r\n"},
        {"add_after_last_key_of_section", "[SETTING]\nA=1\n\n[OTHER]\nZ=9\n", "B", "2",
         "[SETTING]\nA=1\nB=2\n\n[OTHER]\nZ=9\n"},
        {"add_to_empty_section", "[SETTING]\n[OTHER]\n", "B", "2", "[SETTING]\nB=2\n[OTHER]\n"},
        {"add_section", "[OTHER]\r\nZ=9\r\n", "B", "2", "[OTHER]\r\nZ=9\r\n[SETTING]\r\nB=2\r\n"},
        {"keeps_odd_lines", "junk line\n[SETTING]\n\xff\xfe\n  ; c\nA=1", "A", "2",
         "junk line\n[SETTING]\n\xff\xfe\n  ; c\nA=2\n"},
        {"empty_value", "[SETTING]\nA=1\n", "A", "", "[SETTING]\nA=\n"},
        {"keeps_utf8_bom", "\xEF\xBB\xBF[SETTING]\r\nA=1\r\n", "A", "2",
         "\xEF\xBB\xBF[SETTING]\r\nA=2\r\n"},
    }),
    CaseName());

TEST(IniDocument, RefusesLineBreaksInValues) {
    IniDocument doc("[SETTING]\nA=1\n");
    EXPECT_FALSE(doc.Set("SETTING", "A", "x\nB=evil"));
    EXPECT_FALSE(doc.Set("SETTING", "A", "x\r"));
    EXPECT_EQ(doc.Text(), "[SETTING]\nA=1\n");
}

}  // namespace
