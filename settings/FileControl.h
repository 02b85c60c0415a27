// SPDX-License-Identifier: GPL-3.0-or-later
// The program's settings routines.
//
// Settings are text values under (application, section, key); the application is the
// executable's base name. Every section, key and default comes from the schema
// (SettingsSchema.h): a control's value is stored under its own name, which the schema must
// list; the other values are named by their row.
#pragma once

#include <QString>

#include "SettingsSchema.h"

class QObject;

namespace FileControl {

// Stores `value` under the control's objectName. Nothing is stored for a control that has no
// row in the schema.
void SaveControlSetting(const QObject& control, const QString& value);
// The text stored under the control's objectName, or the empty text.
QString LoadControlSetting(const QObject& control);

// Stores `value` as `setting`.
void SaveSetting(SettingsSchema::Setting setting, const QString& value);
// The text stored as `setting`, or the schema's default when there is none. Section and key
// names compare without regard to case.
QString GetSetting(SettingsSchema::Setting setting);

// Stored texts as numbers. Anyone may edit the file, so these never fail: surrounding spaces
// are ignored, and a text that is not what is expected counts as 0 (false, unchecked).
// A decimal integer from -32768 to 32767; anything else (empty, words, fractions, out of range)
// is 0.
qint16 SettingToInt16(const QString& text);
// "true"/"false" in any case, or a number that is true when it is not zero; anything else is
// false.
bool SettingToBool(const QString& text);
// A check box state: 0 unchecked, 1 checked, 2 greyed; any other text is 0.
int SettingToCheckState(const QString& text);

}  // namespace FileControl
