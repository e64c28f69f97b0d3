// The settings and help dialogs, driven as a user would, and the language change that restarts into a real
// Leanfold process which must come up as the first instance, in the new language, with the same files.
#include "LeanfoldProcessLog.h"
#include "app/InstanceEndpoint.h"
#include "app/SingleInstance.h"
#include "app/StandaloneMain.h"
#include "i18n/Language.h"
#include "i18n/Localization.h"
#include "page/IntegratedToolPage.h"
#include "platform/Platform.h"
#include "support/ProcessControl.h"
#include "window/StandaloneToolWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLocalServer>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// forwardPaths waits for the receiver's answer, so when the receiver is this process it runs on a thread of its
// own while this one keeps serving.
bool forwardFromThread(const QString& serverName, const QStringList& paths)
{
    bool sent = false;
    std::unique_ptr<QThread> sender(QThread::create([&] { sent = InstanceEndpoint::forwardPaths(serverName, paths); }));
    sender->start();
    if (!QTest::qWaitFor([&] { return sender->isFinished(); }, 30000))
        qFatal("forwardPaths did not return");
    sender->wait();
    return sent;
}

const QString kExecutable = QStringLiteral(LEANFOLD_EXECUTABLE);
constexpr int kStartTimeoutMs = 30000;

void storeLanguage(const QString& code)
{
    storeLanguageSetting(code.isEmpty() ? QVariant() : QVariant(code));
}

QVariant storedLanguage()
{
    return storedLanguageSetting();
}

// Answers the next modal dialog as a user would: inspects it, picks a language (when given) and presses a button.
struct DialogAnswer {
    QString languageName; // empty: keep the preselection
    QDialogButtonBox::StandardButton button = QDialogButtonBox::Ok;
    QString seenTitle;
    QString seenPreselection;
    QStringList seenLanguages;
    QString seenHtml;
    bool answered = false;

    void arm()
    {
        QTimer::singleShot(0, [this] { answer(); });
    }

    void answer()
    {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            QTimer::singleShot(10, [this] { answer(); });
            return;
        }
        seenTitle = dialog->windowTitle();
        if (auto* list = dialog->findChild<QComboBox*>()) {
            seenPreselection = list->currentText();
            for (int i = 0; i < list->count(); ++i)
                seenLanguages.append(list->itemText(i) + QLatin1Char('=') + list->itemData(i).toString());
            if (!languageName.isEmpty())
                list->setCurrentIndex(list->findText(languageName));
        }
        if (auto* browser = dialog->findChild<QTextBrowser*>())
            seenHtml = browser->toHtml();
        auto* box = dialog->findChild<QDialogButtonBox*>();
        if (box && box->button(button))
            box->button(button)->click();
        else
            dialog->reject();
        answered = true;
    }
};

} // namespace

class TestLanguageRestart : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void settingsDialog_data();
    void settingsDialog();
    void helpDialog_data();
    void helpDialog();
    void failedRestartKeepsTheWindow();
    void restartComesUpInNewLanguage();
    void cleanupTestCase();

private:
    QTemporaryDir files;
    qint64 restartedPid = 0;
};

void TestLanguageRestart::initTestCase()
{
    setUpApplicationIdentity();
    QVERIFY(files.isValid());
    QVERIFY2(QFileInfo(kExecutable).isExecutable(), qPrintable(kExecutable));
}

void TestLanguageRestart::settingsDialog_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("pick");
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("preselected");
    QTest::addColumn<QString>("storedAfter");
    QTest::addColumn<bool>("restarts");

    const int ok = QDialogButtonBox::Ok;
    const int cancel = QDialogButtonBox::Cancel;
    // clang-format off
    QTest::newRow("absent, OK")      << QString()  << QString()    << ok     << u"简体中文"_s << QString()  << false;
    QTest::newRow("zh_CN, OK")       << u"zh_CN"_s << QString()    << ok     << u"简体中文"_s << u"zh_CN"_s << false;
    QTest::newRow("English, Cancel") << u"zh_CN"_s << u"English"_s << cancel << u"简体中文"_s << u"zh_CN"_s << false;
    QTest::newRow("English, OK")     << u"zh_CN"_s << u"English"_s << ok     << u"简体中文"_s << u"en_US"_s << true;
    QTest::newRow("ko_KR, 日本語")   << u"ko_KR"_s << u"日本語"_s  << ok     << u"한국어"_s   << u"ja_JP"_s << true;
    QTest::newRow("unknown, OK")     << u"fr_FR"_s << QString()    << ok     << u"简体中文"_s << u"zh_CN"_s << true;
    QTest::newRow("wrong case, OK")  << u"en_us"_s << QString()    << ok     << u"简体中文"_s << u"zh_CN"_s << true;
    // clang-format on
}

