#include "i18n/Localization.h"

#include "i18n/Language.h"

QString localizedText(const QString& key)
{
    const QHash<QString, QStringList>& catalogue = toolCatalogue();
    const auto row = catalogue.constFind(key);
    if (row == catalogue.constEnd() || row->isEmpty())
        return sharedText(key);
    const int index = currentLanguageIndex();
    return index < row->size() ? row->at(index) : key;
}

QString sharedText(const QString& key)
{
    // Simplified Chinese is the source language: the shared tables are not even built for it.
    if (effectiveLanguageCode() == u"zh_CN")
        return key;
    const QHash<QString, QStringList>& tableA = sharedCatalogueA();
    const QHash<QString, QStringList>& tableB = sharedCatalogueB();
    QStringList row = tableA.value(key);
    if (row.isEmpty())
        row = tableB.value(key);
    if (row.isEmpty())
        return key;
    const int column = sharedLanguageColumn();
    return column < row.size() ? row.at(column) : key;
}
