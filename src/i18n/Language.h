#pragma once

#include <QLocale>
#include <QString>

// The interface language is the settings value "general/language", read afresh on every call.

// Column of the tool catalogue: zh_CN 0, zh_TW 1, ja_JP 2, ko_KR 3, en_US 4; anything else 0.
int currentLanguageIndex();

// The stored code as it stands, or one derived from the system locale when none is stored.
QString effectiveLanguageCode();

// Column of the shared catalogue: zh_TW 0, ja_JP 1, ko_KR 2, anything else 3 (English).
int sharedLanguageColumn();

// The locale for data sizes: the chosen language's locale, or the system locale for zh_CN or no choice.
QLocale uiLocale();
