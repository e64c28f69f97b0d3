#pragma once

#include <QLocale>
#include <QString>
#include <QVariant>

// The interface language is the settings value "general/language", read afresh on every call.

// The stored "general/language" value, invalid when absent. Qt's INI writer files the group "general" under the
// section [%General], which it reads back as the group "General"; on a case-sensitive platform the value would
// be lost at the next start, so both spellings are read, "general" first.
QVariant storedLanguageSetting();

// Writes "general/language" (and drops the "General" spelling), or removes both when code is invalid.
void storeLanguageSetting(const QVariant& code);

// Column of the tool catalogue: zh_CN 0, zh_TW 1, ja_JP 2, ko_KR 3, en_US 4; anything else 0.
int currentLanguageIndex();

// The stored code as it stands, or one derived from the system locale when none is stored.
QString effectiveLanguageCode();

// Column of the shared catalogue: zh_TW 0, ja_JP 1, ko_KR 2, anything else 3 (English).
int sharedLanguageColumn();

// The locale for data sizes: the chosen language's locale, or the system locale for zh_CN or no choice.
QLocale uiLocale();
