#include "window/StandaloneToolWindow.h"

#include "page/IntegratedToolPage.h"

#include <QCloseEvent>
#include <QIcon>
#include <QSettings>

StandaloneToolWindow::StandaloneToolWindow(IntegratedTools::Tool tool, QWidget* parent)
    : QMainWindow(parent)
    , tool(tool)
{
    setObjectName(QStringLiteral("standaloneToolWindow"));
    setWindowTitle(IntegratedTools::displayName(tool));
    setWindowIcon(QIcon(IntegratedTools::iconResource(tool)));
    setMinimumSize(820, 600);
    resize(1180, 790);
    const QByteArray geometry = QSettings().value(geometryKey(tool)).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);

    page = new IntegratedToolPage(tool, this, true);
    page->setBackHandler([this] { close(); });
    page->setSettingsHandler([this] { showSettingsDialog(); });
    page->setHelpHandler([this] { showHelpDialog(); });
    setCentralWidget(page);
}

StandaloneToolWindow::~StandaloneToolWindow()
{
    // The page, destroyed after this, waits for a running worker to stop: the window leaves the screen first, also
    // when the program ends without a close (a language restart quits the event loop).
    hide();
}

QString StandaloneToolWindow::geometryKey(IntegratedTools::Tool tool)
{
    return QStringLiteral("standaloneTools/%1/geometry").arg(IntegratedTools::toolId(tool));
}

void StandaloneToolWindow::queuePaths(const QStringList& paths)
{
    if (page)
        page->addPaths(paths, true);
}

void StandaloneToolWindow::closeEvent(QCloseEvent* event)
{
    QSettings().setValue(geometryKey(tool), saveGeometry());
    QMainWindow::closeEvent(event);
}
