// SPDX-License-Identifier: GPL-3.0-or-later
// The backup period typed into the minutes box, turned into the period timer's interval.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace BackupPeriod {

// Converts `text` to a signed 16-bit whole number the way the minutes box is read: blanks
// around the number, an optional sign, digits with an optional fraction after `decimalPoint`
// or "." (a half rounds to the even neighbour: 2.5 gives 2, 3.5 gives 4). No exponents, no
// digit grouping. Empty when the text is no such number or the value is out of 16-bit range.
std::optional<std::int16_t> ParseInt16(const QString& text, const QString& decimalPoint);

// What the minutes text means for the period timer.
struct Period {
    enum class Kind {
        Minutes,   // 0..32767 minutes; 0 means the timer never fires
        Negative,  // -32768..-1 minutes: no usable period
        Invalid,   // no number, or outside 16 bits
    };
    Kind kind = Kind::Invalid;
    int minutes = 0;
    // Milliseconds for Kind::Minutes, otherwise 0. 32767 minutes still fit in 32 bits.
    std::int32_t intervalMs() const {
        return kind == Kind::Minutes ? std::int32_t{minutes} * 60000 : 0;
    }
};

// Applies the period rule to `text`, accepting the system locale's decimal separator and ".".
Period FromMinutesText(const QString& text);
// The same with an explicit decimal separator.
Period FromMinutesText(const QString& text, const QString& decimalPoint);

}  // namespace BackupPeriod
