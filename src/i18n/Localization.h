#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// Every user-visible text is written as its Simplified Chinese source and passed through localizedText, which
// answers from the tool catalogue, then from the shared catalogue, and otherwise returns the key unchanged.
QString localizedText(const QString& key);
QString sharedText(const QString& key);

// The literal tables, built once on first use. Tool rows: zh_CN, zh_TW, ja_JP, ko_KR, en_US.
// Shared rows: zh_TW, ja_JP, ko_KR, en_US (the key is the zh_CN text).
const QHash<QString, QStringList>& toolCatalogue();
const QHash<QString, QStringList>& sharedCatalogueA();
const QHash<QString, QStringList>& sharedCatalogueB();
