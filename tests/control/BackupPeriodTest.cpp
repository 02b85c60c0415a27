// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "control/BackupPeriod.h"

using BackupPeriod::FromMinutesText;
using BackupPeriod::ParseInt16;
using Kind = BackupPeriod::Period::Kind;

namespace {

struct Row {
    const char* text;
    Kind kind;
    int minutes;
};

void ExpectPeriod(const Row& row, const QString& decimalPoint) {
    const BackupPeriod::Period period = FromMinutesText(QString::fromUtf8(row.text), decimalPoint);
    EXPECT_EQ(period.kind, row.kind) << "text \"" << row.text << "\"";
    if (row.kind != Kind::Invalid) {
        EXPECT_EQ(period.minutes, row.minutes) << "text \"" << row.text << "\"";
    }
}

}  // namespace

TEST(PeriodRule, WholeMinutesBlanksAndSigns) {
    const Row rows[] = {
        {"1", Kind::Minutes, 1},        {" 3 ", Kind::Minutes, 3},   {"\t7\t", Kind::Minutes, 7},
        {"+5", Kind::Minutes, 5},       {"0", Kind::Minutes, 0},     {"-0", Kind::Minutes, 0},
        {"007", Kind::Minutes, 7},      {"546", Kind::Minutes, 546}, {"-1", Kind::Negative, -1},
        {"-546", Kind::Negative, -546}, {"５", Kind::Minutes, 5},
    };
    for (const Row& row : rows)
        ExpectPeriod(row, QStringLiteral("."));
}

TEST(PeriodRule, FractionsRoundHalfToEven) {
    const Row rows[] = {
        {"2.5", Kind::Minutes, 2},      {"3.5", Kind::Minutes, 4},
        {"0.5", Kind::Minutes, 0},      {"1.5", Kind::Minutes, 2},
        {"2.50", Kind::Minutes, 2},     {"2.501", Kind::Minutes, 3},
        {"2.49", Kind::Minutes, 2},     {"2.6", Kind::Minutes, 3},
        {".5", Kind::Minutes, 0},       {"5.", Kind::Minutes, 5},
        {"-2.5", Kind::Negative, -2},   {"-0.4", Kind::Minutes, 0},
        {"545.5", Kind::Minutes, 546},  {"546.5", Kind::Minutes, 546},
        {"546.51", Kind::Minutes, 547},
    };
    for (const Row& row : rows)
        ExpectPeriod(row, QStringLiteral("."));
}

// The minutes are bounded by 16 bits, not their product with 60.
TEST(PeriodRule, MinutesUpToSixteenBits) {
    const Row rows[] = {
        {"547", Kind::Minutes, 547},     {"-547", Kind::Negative, -547},
        {"32767", Kind::Minutes, 32767}, {"-32768", Kind::Negative, -32768},
        {"32768", Kind::Invalid, 0},     {"99999999999999", Kind::Invalid, 0},
    };
    for (const Row& row : rows)
        ExpectPeriod(row, QStringLiteral("."));
}

TEST(PeriodRule, TextsThatAreNoNumberFail) {
    const char* texts[] = {"",  " ", "abc", "1e2",  "0x10", "1 2", "1,000", ".",
                           "+", "-", "--1", "1..2", "5分",  "²",   "1.2.3"};
    for (const char* text : texts)
        ExpectPeriod({text, Kind::Invalid, 0}, QStringLiteral("."));
}

TEST(PeriodRule, LocaleDecimalSeparatorAndDotAlike) {
    ExpectPeriod({"2,5", Kind::Minutes, 2}, QStringLiteral(","));
    ExpectPeriod({"3,5", Kind::Minutes, 4}, QStringLiteral(","));
    ExpectPeriod({"3.5", Kind::Minutes, 4}, QStringLiteral(","));
    ExpectPeriod({"1,000", Kind::Minutes, 1}, QStringLiteral(","));
    ExpectPeriod({"2,5", Kind::Invalid, 0}, QStringLiteral("."));
    ExpectPeriod({"2٫5", Kind::Minutes, 2}, QStringLiteral("٫"));
}

TEST(PeriodRule, IntervalIsMinutesTimesSixtyThousand) {
    EXPECT_EQ(FromMinutesText("1", ".").intervalMs(), 60000);
    EXPECT_EQ(FromMinutesText("5", ".").intervalMs(), 300000);
    EXPECT_EQ(FromMinutesText("546", ".").intervalMs(), 32760000);
    EXPECT_EQ(FromMinutesText("547", ".").intervalMs(), 32820000);
    EXPECT_EQ(FromMinutesText("32767", ".").intervalMs(), 1966020000);
    EXPECT_EQ(FromMinutesText("0", ".").intervalMs(), 0);
    EXPECT_EQ(FromMinutesText("abc", ".").intervalMs(), 0);
    EXPECT_EQ(FromMinutesText("-3", ".").intervalMs(), 0);
}

TEST(PeriodRule, SixteenBitConversionBounds) {
    EXPECT_EQ(ParseInt16("32767", "."), 32767);
    EXPECT_EQ(ParseInt16("-32768", "."), -32768);
    EXPECT_EQ(ParseInt16("-32768.5", "."), -32768);
    EXPECT_EQ(ParseInt16("32767.5", "."), std::nullopt);
    EXPECT_EQ(ParseInt16("-32769", "."), std::nullopt);
    EXPECT_EQ(ParseInt16(" 12 ", "."), 12);
}
