#include "app/StandaloneMain.h"
#include "page/Duration.h"
#include "page/IntegratedToolPage.h"
#include "page/ToolDropTree.h"
#include "platform/Platform.h"
#include "support/HostSystem.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QUrl>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Qt Test's default of 5 s is short for a loaded machine running these suites under Wine; a wait that succeeds
// ends at once, so only a failure takes the full time.
constexpr int kSettleTimeoutMs = 30000;

struct LoggedMessage {
    QString text;
    QString function;
};
QList<LoggedMessage> loggedMessages;

void recordMessage(QtMsgType, const QMessageLogContext& context, const QString& text)
{
    loggedMessages.append({text, QString::fromUtf8(context.function)});
}

} // namespace

class TestQueue : public QObject {
    Q_OBJECT

private:
    QTemporaryDir scratch;
    QtMessageHandler previousHandler = nullptr;

    QString root() const { return scratch.filePath(u"tree"_s); }

    void makeFile(const QString& relative, qint64 size = 0) const
    {
        const QString path = QDir(root()).filePath(relative);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(QByteArray(size, 'x')) == size);
    }

    static std::unique_ptr<IntegratedToolPage> makePage(IntegratedTools::Tool tool, const QString& language)
    {
        QSettings().setValue(u"general/language"_s, language);
        return std::make_unique<IntegratedToolPage>(tool, nullptr, true);
    }

    static ToolDropTree* tree(const IntegratedToolPage& page)
    {
        return page.findChild<ToolDropTree*>(u"integratedToolDropList"_s);
    }

    static QString logText(const IntegratedToolPage& page)
    {
        return page.findChild<QTextEdit*>(u"integratedToolLog"_s)->toPlainText();
    }

    static QStringList fileNames(const QStringList& paths)
    {
        QStringList names;
        for (const QString& path : paths)
            names.append(QFileInfo(path).fileName());
        names.sort();
        return names;
    }

    // The rows and selectedPaths must always list the same paths in the same order.
    static void verifyRowsMatchPaths(const IntegratedToolPage& page)
    {
        const ToolDropTree* list = tree(page);
        QCOMPARE(list->topLevelItemCount(), page.queuedPaths().size());
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            QCOMPARE(list->topLevelItem(i)->data(0, Qt::UserRole).toString(), page.queuedPaths().at(i));
    }

    // Folders are walked off the window's thread: their rows arrive through the event loop.
    static void addAndWait(IntegratedToolPage& page, const QStringList& paths, bool recursive)
    {
        page.addPaths(paths, recursive);
        QTRY_VERIFY_WITH_TIMEOUT(!page.isScanning(), kSettleTimeoutMs);
    }

    static QString summary(const IntegratedToolPage& page)
    {
        for (const QLabel* label : page.findChildren<QLabel*>()) {
            if (label->text().contains(u"  |  "_s))
                return label->text();
        }
        return QString();
    }

