#include "i18n/Language.h"

#include <QSettings>

namespace {

const QString kLanguageKey = QStringLiteral("general/language");
const QString kLanguageKeyAsReadBack = QStringLiteral("General/language");

QString storedLanguage(const QVariant& fallback = QVariant())
{
    const QVariant stored = storedLanguageSetting();
    return (stored.isValid() ? stored : fallback).toString();
}

} // namespace

QVariant storedLanguageSetting()
{
    const QSettings settings;
    const QVariant value = settings.value(kLanguageKey);
    return value.isValid() ? value : settings.value(kLanguageKeyAsReadBack);
}

void storeLanguageSetting(const QVariant& code)
{
    QSettings settings;
    settings.remove(kLanguageKeyAsReadBack);
    if (code.isValid())
        settings.setValue(kLanguageKey, code);
    else
        settings.remove(kLanguageKey);
}

int currentLanguageIndex()
{
    const QString code = storedLanguage(QStringLiteral("zh_CN"));
    if (code == u"zh_TW")
        return 1;
    if (code == u"ja_JP")
        return 2;
    if (code == u"ko_KR")
        return 3;
    if (code == u"en_US")
        return 4;
    return 0;
}

QString effectiveLanguageCode()
{
    const QString stored = storedLanguage();
    if (!stored.isEmpty())
        return stored;
    const QString system = QLocale::system().name().toLower();
    if (system.startsWith(u"zh_tw") || system.startsWith(u"zh_hk"))
        return QStringLiteral("zh_TW");
    if (system.startsWith(u"ja"))
        return QStringLiteral("ja_JP");
    if (system.startsWith(u"ko"))
        return QStringLiteral("ko_KR");
    if (system.startsWith(u"zh"))
        return QStringLiteral("zh_CN");
    return QStringLiteral("en_US");
}

int sharedLanguageColumn()
{
    const QString code = effectiveLanguageCode();
    if (code == u"zh_TW")
        return 0;
    if (code == u"ja_JP")
        return 1;
    if (code == u"ko_KR")
        return 2;
    return 3;
}

QLocale uiLocale()
{
    const QString code = storedLanguage();
    if (code == u"zh_TW")
        return QLocale(QLocale::Chinese, QLocale::TraditionalHanScript, QLocale::AnyTerritory);
    if (code == u"ja_JP")
        return QLocale(QLocale::Japanese, QLocale::Japan);
    if (code == u"ko_KR")
        return QLocale(QLocale::Korean, QLocale::SouthKorea);
    if (code == u"en_US")
        return QLocale(QLocale::English, QLocale::UnitedStates);
    return QLocale();
}
