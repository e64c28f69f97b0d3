#include "app/StandaloneMain.h"

#include "app/SingleInstance.h"
#include "i18n/Language.h"
#include "i18n/QtTranslations.h"
#include "log/RuntimeLog.h"
#include "page/IntegratedToolPage.h"
#include "platform/Platform.h"
#include "window/StandaloneToolWindow.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QSettings>
#include <QStandardPaths>
#include <QToolButton>

namespace {

const QString kGlobalStyleSheet =
    QStringLiteral("QMainWindow, QWidget { font-family:'Segoe UI Variable','Segoe UI'; font-size:9pt; color:#253247; }"
                   "QMainWindow { background:#eef1f5; }"
                   "QToolTip { background:#ffffff; color:#253247; border:1px solid #aebaca; padding:5px; }");

bool pagePassesSelfTest(const IntegratedToolPage& page, IntegratedTools::Tool tool)
{
    const auto* title = page.findChild<QLabel*>(QStringLiteral("toolTitle"));
    return title && title->text() == IntegratedTools::displayName(tool) &&
           page.findChild<QToolButton*>(QStringLiteral("standaloneToolSettingsButton")) &&
           page.findChild<QToolButton*>(QStringLiteral("standaloneToolHelpButton"));
}

} // namespace

QStringList collectCommandLinePaths(const QStringList& arguments)
{
    static const QString prefix = QStringLiteral("/input:");
    QStringList paths;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString argument = arguments.at(i);
        if (argument.startsWith(prefix, Qt::CaseInsensitive))
            argument.remove(0, prefix.size());
        const QFileInfo info(argument);
        if (info.exists())
            paths.append(info.absoluteFilePath());
    }
    return paths;
}

int runStandaloneSelfTest(IntegratedTools::Tool tool)
{
    const QString helper = IntegratedTools::helperExecutablePath(tool);
    const QVariant keptLanguage = storedLanguageSetting();

    bool passed = true;
    static const char16_t* const languages[] = {u"zh_CN", u"zh_TW", u"ja_JP", u"ko_KR", u"en_US"};
    for (const char16_t* code : languages) {
        // Its settings object is gone before the page is built, so the value is on disk when the page reads it.
        storeLanguageSetting(QString::fromUtf16(code));
        IntegratedToolPage page(tool, nullptr, true);
        if (!pagePassesSelfTest(page, tool))
            passed = false;
    }

    storeLanguageSetting(keptLanguage);

    const QFileInfo helperInfo(helper);
    return passed && !helper.isEmpty() && helperInfo.isFile() && helperInfo.size() >= 1 ? 0 : 65;
}

void setUpApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Lumora"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumora"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.36"));
    // The installed desktop entry's name without ".desktop": a desktop shell groups the window with its launcher
    // and icon through it.
    QGuiApplication::setDesktopFileName(QStringLiteral(LEANFOLD_DESKTOP_ID));

    const QString configFolder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QDir().mkpath(configFolder);
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, configFolder);
}

int qMain(int argc, char** argv)
{
    QApplication app(argc, argv);
    setUpApplicationIdentity();

    IntegratedTools::Tool tool = IntegratedTools::PsdSlim;
    if (!IntegratedTools::standaloneTool(&tool))
        return 64;

    QGuiApplication::setWindowIcon(QIcon(IntegratedTools::iconResource(tool)));
    app.setStyleSheet(kGlobalStyleSheet);

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.contains(QStringLiteral("--standalone-self-test")))
        return runStandaloneSelfTest(tool);

    RuntimeLog::initialize();
    RuntimeLog::recordReleaseHistory();
    // A change of language restarts the program, so Qt's texts are chosen once.
    installQtTranslations(app);

    const QStringList paths = collectCommandLinePaths(arguments);
    const QString toolId = IntegratedTools::toolId(tool);
    qInfo().noquote() << "standalone invocation" << toolId << "received_paths=" << paths.size();

    QString lockError;
    const Platform::InstanceLock lock = Platform::acquireInstanceLock(toolId, &lockError);
    if (lock == Platform::InstanceLock::Failed) {
        // Started from a desktop, the process has no terminal: the log record (the message handler also writes
        // standard error) is all a user gets to learn why nothing opened.
        qWarning().noquote() << "unable to take the instance lock" << toolId << "reason=" << lockError;
        return 66;
    }
    if (lock == Platform::InstanceLock::AlreadyRunning)
        return handOverToRunningInstance(toolId, paths);

    StandaloneToolWindow window(tool, nullptr);
    window.queuePaths(paths);
    const EndpointOpening opening = openInstanceEndpoint(window, tool, paths);
    if (opening == EndpointOpening::HandedOver)
        return 0;
    if (opening == EndpointOpening::Failed)
        return 66;
    installLanguageRestart(window, tool, QCoreApplication::applicationFilePath(), arguments.mid(1));
    window.show();
    qInfo().noquote() << "standalone window shown" << toolId << "title=" << window.windowTitle();
    return app.exec();
}
