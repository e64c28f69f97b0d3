#include "i18n/QtTranslations.h"

#include "i18n/Language.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLibraryInfo>
#include <QTranslator>

namespace {

// Qt's catalogue for each column of the tool catalogue (zh_CN, zh_TW, ja_JP, ko_KR, en_US): the interface
// language decides, so an unknown stored code gets the Chinese texts the page shows.
constexpr const char* kQtCatalogues[] = {"qtbase_zh_CN", "qtbase_zh_TW", "qtbase_ja", "qtbase_ko", nullptr};

} // namespace

bool installQtTranslations(QCoreApplication& app)
{
    const char* catalogue = kQtCatalogues[currentLanguageIndex()];
    if (catalogue == nullptr)
        return true;
    auto* translator = new QTranslator(&app);
    const QString name = QString::fromLatin1(catalogue);
    if (translator->load(name, QStringLiteral(":/qt-translations")) ||
        translator->load(name, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(translator);
        return true;
    }
    qWarning().noquote() << "qt translations missing" << name
                         << "path=" << QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    delete translator;
    return false;
}