void TestLanguageRestart::settingsDialog()
{
    QFETCH(QString, stored);
    QFETCH(QString, pick);
    QFETCH(int, button);
    QFETCH(QString, preselected);
    QFETCH(QString, storedAfter);
    QFETCH(bool, restarts);

    storeLanguage(stored);
    StandaloneToolWindow window(IntegratedTools::PsdSlim, nullptr);
    int restartCalls = 0;
    window.setRestartHandler([&] { ++restartCalls; });

    const QString expectedTitle = localizedText(u"工具设置"_s); // in the language before the change
    DialogAnswer answer;
    answer.languageName = pick;
    answer.button = QDialogButtonBox::StandardButton(button);
    answer.arm();
    auto* settingsButton = window.findChild<QToolButton*>(u"standaloneToolSettingsButton"_s);
    QVERIFY(settingsButton);
    settingsButton->click();

    QVERIFY(answer.answered);
    QCOMPARE(answer.seenTitle, expectedTitle);
    QCOMPARE(answer.seenPreselection, preselected);
    QCOMPARE(answer.seenLanguages, (QStringList{u"简体中文=zh_CN"_s, u"繁體中文=zh_TW"_s, u"日本語=ja_JP"_s,
                                               u"한국어=ko_KR"_s, u"English=en_US"_s}));
    // An absent setting reads as zh_CN, so confirming the preselection writes nothing.
    QCOMPARE(storedLanguage().isValid(), !storedAfter.isEmpty());
    QCOMPARE(storedLanguage().toString(), storedAfter);
    QCOMPARE(restartCalls, restarts ? 1 : 0);
}

void TestLanguageRestart::helpDialog_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("page");
    QTest::newRow("English") << u"en_US"_s << u"Help - PSD&PSB Safe Slim Tool"_s << u"en_US"_s;
    QTest::newRow("absent") << QString() << u"帮助 - PSD&PSB安全瘦身工具"_s << u"zh_CN"_s;
    QTest::newRow("unknown code") << u"de_DE"_s << QString() << u"zh_CN"_s;
    QTest::newRow("Korean") << u"ko_KR"_s << QString() << u"ko_KR"_s;
}

void TestLanguageRestart::helpDialog()
{
    QFETCH(QString, stored);
    QFETCH(QString, title);
    QFETCH(QString, page);
    storeLanguage(stored);
    StandaloneToolWindow window(IntegratedTools::PsdSlim, nullptr);

    const QString name = IntegratedTools::displayName(IntegratedTools::PsdSlim);
    const QString document = StandaloneToolWindow::helpDocument(IntegratedTools::PsdSlim);
    QFile resource(u":/docs/help-rich-%1.html"_s.arg(page));
    QVERIFY(resource.open(QIODevice::ReadOnly));
    const QString content = QString::fromUtf8(resource.readAll());
    QVERIFY(!content.isEmpty());
    // Heading with the name escaped (the ampersand shows literally), the introduction as written, then the page.
    QVERIFY(document.startsWith(u"<h1>%1</h1><p>"_s.arg(name.toHtmlEscaped())));
    QVERIFY(document.contains(u"PSD&amp;PSB 安全瘦身：添加文件或文件夹后开始处理。"_s));
    QVERIFY(document.endsWith(u"<hr/>"_s + content));

    DialogAnswer answer;
    answer.button = QDialogButtonBox::Close;
    answer.arm();
    auto* helpButton = window.findChild<QToolButton*>(u"standaloneToolHelpButton"_s);
    QVERIFY(helpButton);
    helpButton->click();
    QVERIFY(answer.answered);
    QCOMPARE(answer.seenTitle, localizedText(u"帮助 - %1"_s).arg(name));
    if (!title.isEmpty())
        QCOMPARE(answer.seenTitle, title);
    QVERIFY(answer.seenHtml.contains(name.toHtmlEscaped()));
}

