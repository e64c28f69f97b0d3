#include "app/StandaloneMain.h"
#include "page/IntegratedToolPage.h"
#include "page/PageStyle.h"
#include "page/UserPrompts.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <memory>

using namespace Qt::StringLiterals;

class TestToolPage : public QObject {
    Q_OBJECT

private:
    static void setLanguage(const QString& code) { QSettings().setValue(u"general/language"_s, code); }

    static std::unique_ptr<IntegratedToolPage> makePage(int tool, const QString& language)
    {
        setLanguage(language);
        return std::make_unique<IntegratedToolPage>(static_cast<IntegratedTools::Tool>(tool), nullptr, true);
    }

    template <typename T>
    static T* child(const QWidget& page, const QString& name)
    {
        return page.findChild<T*>(name);
    }

    static QPushButton* buttonWithText(const QWidget& page, const QString& text)
    {
        const QList<QPushButton*> buttons = page.findChildren<QPushButton*>();
        for (QPushButton* button : buttons) {
            if (button->text() == text)
                return button;
        }
        return nullptr;
    }

    static bool hasLabel(const QWidget& page, const QString& text)
    {
        const QList<QLabel*> labels = page.findChildren<QLabel*>();
        return std::any_of(labels.begin(), labels.end(), [&](const QLabel* label) { return label->text() == text; });
    }

private slots:
    void initTestCase() { setUpApplicationIdentity(); }

    // Which widgets a page has depends on its tool; object names are how the runs and style sheets find them.
    void objectNamesPerTool_data()
    {
        QTest::addColumn<int>("tool");
        QTest::addColumn<QString>("pageName");
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("absent");

        const QStringList common = {u"standaloneToolPageHeader"_s, u"toolTitle"_s,
                                    u"standaloneToolSettingsButton"_s, u"standaloneToolHelpButton"_s,
                                    u"toolSection"_s, u"integratedToolChooseButton"_s,
                                    u"integratedToolChooseFoldersButton"_s, u"integratedToolBackButton"_s,
                                    u"integratedToolDropList"_s, u"integratedToolLog"_s, u"toolStart"_s,
                                    u"toolCredit"_s};
        const QStringList image = {u"imageSizeRule"_s, u"imageFillRule"_s, u"imageCentered"_s,
                                   u"imageOutputPng"_s, u"imageRecursive"_s, u"imageOutputDirectory"_s};
        const QStringList layer = {u"layerRemoveSelected"_s, u"layerSelectedCount"_s, u"layerSelectedLabel"_s,
                                   u"layerOutputDirectory"_s, u"layerTrimTransparency"_s,
                                   u"layerSizingMode"_s, u"layerClearLog"_s};
        const QStringList psd = {u"psdDeepClean"_s};
        QTest::newRow("image resize") << 0 << u"image-resizeUnifiedPage"_s << common + image << layer + psd;
        QTest::newRow("psd slim") << 1 << u"psd-slimUnifiedPage"_s << common + psd << layer + image;
        QTest::newRow("layer export") << 2 << u"layer-exportUnifiedPage"_s << common + layer << image + psd;
    }

    void objectNamesPerTool()
    {
        QFETCH(int, tool);
        QFETCH(QString, pageName);
        QFETCH(QStringList, present);
        QFETCH(QStringList, absent);
        const auto page = makePage(tool, u"zh_CN"_s);
        QCOMPARE(page->objectName(), pageName);
        for (const QString& name : present)
            QVERIFY2(page->findChild<QObject*>(name), qPrintable(name));
        for (const QString& name : absent)
            QVERIFY2(!page->findChild<QObject*>(name), qPrintable(name));
        // Elapsed and remaining time exist on the two PSD pages only.
        const bool timed = tool != IntegratedTools::ImageResize;
        QCOMPARE(hasLabel(*page, u"已用时间：00:00:00"_s), timed);
        QCOMPARE(hasLabel(*page, u"剩余时间：--:--:--"_s), timed);
    }

