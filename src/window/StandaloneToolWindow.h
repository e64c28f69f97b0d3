#pragma once

#include "tools/IntegratedTools.h"

#include <QMainWindow>
#include <QStringList>

class IntegratedToolPage;

// The one top-level window of the host: frames the tool's page and keeps its geometry per tool across runs.
class StandaloneToolWindow : public QMainWindow {
public:
    StandaloneToolWindow(IntegratedTools::Tool tool, QWidget* parent);
    ~StandaloneToolWindow() override;

    // Start-up arguments and forwarded paths; folders are searched with their subfolders.
    void queuePaths(const QStringList& paths);

    IntegratedToolPage* toolPage() const { return page; }

    static QString geometryKey(IntegratedTools::Tool tool);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    IntegratedTools::Tool tool;
    IntegratedToolPage* page = nullptr;
};