void TestLanguageRestart::failedRestartKeepsTheWindow()
{
    storeLanguage(u"zh_CN"_s);
    QCOMPARE(Platform::acquireInstanceLock(u"psd-slim"_s), Platform::InstanceLock::Acquired);
    StandaloneToolWindow window(IntegratedTools::PsdSlim, nullptr);
    QCOMPARE(openInstanceEndpoint(window, IntegratedTools::PsdSlim, {}), EndpointOpening::Listening);
    installLanguageRestart(window, IntegratedTools::PsdSlim, files.filePath(u"no-such-program"_s), {});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    DialogAnswer answer;
    answer.languageName = u"English"_s;
    answer.arm();
    window.showSettingsDialog();
    QVERIFY(answer.answered);

    // The new language is stored for the next start, but this window and its endpoint carry on.
    QCOMPARE(storedLanguage().toString(), u"en_US"_s);
    QVERIFY(window.isVisible());
    const QString serverName = InstanceEndpoint::toolServerName(u"psd-slim"_s);
    QVERIFY(InstanceEndpoint::endpointAnswers(serverName));
    LeanfoldProcessLog log(kExecutable);
    const QString path = files.filePath(u"kept.psd"_s);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(forwardFromThread(serverName, {path}));
    QTRY_VERIFY_WITH_TIMEOUT(window.toolPage()->queuedPaths().contains(path), kStartTimeoutMs);
    window.close();
    closeInstanceEndpoint();
    QVERIFY(!InstanceEndpoint::endpointAnswers(serverName));
}

void TestLanguageRestart::restartComesUpInNewLanguage()
{
    storeLanguage(u"zh_CN"_s);
    const QStringList paths{files.filePath(u"one.psd"_s), files.filePath(u"二.psb"_s)};
    for (const QString& path : paths) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QCOMPARE(Platform::acquireInstanceLock(u"psd-slim"_s), Platform::InstanceLock::Acquired);
    LeanfoldProcessLog log(kExecutable);

    StandaloneToolWindow window(IntegratedTools::PsdSlim, nullptr);
    window.queuePaths(paths);
    QCOMPARE(window.toolPage()->queuedPaths(), paths);
    QCOMPARE(window.windowTitle(), u"PSD&PSB安全瘦身工具"_s);
    QCOMPARE(openInstanceEndpoint(window, IntegratedTools::PsdSlim, paths), EndpointOpening::Listening);
    installLanguageRestart(window, IntegratedTools::PsdSlim, kExecutable, paths, &restartedPid);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    DialogAnswer answer;
    answer.languageName = u"English"_s;
    answer.arm();
    window.findChild<QToolButton*>(u"standaloneToolSettingsButton"_s)->click();
    QVERIFY(answer.answered);
    QCOMPARE(storedLanguage().toString(), u"en_US"_s);
    QVERIFY(restartedPid > 0);

    // The new process takes the lock and the endpoint this one gave up, shows an English window and queues both
    // files itself; it never hands them back to this ending process.
    QTRY_VERIFY_WITH_TIMEOUT(log.has(restartedPid, u"standalone window shown psd-slim title= PSD&PSB Safe Slim Tool"_s),
                             kStartTimeoutMs);
    QVERIFY(log.has(restartedPid, u"standalone invocation psd-slim received_paths= 2"_s));
    const QString queued = u"integrated tool path list psd-slim added= 2 rejected= 0 total= 2"_s;
    QTRY_VERIFY_WITH_TIMEOUT(log.has(restartedPid, queued), kStartTimeoutMs);
    QVERIFY(!log.has(restartedPid, u"standalone paths forwarded"_s));
    QVERIFY(!log.has(restartedPid, u"standalone paths queued"_s));
    // This process let go of its endpoint before the new one started.
    QVERIFY(QCoreApplication::instance()->findChildren<QLocalServer*>().isEmpty());

    // A later launch reaches the new instance, not this one.
    const QString later = files.filePath(u"later.psd"_s);
    QFile laterFile(later);
    QVERIFY(laterFile.open(QIODevice::WriteOnly));
    laterFile.close();
    QVERIFY(InstanceEndpoint::forwardPaths(InstanceEndpoint::toolServerName(u"psd-slim"_s), {later}));
    QTRY_VERIFY_WITH_TIMEOUT(log.has(restartedPid, u"total= 3"_s), kStartTimeoutMs);
    QCOMPARE(window.toolPage()->queuedPaths(), paths);
}

void TestLanguageRestart::cleanupTestCase()
{
    // Only while the id still names the Leanfold this test started (an ended process's id may be reused).
    const QString running = ProcessControl::executableOf(restartedPid);
    if (restartedPid > 0 && running == QFileInfo(kExecutable).canonicalFilePath()) {
        ProcessControl::kill(restartedPid);
        QTRY_VERIFY_WITH_TIMEOUT(ProcessControl::isGone(restartedPid), kStartTimeoutMs);
    }
    QLocalServer::removeServer(InstanceEndpoint::toolServerName(u"psd-slim"_s));
}

QTEST_MAIN(TestLanguageRestart)
#include "TestLanguageRestart.moc"
