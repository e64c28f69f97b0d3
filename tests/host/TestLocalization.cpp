#include "app/StandaloneMain.h"
#include "i18n/Language.h"
#include "i18n/Localization.h"
#include "i18n/QtTranslations.h"
#include "tools/IntegratedTools.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTranslator>

using namespace Qt::StringLiterals;

class TestLocalization : public QObject {
    Q_OBJECT

private:
    static void setLanguage(const QVariant& code)
    {
        QSettings settings;
        if (code.isValid())
            settings.setValue(QStringLiteral("general/language"), code);
        else
            settings.remove(QStringLiteral("general/language"));
    }

private slots:
    void initTestCase()
    {
        setUpApplicationIdentity();
        // The system locale decides the fallbacks; pin it so the rows below mean the same on every machine.
        QLocale::setDefault(QLocale::c());
    }

    void cleanup()
    {
        setLanguage(QVariant());
        for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
            QCoreApplication::removeTranslator(translator);
            delete translator;
        }
    }

    // Qt's own texts follow the interface language: message-box buttons and the file dialog's.
    void qtTexts_data()
    {
        QTest::addColumn<QVariant>("code");
        QTest::addColumn<QStringList>("buttons"); // OK, Yes, No, Cancel, then the file dialog's Open
        QTest::newRow("zh_CN") << QVariant(u"zh_CN"_s)
                               << QStringList{u"确定"_s, u"是(&Y)"_s, u"否(&N)"_s, u"取消"_s, u"打开(&O)"_s};
        QTest::newRow("absent: Chinese as the page") << QVariant()
                                                     << QStringList{u"确定"_s, u"是(&Y)"_s, u"否(&N)"_s, u"取消"_s,
                                                                    u"打开(&O)"_s};
        QTest::newRow("zh_TW") << QVariant(u"zh_TW"_s)
                               << QStringList{u"確定"_s, u"是(&Y)"_s, u"否(&N)"_s, u"取消"_s, u"開啟(&O)"_s};
        QTest::newRow("ja_JP") << QVariant(u"ja_JP"_s)
                               << QStringList{u"OK"_s, u"はい(&Y)"_s, u"いいえ(&N)"_s, u"キャンセル"_s, u"開く(&O)"_s};
        QTest::newRow("ko_KR") << QVariant(u"ko_KR"_s)
                               << QStringList{u"확인"_s, u"예(&Y)"_s, u"아니요(&N)"_s, u"취소"_s, u"열기(&O)"_s};
        QTest::newRow("en_US") << QVariant(u"en_US"_s)
                               << QStringList{u"OK"_s, u"&Yes"_s, u"&No"_s, u"Cancel"_s, u"&Open"_s};
    }

    void qtTexts()
    {
        QFETCH(QVariant, code);
        QFETCH(QStringList, buttons);
        setLanguage(code);
        QVERIFY2(installQtTranslations(*qApp), "Qt's translations are missing (Debian: qt6-translations-l10n)");
        QMessageBox box(QMessageBox::Question, u"t"_s, u"t"_s,
                        QMessageBox::Ok | QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        QStringList shown;
        for (const QMessageBox::StandardButton which :
             {QMessageBox::Ok, QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel})
            shown.append(box.button(which)->text());
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog, true);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        shown.append(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open)->text());
        QCOMPARE(shown, buttons);
    }

    void languageFunctions_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("sharedColumn");
        QTest::addColumn<QString>("localeName"); // empty: the default locale

        QTest::newRow("absent") << QVariant() << 0 << 3 << QString();
        QTest::newRow("zh_CN") << QVariant(u"zh_CN"_s) << 0 << 3 << QString();
        QTest::newRow("zh_TW") << QVariant(u"zh_TW"_s) << 1 << 0 << u"zh_TW"_s;
        QTest::newRow("ja_JP") << QVariant(u"ja_JP"_s) << 2 << 1 << u"ja_JP"_s;
        QTest::newRow("ko_KR") << QVariant(u"ko_KR"_s) << 3 << 2 << u"ko_KR"_s;
        QTest::newRow("en_US") << QVariant(u"en_US"_s) << 4 << 3 << u"en_US"_s;
        QTest::newRow("unknown code fr_FR") << QVariant(u"fr_FR"_s) << 0 << 3 << QString();
        QTest::newRow("wrong case zh_tw") << QVariant(u"zh_tw"_s) << 0 << 3 << QString();
        QTest::newRow("trailing space") << QVariant(u"en_US "_s) << 0 << 3 << QString();
        QTest::newRow("empty string") << QVariant(QString()) << 0 << 3 << QString();
    }

    void languageFunctions()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, index);
        QFETCH(int, sharedColumn);
        QFETCH(QString, localeName);
        setLanguage(stored);
        QCOMPARE(currentLanguageIndex(), index);
        QCOMPARE(sharedLanguageColumn(), sharedColumn);
        const QLocale expected = localeName.isEmpty() ? QLocale() : QLocale(localeName);
        QCOMPARE(uiLocale().name(), expected.name());
    }

    void effectiveCodeKeepsStoredValue_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::newRow("known") << u"ja_JP"_s;
        QTest::newRow("unknown kept as it stands") << u"fr_FR"_s;
        QTest::newRow("wrong case kept") << u"zh_tw"_s;
    }

    void effectiveCodeKeepsStoredValue()
    {
        QFETCH(QString, stored);
        setLanguage(stored);
        QCOMPARE(effectiveLanguageCode(), stored);
    }

    void toolCatalogueIsComplete()
    {
        const QHash<QString, QStringList>& catalogue = toolCatalogue();
        QCOMPARE(catalogue.size(), 57);
        QSet<QString> englishTexts;
        for (auto it = catalogue.constBegin(); it != catalogue.constEnd(); ++it) {
            QCOMPARE(it.value().size(), 5);
            QCOMPARE(it.value().at(0), it.key());
            for (const QString& text : it.value())
                QVERIFY2(!text.trimmed().isEmpty(), qPrintable(it.key()));
            // Placeholders must survive translation, or arg() would leave a marker or drop a value.
            for (const QString& text : it.value())
                QCOMPARE(text.count(u"%1"_s), it.key().count(u"%1"_s));
            QCOMPARE(it.value().at(0).count(QLatin1Char('\n')), it.value().at(4).count(QLatin1Char('\n')));
            englishTexts.insert(it.value().at(4));
        }
        QCOMPARE(englishTexts.size(), 57);
    }

    void lookups_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");

        QTest::newRow("tool row en") << QVariant(u"en_US"_s) << u"帮助 - %1"_s << u"Help - %1"_s;
        QTest::newRow("tool row zh_TW") << QVariant(u"zh_TW"_s) << u"帮助"_s << u"說明"_s;
        QTest::newRow("tool row ja") << QVariant(u"ja_JP"_s) << u"就绪"_s << u"準備完了"_s;
        QTest::newRow("tool row ko") << QVariant(u"ko_KR"_s) << u"剩余时间：--:--:--"_s << u"남은 시간: --:--:--"_s;
        QTest::newRow("tool title en") << QVariant(u"en_US"_s) << u"PSD图层批量导出工具"_s
                                        << u"PSD Layer Batch Export Tool"_s;
        QTest::newRow("tool row wins over shared") << QVariant(u"en_US"_s) << u"状态"_s << u"Status"_s;
        QTest::newRow("shared row en") << QVariant(u"en_US"_s) << u"已选 0 个 PSD / PSB"_s
                                       << u"0 PSD / PSB selected"_s;
        QTest::newRow("shared row ko") << QVariant(u"ko_KR"_s) << u"%1 个文件  |  %2  |  支持：%3"_s
                                       << u"파일 %1개  |  %2  |  지원: %3"_s;
        QTest::newRow("table A wins over B") << QVariant(u"en_US"_s) << u"选择"_s << u"Select"_s;
        QTest::newRow("miss returns key") << QVariant(u"en_US"_s) << u"失败"_s << u"失败"_s;
        QTest::newRow("trailing space is a miss") << QVariant(u"en_US"_s) << u"就绪 "_s << u"就绪 "_s;
        QTest::newRow("half-width colon is a miss") << QVariant(u"en_US"_s) << u"输出位置:"_s << u"输出位置:"_s;
        QTest::newRow("zh_CN returns key for shared") << QVariant(u"zh_CN"_s) << u"已选 0 个 PSD / PSB"_s
                                                      << u"已选 0 个 PSD / PSB"_s;
        // With nothing stored, the tool catalogue stays Chinese while the shared one follows the (C) locale.
        QTest::newRow("absent: tool row Chinese") << QVariant() << u"就绪"_s << u"就绪"_s;
        QTest::newRow("absent: shared row English") << QVariant() << u"已选 0 个 PSD / PSB"_s
                                                    << u"0 PSD / PSB selected"_s;
        QTest::newRow("unknown code: shared English") << QVariant(u"fr_FR"_s) << u"已选 %1 个 PSD / PSB"_s
                                                      << u"%1 PSD / PSB selected"_s;
        QTest::newRow("wrong case: tool row Chinese") << QVariant(u"zh_tw"_s) << u"设置"_s << u"设置"_s;
    }

    void lookups()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        setLanguage(stored);
        QCOMPARE(localizedText(key), expected);
    }

    void catalogueEntriesOfTools_data()
    {
        QTest::addColumn<int>("tool");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("icon");
        QTest::addColumn<QString>("english");
        QTest::addColumn<QString>("suffixes");
        QTest::addColumn<QString>("filter");

        const QString psdFilter = u"Photoshop 文件 (*.psd *.psb)"_s;
        QTest::newRow("image resize") << 0 << u"image-resize"_s << u"Framewell.exe"_s
                                      << u":/branding/assets/image-resize-tool-icon.png"_s << u"Image Resize Tool"_s
                                      << u"jpg jpeg png bmp gif tif tiff"_s
                                      << u"支持的图片 (*.jpg *.jpeg *.png *.bmp *.gif *.tif *.tiff)"_s;
        QTest::newRow("psd slim") << 1 << u"psd-slim"_s << u"Leanfold.exe"_s
                                  << u":/branding/assets/psd-slim-tool-icon.png"_s << u"PSD&PSB Safe Slim Tool"_s
                                  << u"psd psb"_s << psdFilter;
        QTest::newRow("layer export") << 2 << u"layer-export"_s << u"Stratafile.exe"_s
                                      << u":/branding/assets/layer-export-tool-icon.png"_s
                                      << u"PSD Layer Batch Export Tool"_s << u"psd psb"_s << psdFilter;
        QTest::newRow("out of range 3") << 3 << QString() << QString() << QString() << QString() << u"psd psb"_s
                                        << psdFilter;
        QTest::newRow("out of range -1") << -1 << QString() << QString() << QString() << QString()
                                         << u"psd psb"_s << psdFilter;
    }

    void catalogueEntriesOfTools()
    {
        QFETCH(int, tool);
        QFETCH(QString, id);
        QFETCH(QString, executable);
        QFETCH(QString, icon);
        QFETCH(QString, english);
        QFETCH(QString, suffixes);
        QFETCH(QString, filter);
        const auto value = static_cast<IntegratedTools::Tool>(tool);
        QCOMPARE(IntegratedTools::toolId(value), id);
        QCOMPARE(IntegratedTools::executableName(value), executable);
        QCOMPARE(IntegratedTools::iconResource(value), icon);
        QCOMPARE(IntegratedTools::supportedSuffixes(value).join(QLatin1Char(' ')), suffixes);
        QCOMPARE(IntegratedTools::fileDialogFilter(value), filter);
        setLanguage(u"en_US"_s);
        QCOMPARE(IntegratedTools::displayName(value), english);
        if (!icon.isEmpty())
            QVERIFY2(!QIcon(icon).pixmap(32, 32).isNull(), qPrintable(icon));
        if (tool == IntegratedTools::ImageResize || tool == IntegratedTools::LayerExport) {
            // Built without looking at the disk: the sibling tool need not exist.
            const QString helper = IntegratedTools::helperExecutablePath(value);
            QVERIFY(helper.endsWith(u"/tools/integrated/"_s + executable));
            QVERIFY(!QFileInfo::exists(helper));
        }
    }

    void displayNameUnderChinese()
    {
        setLanguage(u"zh_CN"_s);
        QCOMPARE(IntegratedTools::displayName(IntegratedTools::LayerExport), u"PSD图层批量导出工具"_s);
        setLanguage(u"ja_JP"_s);
        QCOMPARE(IntegratedTools::displayName(IntegratedTools::PsdSlim), u"PSD&PSB安全スリム化ツール"_s);
    }

    void brandingResources_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("options") << u":/branding/assets/dossier-icons/nav-options.svg"_s;
        QTest::newRow("help") << u":/branding/assets/dossier-icons/nav-help.svg"_s;
        QTest::newRow("check") << u":/branding/assets/dossier-icons/checkbox-check.svg"_s;
    }

    void brandingResources()
    {
        QFETCH(QString, path);
        const QPixmap pixmap = QIcon(path).pixmap(17, 17);
        QVERIFY2(!pixmap.isNull(), qPrintable(path));
        // A broken SVG renders as an empty image: at least one pixel must be drawn.
        const QImage image = pixmap.toImage();
        bool drawn = false;
        for (int y = 0; y < image.height() && !drawn; ++y)
            for (int x = 0; x < image.width() && !drawn; ++x)
                drawn = qAlpha(image.pixel(x, y)) > 0;
        QVERIFY(drawn);
    }
};

QTEST_MAIN(TestLocalization)
#include "TestLocalization.moc"