    void headerButtonsOnlyWhenAsked()
    {
        setLanguage(u"zh_CN"_s);
        IntegratedToolPage page(IntegratedTools::PsdSlim, nullptr, false);
        QVERIFY(!page.findChild<QToolButton*>(u"standaloneToolSettingsButton"_s));
        QVERIFY(!page.findChild<QToolButton*>(u"standaloneToolHelpButton"_s));
        QVERIFY(page.findChild<QLabel*>(u"toolTitle"_s));
    }

    void textsPerLanguage_data()
    {
        QTest::addColumn<int>("tool");
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("chooseText");
        QTest::addColumn<QString>("startText");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QStringList>("headers");

        const QStringList zhHeaders = {u"文件名"_s, u"所在位置"_s, u"大小"_s, u"状态"_s};
        const QStringList enHeaders = {u"File name"_s, u"Location"_s, u"Size"_s, u"Status"_s};
        QTest::newRow("psd slim zh_CN")
            << 1 << u"zh_CN"_s << u"PSD&PSB安全瘦身工具"_s << u"选择文件"_s << u"开始处理"_s
            << QStringList{u"选择多个文件夹"_s, u"清空列表"_s, u"返回文件管理"_s}
            << QStringList{u"工具操作"_s, u"运行日志"_s, u"就绪"_s,
                           u"内置离线安全处理，不启动 Adobe Photoshop；保存前后自动校验画布与图层结构。"_s,
                           u"0 个文件  |  0 bytes  |  支持：PSD / PSB"_s}
            << zhHeaders;
        QTest::newRow("psd slim en_US")
            << 1 << u"en_US"_s << u"PSD&PSB Safe Slim Tool"_s << u"Choose files"_s << u"Start processing"_s
            << QStringList{u"Choose folders"_s, u"Clear list"_s, u"Back to file manager"_s}
            << QStringList{u"Tool actions"_s, u"Run log"_s, u"Ready"_s, u"Elapsed: 00:00:00"_s,
                           u"Remaining: --:--:--"_s,
                           u"Offline safe processing without Adobe Photoshop; validates canvas and layer structure "
                           u"before and after saving."_s,
                           u"0 files  |  0 bytes  |  Supported: PSD / PSB"_s}
            << enHeaders;
        QTest::newRow("image resize zh_CN")
            << 0 << u"zh_CN"_s << u"图片尺寸调整工具"_s << u"选择多个图片"_s << u"开始处理"_s
            << QStringList{u"浏览"_s, u"恢复原位置替换"_s}
            << QStringList{u"尺寸规则："_s, u"补边颜色："_s, u"输出目录（留空＝原位置替换）："_s,
                           u"0 个文件  |  0 bytes  |  支持：JPG / JPEG / PNG / BMP / GIF / TIF / TIFF"_s}
            << zhHeaders;
        QTest::newRow("image resize en_US")
            << 0 << u"en_US"_s << u"Image Resize Tool"_s << u"Choose images"_s << u"Start processing"_s
            << QStringList{u"Browse"_s, u"Restore in-place replacement"_s}
            << QStringList{u"Sizing rule:"_s, u"Padding color:"_s, u"Output folder (empty = replace in place):"_s,
                           u"0 files  |  0 bytes  |  Supported: JPG / JPEG / PNG / BMP / GIF / TIF / TIFF"_s}
            << enHeaders;
        QTest::newRow("layer export zh_CN")
            << 2 << u"zh_CN"_s << u"PSD图层批量导出工具"_s << u"选择文件"_s << u"开始导出"_s
            << QStringList{u"移除选中项"_s, u"浏览..."_s, u"恢复默认"_s, u"清理处理日志"_s}
            << QStringList{u"已选 0 个 PSD / PSB"_s, u"输出位置："_s, u"补边尺寸："_s,
                           u"已选文件列表：支持 PSD / PSB，也可直接拖入文件或文件夹"_s}
            << zhHeaders;
        QTest::newRow("layer export en_US")
            << 2 << u"en_US"_s << u"PSD Layer Batch Export Tool"_s << u"Choose files"_s << u"Start export"_s
            << QStringList{u"Remove selected"_s, u"Browse..."_s, u"Restore default"_s, u"Clear processing log"_s}
            << QStringList{u"0 PSD / PSB selected"_s, u"Output location:"_s, u"Padding size:"_s,
                           u"Selected files: PSD / PSB supported. You can also drop files or folders here."_s}
            << enHeaders;
    }

