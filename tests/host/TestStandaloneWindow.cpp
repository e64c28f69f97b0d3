#include "app/StandaloneMain.h"
#include "page/IntegratedToolPage.h"
#include "window/StandaloneToolWindow.h"

#include "support/HostSystem.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Qt Test's default of 5 s is short for a loaded machine running these suites under Wine; a wait that succeeds
// ends at once, so only a failure takes the full time.
constexpr int kSettleTimeoutMs = 30000;

} // namespace

class TestStandaloneWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { setUpApplicationIdentity(); }

    void init()
    {
        QSettings settings;
        settings.remove(u"standaloneTools"_s);
        settings.setValue(u"general/language"_s, u"en_US"_s);
    }

    void construction_data()
    {
        QTest::addColumn<int>("tool");
        QTest::addColumn<QString>("title");
        QTest::newRow("psd slim") << 1 << u"PSD&PSB Safe Slim Tool"_s;
        QTest::newRow("image resize") << 0 << u"Image Resize Tool"_s;
        QTest::newRow("layer export") << 2 << u"PSD Layer Batch Export Tool"_s;
    }

    void construction()
    {
        QFETCH(int, tool);
        QFETCH(QString, title);
        StandaloneToolWindow window(static_cast<IntegratedTools::Tool>(tool), nullptr);
        QCOMPARE(window.objectName(), u"standaloneToolWindow"_s);
        QCOMPARE(window.windowTitle(), title);
        QVERIFY(!window.windowIcon().isNull());
        QCOMPARE(window.minimumSize(), QSize(820, 600));
        QCOMPARE(window.size(), QSize(1180, 790));
        QCOMPARE(window.centralWidget(), window.toolPage());
        QCOMPARE(window.toolPage()->pageTool(), static_cast<IntegratedTools::Tool>(tool));
        QVERIFY(!window.isVisible()); // shown by start-up once the instance channel is in place
        window.resize(100, 100);
        QVERIFY(window.width() >= 820 && window.height() >= 600);
    }

    // The PSD slim page (the tool this program is built for) must fit the window's minimum size in every
    // language, or its layout silently raises the minimum. The two other pages carry more rows and need more.
    void pagesFitMinimumSize_data()
    {
        QTest::addColumn<int>("tool");
        QTest::addColumn<QString>("language");
        for (const QString& language : {u"zh_CN"_s, u"zh_TW"_s, u"ja_JP"_s, u"ko_KR"_s, u"en_US"_s})
            QTest::addRow("psd-slim %s", qPrintable(language)) << int(IntegratedTools::PsdSlim) << language;
    }

    void pagesFitMinimumSize()
    {
        QFETCH(int, tool);
        QFETCH(QString, language);
        if (HostSystem::underWine())
            QSKIP("Wine has none of Windows' fonts: the widths measured would be Wine's");
        QSettings().setValue(u"general/language"_s, language);
        StandaloneToolWindow window(static_cast<IntegratedTools::Tool>(tool), nullptr);
        const QSize needed = window.minimumSizeHint();
        QVERIFY2(needed.width() <= 820 && needed.height() <= 600,
                 qPrintable(u"%1x%2"_s.arg(needed.width()).arg(needed.height())));
    }

    void geometryPersistsPerTool()
    {
        {
            StandaloneToolWindow window(IntegratedTools::PsdSlim, nullptr);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            window.resize(900, 650);
            QTRY_COMPARE_WITH_TIMEOUT(window.size(), QSize(900, 650), kSettleTimeoutMs);
            QVERIFY(window.close());
        }
        QVERIFY(!QSettings().value(u"standaloneTools/psd-slim/geometry"_s).toByteArray().isEmpty());
        QVERIFY(!QSettings().contains(u"standaloneTools/layer-export/geometry"_s));
        StandaloneToolWindow again(IntegratedTools::PsdSlim, nullptr);
        QCOMPARE(again.size(), QSize(900, 650));
        StandaloneToolWindow other(IntegratedTools::LayerExport, nullptr);
        QCOMPARE(other.size(), QSize(1180, 790));
    }

    void unusableGeometryIsIgnored_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("garbage bytes") << QVariant(QByteArray("not a geometry"));
        QTest::newRow("a number") << QVariant(42);
        QTest::newRow("empty") << QVariant(QByteArray());
    }

    void unusableGeometryIsIgnored()
    {
        QFETCH(QVariant, stored);
        QSettings().setValue(u"standaloneTools/psd-slim/geometry"_s, stored);
        StandaloneToolWindow window(IntegratedTools::PsdSlim, nullptr);
        QCOMPARE(window.size(), QSize(1180, 790));
    }

    void backButtonClosesAndSaves()
    {
        StandaloneToolWindow window(IntegratedTools::PsdSlim, nullptr);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.findChild<QPushButton*>(u"integratedToolBackButton"_s)->click();
        QVERIFY(!window.isVisible());
        QVERIFY(QSettings().contains(u"standaloneTools/psd-slim/geometry"_s));
    }

    void queuePathsReachesPageBeforeShow()
    {
        QTemporaryDir folder;
        QVERIFY(QDir().mkpath(folder.filePath(u"nested"_s)));
        for (const QString& name : {u"one.psd"_s, u"nested/two.PSB"_s, u"three.png"_s}) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        StandaloneToolWindow window(IntegratedTools::PsdSlim, nullptr);
        window.queuePaths({folder.path()}); // folders are searched with their subfolders, off the window's thread
        window.queuePaths({folder.filePath(u"one.psd"_s)});
        QTRY_VERIFY_WITH_TIMEOUT(!window.toolPage()->isScanning(), kSettleTimeoutMs);
        QCOMPARE(window.toolPage()->queuedPaths().size(), 2);
    }
};

QTEST_MAIN(TestStandaloneWindow)
#include "TestStandaloneWindow.moc"
