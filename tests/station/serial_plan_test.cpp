#include "station/serial_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "station/serial_reservation.h"

namespace {

// The image's capacity the rules are checked against: the highest address a one-byte number
// may take is 0x3BF9.
constexpr std::uint32_t kCapacity = 0x3BFA;

// One operator's edit of a plan at 0x3B00 holding 0x12 (config.ini's texts), with its width.
struct EditCase {
    const char* name;
    int width;
    SnField edited;
    std::string typed;    // the edited field's text (the address, or the number)
    std::string shown;    // the field afterwards
    std::string warning;  // empty: none
    std::string saved;    // the text saved under the field's key; empty: nothing saved
};

class SerialPlanEdit : public ::testing::TestWithParam<EditCase> {};

TEST_P(SerialPlanEdit, KeepsTheRulesOfItsField) {
    const EditCase& c = GetParam();
    SerialPlan plan;
    plan.TakeStored(true, "3B00", "12", c.width, "1", 1);
    const SerialPlanFields before{"3B00", "12", c.width - 1, 1};
    SerialPlanFields fields = before;
    (c.edited == SnField::kAddress ? fields.address : fields.value) = c.typed;
    std::vector<std::string> warnings;
    const std::optional<SerialPlan::SettingEdit> save =
        plan.Edit(fields, before, c.edited, kCapacity,
                  [&](const std::string& text) { warnings.push_back(text); });
    EXPECT_EQ(c.edited == SnField::kAddress ? fields.address : fields.value, c.shown);
    EXPECT_EQ(warnings,
              c.warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.warning});
    ASSERT_TRUE(save);
    EXPECT_EQ(save->key, c.edited == SnField::kAddress ? "SN_StartAddr" : "SN_Current");
    EXPECT_EQ(save->text, c.saved);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SerialPlanEdit,
    ::testing::Values(
        EditCase{"address_reserved", 1, SnField::kAddress, "0DFF", "3B00",
                 "SN Address cannot in reserved Range: 0x0000 ~ 0x0DFF", "3B00"},
        EditCase{"address_lowest", 1, SnField::kAddress, "0E00", "0E00", "", "0E00"},
        EditCase{"address_w1_past_top", 1, SnField::kAddress, "3BFA", "3B00",
                 "SN Address cannot exceed 0x3BF9", "3B00"},
        EditCase{"address_w1_top", 1, SnField::kAddress, "3BF9", "3BF9", "", "3BF9"},
        EditCase{"address_w4_past_top", 4, SnField::kAddress, "3BF7", "3B00",
                 "SN Address cannot exceed 0x3BF6", "3B00"},
        EditCase{"address_w4_top", 4, SnField::kAddress, "3BF6", "3BF6", "", "3BF6"},
        EditCase{"address_unfinished_is_not_checked", 1, SnField::kAddress, "0d", "0D", "", "0D"},
        EditCase{"value_filtered_and_upper_cased", 2, SnField::kValue, "ab-c", "ABC", "", "ABC"},
        EditCase{"value_cut_to_the_width", 2, SnField::kValue, "12345", "1234", "", "1234"},
        EditCase{"value_above_the_largest", 4, SnField::kValue, "FFFFFFFF", "12",
                 "SN cannot exceed 0xFFFFFFFE", "12"},
        EditCase{"value_largest", 4, SnField::kValue, "FFFFFFFE", "FFFFFFFE", "", "FFFFFFFE"}),
    [](const auto& c) { return std::string(c.param.name); });

// The record's refusals of a number, in the words the log and the command line show.
TEST(SerialConflictText, WordsEachRefusal) {
    using Kind = SerialConflict::Kind;
    const SerialPlanKey plan{0x0E00, 3};
    const struct {
        SerialConflict conflict;
        const char* text;
    } cases[] = {
        {{Kind::kNone, plan, 5, 2, 0}, ""},
        {{Kind::kGivenBefore, plan, 5, 2, 1},
         "serial number 0x000005 of plan 0x0E00/3 was already given to download #1"},
        {{Kind::kGivenBefore, {0x3B00, 2}, 0x1234, 2, 1},
         "serial number 0x1234 of plan 0x3B00/2 was already given to download #1"},
        {{Kind::kDownloadHoldsOne, plan, 6, 1, 0},
         "download #1 already holds a serial number; serial number 0x000006 of plan 0x0E00/3 "
         "was not recorded"},
        {{Kind::kDownloadEnded, plan, 1, 1, 0}, "download #1 has already ended"},
        {{Kind::kNotSaved, plan, 7, 1, 0},
         "serial number 0x000007 of plan 0x0E00/3 was not recorded: the counter could not be "
         "saved"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SerialConflictText(c.conflict), c.text);
}

}  // namespace
