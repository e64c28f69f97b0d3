#include "PsdFixture.h"
#include "RecordingPrompts.h"
#include "RunProbe.h"

#include "app/StandaloneMain.h"
#include "page/IntegratedToolPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kLaunchTimeout = 30000;

} // namespace

class TestImageResizeRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void arguments_data();
    void arguments();
    void emptyQueueStillLaunches();
    void twoClicksLaunchTwice();
    void missingExecutable();

private:
    std::unique_ptr<IntegratedToolPage> makePage(int files);
    QString toolPath() const;
    // The working folder and the arguments the stand-in recorded; empty while the record cannot be read yet. On
    // Windows the stand-in's rename holds the file open for deletion a moment after the name appears, and an
    // open that does not share deletion then fails.
    QStringList recorded(const QString& path) const;

    QTemporaryDir scratch;
    RecordingPrompts prompts;
    QStringList images;
    QString record;
};

void TestImageResizeRun::initTestCase()
{
    setUpApplicationIdentity();
    QSettings().setValue(u"general/language"_s, u"zh_CN"_s);
    QVERIFY(scratch.isValid());
    for (const QString& name : {u"a.png"_s, u"b c.jpg"_s, u"d.tif"_s}) {
        images.append(scratch.filePath(u"images/"_s + name));
        QVERIFY(QDir().mkpath(QFileInfo(images.last()).path()));
        QVERIFY(PsdFixture::write(images.last(), "image"));
    }
}

void TestImageResizeRun::init()
{
    prompts.asked.clear();
    const QString tag = QString::fromLatin1(QTest::currentTestFunction()) + u'-' +
                        QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_');
    record = scratch.filePath(u"record-"_s + tag);
    qputenv("LEANFOLD_FAKE_RECORD", record.toUtf8());
    QVERIFY(QDir().mkpath(QFileInfo(toolPath()).path()));
    QFile::remove(toolPath());
    QVERIFY(QFile::copy(QStringLiteral(LEANFOLD_FAKE_IMAGE_RESIZE), toolPath()));
    QVERIFY(QFile::setPermissions(toolPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner));
}

QString TestImageResizeRun::toolPath() const
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(u"tools/integrated/Framewell.exe"_s);
}

std::unique_ptr<IntegratedToolPage> TestImageResizeRun::makePage(int files)
{
    auto page = std::make_unique<IntegratedToolPage>(IntegratedTools::ImageResize, nullptr, false);
    page->setUserPrompts(&prompts);
    page->addPaths(images.mid(0, files), false);
    return page;
}