    void textsPerLanguage()
    {
        QFETCH(int, tool);
        QFETCH(QString, language);
        QFETCH(QString, title);
        QFETCH(QString, chooseText);
        QFETCH(QString, startText);
        QFETCH(QStringList, buttons);
        QFETCH(QStringList, labels);
        QFETCH(QStringList, headers);
        // The summary's size is formatted by the page's locale; C keeps the zh_CN rows the same everywhere.
        QLocale::setDefault(QLocale::c());
        const auto page = makePage(tool, language);
        QCOMPARE(child<QLabel>(*page, u"toolTitle"_s)->text(), title);
        QCOMPARE(child<QPushButton>(*page, u"integratedToolChooseButton"_s)->text(), chooseText);
        QCOMPARE(child<QPushButton>(*page, u"toolStart"_s)->text(), startText);
        for (const QString& text : buttons)
            QVERIFY2(buttonWithText(*page, text), qPrintable(text));
        for (const QString& text : labels)
            QVERIFY2(hasLabel(*page, text), qPrintable(text));
        const QTreeWidgetItem* header = child<QTreeWidget>(*page, u"integratedToolDropList"_s)->headerItem();
        QCOMPARE(header->columnCount(), 4);
        for (int column = 0; column < 4; ++column)
            QCOMPARE(header->text(column), headers.at(column));
        const bool english = language == u"en_US"_s;
        QCOMPARE(child<QToolButton>(*page, u"standaloneToolSettingsButton"_s)->toolTip(),
                 english ? u"Settings"_s : u"设置"_s);
        QCOMPARE(child<QToolButton>(*page, u"standaloneToolHelpButton"_s)->toolTip(), english ? u"Help"_s : u"帮助"_s);
        QVERIFY(!child<QLabel>(*page, u"toolCredit"_s)->text().isEmpty());
    }

