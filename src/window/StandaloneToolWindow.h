#pragma once

#include "tools/IntegratedTools.h"

#include <QMainWindow>
#include <QStringList>

#include <functional>

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

    // The page's settings and help actions (StandaloneToolDialogs.cpp). A confirmed new language is stored and
    // then applied by the restart handler; without one the program is started again and this one quits.
    void showSettingsDialog();
    void showHelpDialog();
    void setRestartHandler(std::function<void()> handler);

    // The help dialog's document: the tool's heading and introduction, then the help page of the language.
    static QString helpDocument(IntegratedTools::Tool tool);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    IntegratedTools::Tool tool;
    IntegratedToolPage* page = nullptr;
    std::function<void()> restartHandler;
};