private slots:
    void initTestCase()
    {
        setUpApplicationIdentity();
        QLocale::setDefault(QLocale::c());
        QVERIFY(scratch.isValid());
        makeFile(u"a.psd"_s, 1024);
        makeFile(u"B.PSD"_s, 512);
        makeFile(u"c.Psb"_s);
        makeFile(u"d.psd.bak"_s);
        makeFile(u"e.jpg"_s);
        makeFile(u"f.TIFF"_s);
        makeFile(u".hidden.psd"_s);
        makeFile(u"sub/g.psd"_s);
        makeFile(u"sub/deeper/h.psb"_s);
        makeFile(u".hiddendir/i.psd"_s);
        makeFile(u"../case/x.psd"_s);
        makeFile(u"../case/X.PSD"_s);
        makeFile(u"noext"_s);
        QVERIFY(QDir(root()).mkpath(u"empty"_s));
    }

    // QTest installs its own message handler when it starts; ours goes on top for each test function.
    void init()
    {
        loggedMessages.clear();
        previousHandler = qInstallMessageHandler(recordMessage);
    }

    void cleanup() { qInstallMessageHandler(previousHandler); }

    void addPaths_data()
    {
        QTest::addColumn<int>("tool");
        QTest::addColumn<QStringList>("inputs"); // relative to the scratch tree; "@" marks an absent path
        QTest::addColumn<bool>("recursive");
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<int>("rejected");

        const QStringList folder = {u"."_s};
        QTest::newRow("folder with subfolders") << 1 << folder << true
                                                << QStringList{u"B.PSD"_s, u"a.psd"_s, u"c.Psb"_s, u"g.psd"_s,
                                                               u"h.psb"_s}
                                                << 4;
        QTest::newRow("folder one level") << 1 << folder << false
                                          << QStringList{u"B.PSD"_s, u"a.psd"_s, u"c.Psb"_s} << 4;
        QTest::newRow("suffix case ignored, .bak rejected")
            << 1 << QStringList{u"B.PSD"_s, u"c.Psb"_s, u"d.psd.bak"_s} << false
            << QStringList{u"B.PSD"_s, u"c.Psb"_s} << 1;
        QTest::newRow("hidden file given directly") << 1 << QStringList{u".hidden.psd"_s} << true
                                                    << QStringList{u".hidden.psd"_s} << 0;
        QTest::newRow("hidden folder given directly") << 1 << QStringList{u".hiddendir"_s} << true
                                                      << QStringList{u"i.psd"_s} << 0;
        // Two files where names keep their case (Linux), one file where they do not (Windows).
        const QStringList caseTwins = Platform::fileNameCase() == Qt::CaseSensitive
                                          ? QStringList{u"X.PSD"_s, u"x.psd"_s}
                                          : QStringList{u"x.psd"_s};
        QTest::newRow("two names differing in case")
            << 1 << QStringList{u"../case/x.psd"_s, u"../case/X.PSD"_s} << false << caseTwins << 0;
        QTest::newRow("file and its folder: once") << 1 << QStringList{u"sub/g.psd"_s, u"sub"_s} << true
                                                   << QStringList{u"g.psd"_s, u"h.psb"_s} << 0;
        QTest::newRow("same file twice") << 1 << QStringList{u"a.psd"_s, u"a.psd"_s, u"./a.psd"_s} << false
                                         << QStringList{u"a.psd"_s} << 0;
        QTest::newRow("absent path not counted") << 1 << QStringList{u"@nothing.psd"_s} << true << QStringList{}
                                                 << 0;
        // A message may repeat an entry without end: each path is walked, and its files counted, once.
        QTest::newRow("folder named 100,000 times") << 1 << QStringList(100000, u"."_s) << false
                                                    << QStringList{u"B.PSD"_s, u"a.psd"_s, u"c.Psb"_s} << 4;
        QTest::newRow("file named 5,000 times, beside its folder")
            << 1 << QStringList(5000, u"sub/g.psd"_s) + QStringList{u"sub"_s, u"./sub"_s} << true
            << QStringList{u"g.psd"_s, u"h.psb"_s} << 0;
        QTest::newRow("empty folder") << 1 << QStringList{u"empty"_s} << true << QStringList{} << 0;
        QTest::newRow("empty list") << 1 << QStringList{} << true << QStringList{} << 0;
        QTest::newRow("image page rejects PSD") << 0 << QStringList{u"a.psd"_s, u"e.jpg"_s, u"f.TIFF"_s} << false
                                                << QStringList{u"e.jpg"_s, u"f.TIFF"_s} << 1;
        QTest::newRow("image page, folder") << 0 << folder << false
                                            << QStringList{u"e.jpg"_s, u"f.TIFF"_s} << 5;
        QTest::newRow("layer page rejects JPEG") << 2 << QStringList{u"e.jpg"_s, u"noext"_s} << false
                                                 << QStringList{} << 2;
    }

    void addPaths()
    {
        QFETCH(int, tool);
        QFETCH(QStringList, inputs);
        QFETCH(bool, recursive);
        QFETCH(QStringList, added);
        QFETCH(int, rejected);
        const auto page = makePage(static_cast<IntegratedTools::Tool>(tool), u"zh_CN"_s);
        QStringList paths;
        for (const QString& input : inputs) {
            paths.append(input.startsWith(QLatin1Char('@')) ? QDir(root()).filePath(input.mid(1))
                                                            : QDir(root()).filePath(input));
        }
        loggedMessages.clear();
        addAndWait(*page, paths, recursive);

        QCOMPARE(fileNames(page->queuedPaths()), added);
        verifyRowsMatchPaths(*page);
        for (const QString& path : page->queuedPaths())
            QVERIFY2(QFileInfo(path).isAbsolute() && QDir::cleanPath(path) == path, qPrintable(path));

        const QString expectedLine = u"已加入 %1 个文件，忽略 %2 个不适用文件。"_s.arg(added.size()).arg(rejected);
        QCOMPARE(logText(*page).contains(expectedLine), added.size() + rejected > 0);
        if (added.isEmpty() && rejected == 0)
            QVERIFY(logText(*page).isEmpty());

        QCOMPARE(loggedMessages.size(), 1);
        const QString toolId = IntegratedTools::toolId(static_cast<IntegratedTools::Tool>(tool));
        QCOMPARE(loggedMessages.first().text, u"integrated tool path list %1 added= %2 rejected= %3 total= %2"_s
                                                  .arg(toolId)
                                                  .arg(added.size())
                                                  .arg(rejected));
        QCOMPARE(loggedMessages.first().function, u"void IntegratedToolPage::addPaths(const QStringList&, bool)"_s);
    }

    // While a large folder is walked the window goes on: a later call, files only, waits for the walk, so rows keep
    // the order of the calls; emptying the list ends the walk and nothing it had found arrives afterwards.
    void walkInBackground_data()
    {
        QTest::addColumn<bool>("clearDuringWalk");
        QTest::newRow("later call queued after the walk") << false;
        QTest::newRow("list emptied during the walk") << true;
    }

    void walkInBackground()
    {
        QFETCH(bool, clearDuringWalk);
        // Enough files that the walk still runs when the later call comes. Under Wine each file made is a round
        // trip to its server (about 3 ms), and its walk is as much slower: a tenth as many do there.
        const int count = HostSystem::underWine() ? 2000 : 20000;
        const QString many = scratch.filePath(u"many"_s);
        if (!QFileInfo::exists(many)) {
            QVERIFY(QDir().mkpath(many));
            for (int i = 0; i < count; ++i)
                QVERIFY(QFile(QDir(many).filePath(u"%1.psd"_s.arg(i))).open(QIODevice::WriteOnly));
        }
        const auto page = makePage(IntegratedTools::PsdSlim, u"zh_CN"_s);
        page->addPaths({many}, true);
        page->addPaths({QDir(root()).filePath(u"a.psd"_s)}, false);
        if (clearDuringWalk) {
            page->clearQueue();
            QVERIFY(!page->isScanning());
            QTest::qWait(300);
            QCOMPARE(page->queuedPaths().size(), 0);
            QCOMPARE(tree(*page)->topLevelItemCount(), 0);
            // The calls' records are still written, one each.
            QCOMPARE(loggedMessages.size(), 2);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!page->isScanning(), 30000);
        QCOMPARE(page->queuedPaths().size(), count + 1);
        QCOMPARE(page->queuedPaths().last(), QDir(root()).filePath(u"a.psd"_s));
        verifyRowsMatchPaths(*page);
        QCOMPARE(loggedMessages.size(), 2);
        QVERIFY(logText(*page).contains(u"已加入 %1 个文件，忽略 0 个不适用文件。"_s.arg(count)));
    }

    void relativePathsFollowCurrentFolder()
    {
        const auto page = makePage(IntegratedTools::PsdSlim, u"zh_CN"_s);
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(root()));
        page->addPaths({u"sub"_s, u"a.psd"_s}, true);
        QDir::setCurrent(previous);
        QTRY_VERIFY_WITH_TIMEOUT(!page->isScanning(), kSettleTimeoutMs);
        QCOMPARE(fileNames(page->queuedPaths()), (QStringList{u"a.psd"_s, u"g.psd"_s, u"h.psb"_s}));
        QVERIFY(page->queuedPaths().contains(QDir(root()).filePath(u"a.psd"_s)));
    }

    void rowFormat_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("sizeText");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("summaryText");
        QTest::newRow("en_US") << u"en_US"_s << u"1.00 KiB"_s << u"Pending"_s
                               << u"2 files  |  1.50 KiB  |  Supported: PSD / PSB"_s;
        QTest::newRow("ko_KR") << u"ko_KR"_s << u"1.00 KiB"_s << u"처리 대기"_s
                               << u"파일 2개  |  1.50 KiB  |  지원: PSD / PSB"_s;
        QTest::newRow("zh_TW") << u"zh_TW"_s << u"1.00 KiB"_s << u"等待處理"_s
                               << u"2 個檔案  |  1.50 KiB  |  支援：PSD / PSB"_s;
        QTest::newRow("zh_CN") << u"zh_CN"_s << u"1.00 KiB"_s << u"等待处理"_s
                               << u"2 个文件  |  1.50 KiB  |  支持：PSD / PSB"_s;
    }

    void rowFormat()
    {
        QFETCH(QString, language);
        QFETCH(QString, sizeText);
        QFETCH(QString, status);
        QFETCH(QString, summaryText);
        const auto page = makePage(IntegratedTools::PsdSlim, language);
        const QString path = QDir(root()).filePath(u"a.psd"_s);
        page->addPaths({path, QDir(root()).filePath(u"B.PSD"_s)}, false);
        const QTreeWidgetItem* row = tree(*page)->topLevelItem(0);
        QCOMPARE(row->text(0), u"a.psd"_s);
        QCOMPARE(row->data(0, Qt::UserRole).toString(), path);
        QCOMPARE(row->text(1), QDir::toNativeSeparators(root()));
        QCOMPARE(row->text(2), sizeText);
        QCOMPARE(row->text(3), status);
        QCOMPARE(summary(*page), summaryText);
    }

    void summarySizesInLocale_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("expected");
        // The data size follows the interface language's locale: Korean and Japanese name bytes themselves.
        QTest::newRow("en_US empty") << u"en_US"_s << u"0 files  |  0 bytes  |  Supported: PSD / PSB"_s;
        QTest::newRow("ja_JP empty") << u"ja_JP"_s
                                     << u"0 ファイル  |  %1  |  対応：PSD / PSB"_s.arg(
                                            QLocale(u"ja_JP"_s).formattedDataSize(0, 2, QLocale::DataSizeIecFormat));
        QTest::newRow("ko_KR empty") << u"ko_KR"_s
                                     << u"파일 0개  |  %1  |  지원: PSD / PSB"_s.arg(
                                            QLocale(u"ko_KR"_s).formattedDataSize(0, 2, QLocale::DataSizeIecFormat));
    }

    void summarySizesInLocale()
    {
        QFETCH(QString, language);
        QFETCH(QString, expected);
        const auto page = makePage(IntegratedTools::PsdSlim, language);
        QCOMPARE(summary(*page), expected);
    }

    void summaryCountsVanishedFilesAsZero()
    {
        const auto page = makePage(IntegratedTools::PsdSlim, u"en_US"_s);
        QTemporaryDir folder;
        QFile file(folder.filePath(u"gone.psd"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(2048, 'x'));
        file.close();
        page->addPaths({file.fileName(), QDir(root()).filePath(u"B.PSD"_s)}, false);
        QCOMPARE(summary(*page), u"2 files  |  2.50 KiB  |  Supported: PSD / PSB"_s);
        QVERIFY(file.remove());
        page->updateSummary();
        QCOMPARE(summary(*page), u"2 files  |  512 bytes  |  Supported: PSD / PSB"_s);
    }

    void layerSelectedCountFollowsQueue()
    {
        const auto page = makePage(IntegratedTools::LayerExport, u"en_US"_s);
        auto* count = page->findChild<QLabel*>(u"layerSelectedCount"_s);
        QCOMPARE(count->text(), u"0 PSD / PSB selected"_s);
        addAndWait(*page, {root()}, true);
        QCOMPARE(count->text(), u"5 PSD / PSB selected"_s);
        tree(*page)->topLevelItem(0)->setSelected(true);
        page->removeSelectedRows();
        QCOMPARE(count->text(), u"4 PSD / PSB selected"_s);
    }

    void removal_data()
    {
        QTest::addColumn<bool>("quietly");
        QTest::addColumn<QList<int>>("selectedRows");
        QTest::newRow("remove two") << false << QList<int>{0, 2};
        QTest::newRow("remove none") << false << QList<int>{};
        QTest::newRow("delete key two") << true << QList<int>{1, 2};
        QTest::newRow("delete key none") << true << QList<int>{};
    }

    void removal()
    {
        QFETCH(bool, quietly);
        QFETCH(QList<int>, selectedRows);
        const auto page = makePage(IntegratedTools::PsdSlim, u"zh_CN"_s);
        page->addPaths({QDir(root()).filePath(u"a.psd"_s), QDir(root()).filePath(u"B.PSD"_s),
                        QDir(root()).filePath(u"c.Psb"_s)},
                       false);
        QStringList remaining = page->queuedPaths();
        for (int row : selectedRows) {
            tree(*page)->topLevelItem(row)->setSelected(true);
            remaining.removeAll(page->queuedPaths().at(row));
        }
        const QString logBefore = logText(*page);
        if (quietly)
            QTest::keyClick(tree(*page), Qt::Key_Delete);
        else
            page->removeSelectedRows();
        QCOMPARE(page->queuedPaths(), remaining);
        verifyRowsMatchPaths(*page);
        QCOMPARE(summary(*page).startsWith(u"%1 个文件"_s.arg(remaining.size())), true);
        const bool logged = !quietly && !selectedRows.isEmpty();
        QCOMPARE(logText(*page) != logBefore, logged);
        if (logged)
            QVERIFY(logText(*page).contains(u"已移除 %1 个选中文件。"_s.arg(selectedRows.size())));

        // The duplicate test forgets removed paths: adding them again works, once.
        page->addPaths({QDir(root()).filePath(u"a.psd"_s), QDir(root()).filePath(u"B.PSD"_s),
                        QDir(root()).filePath(u"c.Psb"_s)},
                       false);
        QCOMPARE(page->queuedPaths().size(), 3);
        verifyRowsMatchPaths(*page);
    }

    void clearQueue()
    {
        const auto page = makePage(IntegratedTools::PsdSlim, u"en_US"_s);
        addAndWait(*page, {root()}, true);
        auto* progress = page->findChild<QProgressBar*>();
        progress->setRange(0, 50);
        progress->setValue(30);
        page->clearQueue();
        QVERIFY(page->queuedPaths().isEmpty());
        QCOMPARE(tree(*page)->topLevelItemCount(), 0);
        QCOMPARE(progress->value(), 0);
        QCOMPARE(progress->maximum(), 50);
        QVERIFY(logText(*page).contains(u"已清空文件列表。"_s));
        QVERIFY(logText(*page).contains(u"已加入 5 个文件"_s)); // the log is kept
        QCOMPARE(summary(*page), u"0 files  |  0 bytes  |  Supported: PSD / PSB"_s);
        bool ready = false;
        for (const QLabel* label : page->findChildren<QLabel*>())
            ready = ready || label->text() == u"Ready"_s;
        QVERIFY(ready);
        page->addPaths({QDir(root()).filePath(u"a.psd"_s)}, false);
        QCOMPARE(page->queuedPaths().size(), 1);
    }

    void setRowStatus_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<int>("changedRow"); // -1: none
        QTest::newRow("exact path") << u"B.PSD"_s << 1;
        // Another case names another file where the file system keeps case.
        QTest::newRow("other case") << u"b.psd"_s << (Platform::fileNameCase() == Qt::CaseSensitive ? -1 : 1);
        QTest::newRow("not queued") << u"c.Psb"_s << -1;
    }

    void setRowStatus()
    {
        QFETCH(QString, given);
        QFETCH(int, changedRow);
        const auto page = makePage(IntegratedTools::PsdSlim, u"zh_CN"_s);
        page->addPaths({QDir(root()).filePath(u"a.psd"_s), QDir(root()).filePath(u"B.PSD"_s)}, false);
        page->setRowStatus(QDir(root()).filePath(given), u"已完成"_s);
        for (int row = 0; row < 2; ++row)
            QCOMPARE(tree(*page)->topLevelItem(row)->text(3), row == changedRow ? u"已完成"_s : u"等待处理"_s);
    }

    void drops_data()
    {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<int>("expectedRows");
        QTest::addColumn<bool>("accepted");
        const QUrl folder = QUrl::fromLocalFile(root() + u"/sub/../sub"_s);
        QTest::newRow("folder with .. is cleaned and searched") << QList<QUrl>{folder} << 2 << true;
        QTest::newRow("local and web mixed")
            << QList<QUrl>{QUrl(u"https://example.com/a.psd"_s), QUrl::fromLocalFile(root() + u"/a.psd"_s)} << 1
            << true;
        QTest::newRow("web links only") << QList<QUrl>{QUrl(u"https://example.com/a.psd"_s)} << 0 << false;
    }

    void drops()
    {
        QFETCH(QList<QUrl>, urls);
        QFETCH(int, expectedRows);
        QFETCH(bool, accepted);
        const auto page = makePage(IntegratedTools::PsdSlim, u"zh_CN"_s);
        ToolDropTree* list = tree(*page);
        QVERIFY(!list->property("dropActive").isValid());
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(40, 40), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QCOMPARE(enter.dropAction(), Qt::CopyAction);
        QCOMPARE(list->property("dropActive").toBool(), true);
        QDropEvent drop(QPointF(40, 40), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &drop);
        QCOMPARE(drop.isAccepted(), accepted);
        QCOMPARE(list->property("dropActive").toBool(), false);
        QTRY_VERIFY_WITH_TIMEOUT(!page->isScanning(), kSettleTimeoutMs);
        QCOMPARE(list->topLevelItemCount(), expectedRows);
        verifyRowsMatchPaths(*page);
    }

    void dragWithoutUrlsLeavesHighlightOff()
    {
        const auto page = makePage(IntegratedTools::PsdSlim, u"zh_CN"_s);
        ToolDropTree* list = tree(*page);
        QMimeData mime;
        mime.setText(u"plain text"_s);
        QDragEnterEvent enter(QPoint(40, 40), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &enter);
        QVERIFY(!list->property("dropActive").toBool());

        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(root())});
        QDragEnterEvent enterFiles(QPoint(40, 40), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &enterFiles);
        QVERIFY(list->property("dropActive").toBool());
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(list->viewport(), &leave);
        QVERIFY(!list->property("dropActive").toBool());
        QCOMPARE(list->topLevelItemCount(), 0);
    }

    void formatDuration_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zero") << qint64(0) << u"00:00:00"_s;
        QTest::newRow("one second") << qint64(1) << u"00:00:01"_s;
        QTest::newRow("just under an hour") << qint64(3599) << u"00:59:59"_s;
        QTest::newRow("one hour") << qint64(3600) << u"01:00:00"_s;
        QTest::newRow("hours do not wrap") << qint64(360000) << u"100:00:00"_s;
        QTest::newRow("minus one") << qint64(-1) << u"--:--:--"_s;
        QTest::newRow("most negative") << std::numeric_limits<qint64>::min() << u"--:--:--"_s;
    }

    void formatDuration()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, expected);
        QCOMPARE(::formatDuration(seconds), expected);
    }

    void refreshElapsedNeedsARun()
    {
        const auto psd = makePage(IntegratedTools::PsdSlim, u"en_US"_s);
        psd->refreshElapsed(); // no run yet: the label keeps its start text
        bool untouched = false;
        for (const QLabel* label : psd->findChildren<QLabel*>())
            untouched = untouched || label->text() == u"Elapsed: 00:00:00"_s;
        QVERIFY(untouched);
        const auto image = makePage(IntegratedTools::ImageResize, u"en_US"_s);
        image->refreshElapsed(); // no elapsed label at all
    }
};

QTEST_MAIN(TestQueue)
#include "TestQueue.moc"