    void optionDefaults()
    {
        const auto psd = makePage(IntegratedTools::PsdSlim, u"en_US"_s);
        QVERIFY(!child<QCheckBox>(*psd, u"psdDeepClean"_s)->isChecked());
        QCOMPARE(child<QCheckBox>(*psd, u"psdDeepClean"_s)->text(),
                 u"Deep-clean embedded PSD/PSB smart objects (slower)"_s);

        const auto image = makePage(IntegratedTools::ImageResize, u"en_US"_s);
        auto* sizeRule = child<QComboBox>(*image, u"imageSizeRule"_s);
        QCOMPARE(sizeRule->currentIndex(), 0);
        QCOMPARE(sizeRule->count(), 3);
        QCOMPARE(sizeRule->itemText(0), u"Multiple of 4"_s);
        QCOMPARE(sizeRule->itemText(1), u"Even (multiple of 2)"_s);
        QCOMPARE(sizeRule->itemText(2), u"Power of 2"_s);
        auto* fillRule = child<QComboBox>(*image, u"imageFillRule"_s);
        QCOMPARE(fillRule->currentIndex(), 0);
        QCOMPARE(fillRule->itemText(0), u"Transparent"_s);
        QCOMPARE(fillRule->itemText(1), u"White"_s);
        QCOMPARE(fillRule->itemText(2), u"Black"_s);
        QVERIFY(child<QCheckBox>(*image, u"imageCentered"_s)->isChecked());
        QVERIFY(!child<QCheckBox>(*image, u"imageOutputPng"_s)->isChecked());
        QVERIFY(child<QCheckBox>(*image, u"imageRecursive"_s)->isChecked());
        auto* output = child<QLineEdit>(*image, u"imageOutputDirectory"_s);
        QVERIFY(output->text().isEmpty());
        QCOMPARE(output->placeholderText(), u"Leave empty to replace the original file"_s);
        output->setText(u"/somewhere"_s);
        buttonWithText(*image, u"Restore in-place replacement"_s)->click();
        QVERIFY(output->text().isEmpty());

        const auto layer = makePage(IntegratedTools::LayerExport, u"en_US"_s);
        auto* sizing = child<QComboBox>(*layer, u"layerSizingMode"_s);
        QCOMPARE(sizing->currentIndex(), 1);
        QCOMPARE(sizing->currentData().toString(), u"multiple4"_s);
        const QStringList data = {u"none"_s, u"multiple4"_s, u"even"_s, u"power2"_s};
        const QStringList texts = {u"No rule (trim only)"_s, u"Multiple of 4"_s, u"Even (multiple of 2)"_s, u"2ⁿ"_s};
        QCOMPARE(sizing->count(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(sizing->itemData(i).toString(), data.at(i));
            QCOMPARE(sizing->itemText(i), texts.at(i));
        }
        auto* trim = child<QCheckBox>(*layer, u"layerTrimTransparency"_s);
        QVERIFY(trim->isChecked());
        QCOMPARE(trim->toolTip(),
                 u"When cleared, each PNG retains the original PSD/PSB canvas size and layer coordinates"_s);
        auto* layerOutput = child<QLineEdit>(*layer, u"layerOutputDirectory"_s);
        QCOMPARE(layerOutput->placeholderText(), u"Automatic: create a same-named folder next to the PSD/PSB"_s);
        layerOutput->setText(u"/out"_s);
        buttonWithText(*layer, u"Restore default"_s)->click();
        QVERIFY(layerOutput->text().isEmpty());

        for (const auto* page : {psd.get(), image.get(), layer.get()}) {
            auto* progress = page->findChild<QProgressBar*>();
            QCOMPARE(progress->minimum(), 0);
            QCOMPARE(progress->maximum(), 100);
            QCOMPARE(progress->value(), 0);
            QVERIFY(!progress->isTextVisible());
            auto* log = child<QTextEdit>(*page, u"integratedToolLog"_s);
            QVERIFY(log->isReadOnly());
            QCOMPARE(log->maximumHeight(), 78);
            QCOMPARE(child<QPushButton>(*page, u"toolStart"_s)->size(), QSize(256, 44));
            QCOMPARE(child<QPushButton>(*page, u"toolStart"_s)->cursor().shape(), Qt::PointingHandCursor);
            QVERIFY(page->isEnabled());
            QVERIFY(!page->isRunning());
        }
    }

    void sizingRowFollowsTrim_data()
    {
        QTest::addColumn<QList<bool>>("toggles");
        QTest::newRow("cleared") << QList<bool>{false};
        QTest::newRow("cleared then checked") << QList<bool>{false, true};
        QTest::newRow("checked twice") << QList<bool>{true, true};
    }

    void sizingRowFollowsTrim()
    {
        QFETCH(QList<bool>, toggles);
        const auto page = makePage(IntegratedTools::LayerExport, u"en_US"_s);
        auto* trim = child<QCheckBox>(*page, u"layerTrimTransparency"_s);
        auto* sizing = child<QComboBox>(*page, u"layerSizingMode"_s);
        QLabel* sizingLabel = nullptr;
        for (QLabel* label : page->findChildren<QLabel*>()) {
            if (label->text() == u"Padding size:"_s)
                sizingLabel = label;
        }
        QVERIFY(sizingLabel);
        for (bool checked : toggles) {
            trim->setChecked(checked);
            QCOMPARE(sizing->isEnabled(), checked);
            QCOMPARE(sizingLabel->isEnabled(), checked);
        }
        QCOMPARE(trim->isEnabled(), true);
    }

    void headerCallbacks()
    {
        const auto page = makePage(IntegratedTools::PsdSlim, u"zh_CN"_s);
        auto* settings = child<QToolButton>(*page, u"standaloneToolSettingsButton"_s);
        auto* help = child<QToolButton>(*page, u"standaloneToolHelpButton"_s);
        auto* back = child<QPushButton>(*page, u"integratedToolBackButton"_s);
        // No callback installed: clicking is harmless.
        settings->click();
        help->click();
        back->click();
        int settingsCount = 0, helpCount = 0, backCount = 0;
        page->setSettingsHandler([&] { ++settingsCount; });
        page->setHelpHandler([&] { ++helpCount; });
        page->setBackHandler([&] { ++backCount; });
        settings->click();
        help->click();
        help->click();
        back->click();
        QCOMPARE(settingsCount, 1);
        QCOMPARE(helpCount, 2);
        QCOMPARE(backCount, 1);
    }

    void layerClearLogKeepsQueue()
    {
        const auto page = makePage(IntegratedTools::LayerExport, u"zh_CN"_s);
        auto* log = child<QTextEdit>(*page, u"integratedToolLog"_s);
        log->append(u"line"_s);
        child<QPushButton>(*page, u"layerClearLog"_s)->click();
        QVERIFY(log->toPlainText().isEmpty());
    }

    void messageBoxesShowPlainText_data();
    void messageBoxesShowPlainText();
    void styleSheetRulesInOrder()
    {
        const QString sheet = pageStyleSheet();
        const QStringList selectors = {
            u"QWidget {"_s, u"QWidget#standaloneToolPageHeader {"_s, u"QLabel#toolTitle {"_s,
            u"QLabel#toolSection {"_s, u"QPushButton {"_s, u"QPushButton:hover {"_s,
            u"QPushButton#integratedToolChooseButton {"_s, u"QPushButton#toolStart {"_s, u"QLabel#toolCredit {"_s,
            u"QTreeWidget#integratedToolDropList {"_s, u"QTreeWidget#integratedToolDropList[dropActive=true] {"_s,
            u"QHeaderView::section {"_s, u"QLineEdit, QComboBox {"_s, u"QCheckBox {"_s,
            u"QCheckBox::indicator:checked {"_s, u"QTextEdit {"_s, u"QProgressBar {"_s,
            u"QProgressBar::chunk {"_s};
        qsizetype last = -1;
        for (const QString& selector : selectors) {
            const qsizetype at = sheet.indexOf(selector);
            QVERIFY2(at > last, qPrintable(selector));
            last = at;
        }
        QCOMPARE(sheet.count(QLatin1Char('{')), sheet.count(QLatin1Char('}')));
        QVERIFY(sheet.contains(u"image:url(:/branding/assets/dossier-icons/checkbox-check.svg)"_s));
        const auto page = makePage(IntegratedTools::PsdSlim, u"zh_CN"_s);
        QCOMPARE(page->styleSheet(), sheet);
    }
};

void TestToolPage::messageBoxesShowPlainText_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("information") << int(UserPrompts::Kind::Information);
    QTest::newRow("warning") << int(UserPrompts::Kind::Warning);
    QTest::newRow("question") << int(UserPrompts::Kind::Question);
}

void TestToolPage::messageBoxesShowPlainText()
{
    QFETCH(int, kind);
    const QString text = u"后台瘦身组件不存在：/d/<b>x<b> &amp; y.psd\nsecond line"_s;
    Qt::TextFormat shownAs = Qt::RichText;
    QString shown;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        shownAs = box->textFormat();
        shown = box->text();
        box->done(QMessageBox::Ok);
    });
    UserPrompts::messageBoxes().ask(UserPrompts::Kind(kind), nullptr, u"title"_s, text, QMessageBox::Ok,
                                    QMessageBox::NoButton);
    QCOMPARE(shown, text);
    QCOMPARE(shownAs, Qt::PlainText);
}

QTEST_MAIN(TestToolPage)
#include "TestToolPage.moc"