QStringList TestImageResizeRun::recorded(const QString& path) const
{
    QStringList lines = QString::fromUtf8(PsdFixture::read(path)).split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void TestImageResizeRun::arguments_data()
{
    QTest::addColumn<int>("sizeRule");
    QTest::addColumn<int>("fillRule");
    QTest::addColumn<bool>("centered");
    QTest::addColumn<bool>("png");
    QTest::addColumn<bool>("recursive");
    QTest::addColumn<QString>("outputDirectory");
    QTest::addColumn<QStringList>("options"); // the arguments before "--start"

    // clang-format off
    QTest::newRow("defaults") << 0 << 0 << true << false << true << QString()
        << QStringList{u"--rule"_s, u"multiple4"_s, u"--fill"_s, u"transparent"_s, u"--centered"_s, u"--recursive"_s};
    QTest::newRow("even, white") << 1 << 1 << true << false << true << QString()
        << QStringList{u"--rule"_s, u"even"_s, u"--fill"_s, u"white"_s, u"--centered"_s, u"--recursive"_s};
    QTest::newRow("power of 2, black") << 2 << 2 << true << false << true << QString()
        << QStringList{u"--rule"_s, u"power2"_s, u"--fill"_s, u"black"_s, u"--centered"_s, u"--recursive"_s};
    QTest::newRow("not centered") << 0 << 0 << false << false << true << QString()
        << QStringList{u"--rule"_s, u"multiple4"_s, u"--fill"_s, u"transparent"_s, u"--no-centered"_s,
                       u"--recursive"_s};
    QTest::newRow("PNG, not recursive") << 0 << 0 << true << true << false << QString()
        << QStringList{u"--rule"_s, u"multiple4"_s, u"--fill"_s, u"transparent"_s, u"--centered"_s, u"--png"_s};
    QTest::newRow("output folder") << 0 << 0 << true << false << true << u"  /out/调整 后  "_s
        << QStringList{u"--rule"_s, u"multiple4"_s, u"--fill"_s, u"transparent"_s, u"--centered"_s, u"--recursive"_s,
                       u"--output-dir"_s, u"/out/调整 后"_s};
    QTest::newRow("output folder of spaces") << 0 << 0 << true << false << true << u"   "_s
        << QStringList{u"--rule"_s, u"multiple4"_s, u"--fill"_s, u"transparent"_s, u"--centered"_s, u"--recursive"_s};
    QTest::newRow("everything") << 2 << 1 << false << true << true << u"/o"_s
        << QStringList{u"--rule"_s, u"power2"_s, u"--fill"_s, u"white"_s, u"--no-centered"_s, u"--png"_s,
                       u"--recursive"_s, u"--output-dir"_s, u"/o"_s};
    // clang-format on
}

void TestImageResizeRun::arguments()
{
    QFETCH(int, sizeRule);
    QFETCH(int, fillRule);
    QFETCH(bool, centered);
    QFETCH(bool, png);
    QFETCH(bool, recursive);
    QFETCH(QString, outputDirectory);
    QFETCH(QStringList, options);

    const auto page = makePage(3);
    RunProbe probe(*page);
    QVERIFY(probe.complete());
    page->findChild<QComboBox*>(u"imageSizeRule"_s)->setCurrentIndex(sizeRule);
    page->findChild<QComboBox*>(u"imageFillRule"_s)->setCurrentIndex(fillRule);
    page->findChild<QCheckBox*>(u"imageCentered"_s)->setChecked(centered);
    page->findChild<QCheckBox*>(u"imageOutputPng"_s)->setChecked(png);
    page->findChild<QCheckBox*>(u"imageRecursive"_s)->setChecked(recursive);
    page->findChild<QLineEdit*>(u"imageOutputDirectory"_s)->setText(outputDirectory);
    probe.start->click();

    // Handed over at once: nothing is waited for and the page is ready for another Start.
    QCOMPARE(probe.status->text(), u"已启动"_s);
    QCOMPARE(probe.bar->maximum(), 100);
    QCOMPARE(probe.bar->value(), 100);
    QCOMPARE(probe.rowStatuses(), QStringList(3, u"已传递"_s));
    QVERIFY(probe.start->isEnabled());
    QVERIFY(probe.tree->isEnabled());
    QVERIFY(QRegularExpression(u"^\\[\\d\\d:\\d\\d:\\d\\d\\] 启动 %1，传递 3 个文件。$"_s.arg(
                                   IntegratedTools::displayName(IntegratedTools::ImageResize)))
                .match(probe.logLines().last())
                .hasMatch());

    QTRY_VERIFY_WITH_TIMEOUT(!recorded(record).isEmpty(), kLaunchTimeout);
    const QStringList seen = recorded(record);
    QCOMPARE(seen.first(), QFileInfo(toolPath()).absolutePath());
    QCOMPARE(seen.mid(1), options + QStringList{u"--start"_s} + images);
    QVERIFY(prompts.asked.isEmpty());
}

void TestImageResizeRun::emptyQueueStillLaunches()
{
    const auto page = makePage(0);
    RunProbe probe(*page);
    probe.start->click();
    QVERIFY(probe.logLines().last().endsWith(u"传递 0 个文件。"_s));
    QTRY_VERIFY_WITH_TIMEOUT(!recorded(record).isEmpty(), kLaunchTimeout);
    QCOMPARE(recorded(record).mid(1), (QStringList{u"--rule"_s, u"multiple4"_s, u"--fill"_s, u"transparent"_s,
                                                   u"--centered"_s, u"--recursive"_s}));
    QVERIFY(prompts.asked.isEmpty());
    QCOMPARE(probe.status->text(), u"已启动"_s);
}

void TestImageResizeRun::twoClicksLaunchTwice()
{
    const auto page = makePage(1);
    RunProbe probe(*page);
    probe.start->click();
    probe.start->click();
    QTRY_VERIFY_WITH_TIMEOUT(!recorded(record).isEmpty() && !recorded(record + u".2"_s).isEmpty(), kLaunchTimeout);
    QCOMPARE(recorded(record).mid(1), recorded(record + u".2"_s).mid(1));
    QCOMPARE(probe.logLinesWith(u"启动 "_s).size(), 2);
}

void TestImageResizeRun::missingExecutable()
{
    QVERIFY(QFile::remove(toolPath()));
    const auto page = makePage(2);
    RunProbe probe(*page);
    probe.start->click();

    QCOMPARE(probe.status->text(), u"启动失败"_s);
    QCOMPARE(probe.bar->maximum(), 100);
    QCOMPARE(probe.bar->value(), 0);
    QCOMPARE(probe.logLines().last(), u"失败：无法启动图片尺寸调整进程。"_s);
    QCOMPARE(probe.rowStatuses(), QStringList(2, u"等待处理"_s));
    QCOMPARE(prompts.asked.size(), 1);
    QCOMPARE(prompts.asked.first().kind, UserPrompts::Kind::Warning);
    QCOMPARE(prompts.asked.first().title, u"无法启动工具"_s);
    QCOMPARE(prompts.asked.first().text, u"无法启动图片尺寸调整进程。"_s);
    QCOMPARE(prompts.asked.first().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(probe.start->isEnabled());
}

QTEST_MAIN(TestImageResizeRun)
#include "TestImageResizeRun.moc"
