// SPDX-License-Identifier: GPL-3.0-or-later
#include "BackupPeriod.h"

#include <QLocale>

#include <limits>

namespace BackupPeriod {

namespace {

// Largest magnitude worth accumulating: anything beyond fails the 16-bit range anyway.
constexpr int kMagnitudeCap = 40000;

// The value of the decimal digit at `index` (any script's, so full-width digits count), or -1.
int DigitAt(const QString& text, qsizetype index) {
    if (index >= text.size() || text[index].category() != QChar::Number_DecimalDigit)
        return -1;
    return text[index].digitValue();
}

}  // namespace

std::optional<std::int16_t> ParseInt16(const QString& rawText, const QString& decimalPoint) {
    const QString text = rawText.trimmed();
    qsizetype at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) {
        negative = text[at] == u'-';
        ++at;
    }

    int magnitude = 0;
    int wholeDigits = 0;
    for (; DigitAt(text, at) >= 0; ++at, ++wholeDigits)
        magnitude = std::min(magnitude * 10 + DigitAt(text, at), kMagnitudeCap);

    int fractionDigits = 0;
    bool roundUp = false;
    const auto separatorAt = [&](const QString& separator) {
        return !separator.isEmpty() && text.mid(at, separator.size()) == separator;
    };
    const qsizetype separatorLength = separatorAt(decimalPoint)          ? decimalPoint.size()
                                      : separatorAt(QStringLiteral(".")) ? 1
                                                                         : 0;
    if (separatorLength > 0) {
        at += separatorLength;
        const int first = DigitAt(text, at);
        bool tailAboveZero = false;
        for (; DigitAt(text, at) >= 0; ++at, ++fractionDigits)
            if (fractionDigits > 0 && DigitAt(text, at) > 0)
                tailAboveZero = true;
        if (first > 5 || (first == 5 && (tailAboveZero || magnitude % 2 == 1)))
            roundUp = true;
    }

    if (at != text.size() || wholeDigits + fractionDigits == 0)
        return std::nullopt;
    if (roundUp)
        magnitude = std::min(magnitude + 1, kMagnitudeCap);
    const int value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max())
        return std::nullopt;
    return static_cast<std::int16_t>(value);
}

Period FromMinutesText(const QString& text) {
    return FromMinutesText(text, QLocale::system().decimalPoint());
}

Period FromMinutesText(const QString& text, const QString& decimalPoint) {
    const std::optional<std::int16_t> minutes = ParseInt16(text, decimalPoint);
    if (!minutes)
        return {};
    if (*minutes < 0)
        return {Period::Kind::Negative, *minutes};
    return {Period::Kind::Minutes, *minutes};
}

}  // namespace BackupPeriod
