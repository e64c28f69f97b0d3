#pragma once

#include "page/FolderScan.h"
#include "page/UserPrompts.h"
#include "tools/IntegratedTools.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QSet>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTextEdit;
class QTimer;
class ToolDropTree;

namespace WorkerProtocol {
struct WorkerLine;
}

// The working area of a tool window: header, queue buttons, options, the queue, status line, run log and the
// start button. One page serves one tool for its whole life. It declares no signals or slots: connections go to
// lambdas, and the owner installs the back, settings and help callbacks.
//
// The runs (startRun and the operations below it) are member functions kept in PageRuns.cpp and
// WorkerProtocol.cpp; they own workerProcess, the run counters, progressBar, statusLabel and remainingLabel.
class IntegratedToolPage : public QWidget {
public:
    IntegratedToolPage(IntegratedTools::Tool tool, QWidget* parent, bool showHeaderButtons);
    ~IntegratedToolPage() override;

    void setBackHandler(std::function<void()> handler);
    void setSettingsHandler(std::function<void()> handler);
    void setHelpHandler(std::function<void()> handler);

    // Queue: every way of adding files ends in addPaths.
    // Files are queued before it returns; folders are walked on a thread of their own, their rows arriving while
    // the window goes on (isScanning is true until then).
    void addPaths(const QStringList& paths, bool recursive);
    bool isScanning() const { return folderScan != nullptr; }
    void chooseFiles();
    void chooseFolders();
    void setRowStatus(const QString& path, const QString& status);
    void updateSummary();
    void clearQueue();
    void removeSelectedRows();
    void removeSelectedRowsQuietly();
    void refreshElapsed();

    // Runs: Start dispatches by tool.
    void startRun();
    // Where the runs' message boxes go; null (the default) shows the real QMessageBox functions.
    void setUserPrompts(UserPrompts* userPrompts);

    IntegratedTools::Tool pageTool() const { return tool; }
    const QStringList& queuedPaths() const { return selectedPaths; }
    bool isRunning() const { return workerProcess != nullptr; }

private:
    void buildHeader(bool showHeaderButtons);
    void buildContent();
    void removeRows(bool writeLog);
    void appendLogLine(const QString& entry);
    void startNextScan();
    void takeScanBatch(quint64 generation, const ScanBatch& batch);
    void cancelScans();
    int queueFound(const QList<ScannedFile>& files);
    void finishAdding(int added, int rejected);

    void startPsdSlimRun();
    void startNextPsdSlimBatch();
    void startLayerExportRun();
    void startImageResizeRun();
    void readWorkerOutput();
    void readWorkerErrors();
    void endPsdSlimRun();
    void launchWorker(const QString& workerPath, bool psdSlim);
    void handleWorkerLine(const WorkerProtocol::WorkerLine& line);
    void handlePsdSlimWorkerError();
    void handleLayerExportWorkerError();
    void finishWorker(int exitCode);
    void stopWorkerOnClose();
    UserPrompts& userPrompts() const;
    bool confirm(UserPrompts::Kind kind, const QString& title, const QString& text);
    void tell(UserPrompts::Kind kind, const QString& title, const QString& text);

    IntegratedTools::Tool tool;
    ToolDropTree* dropTree = nullptr;
    QLabel* summaryLabel = nullptr;
    QLabel* statusLabel = nullptr;
    QLabel* elapsedLabel = nullptr;   // null on an ImageResize page
    QLabel* remainingLabel = nullptr; // null on an ImageResize page
    QProgressBar* progressBar = nullptr;
    QTextEdit* runLog = nullptr;
    QLineEdit* layerOutputDirectory = nullptr; // LayerExport only
    QPushButton* startButton = nullptr;
    QProcess* workerProcess = nullptr;
    QTimer* elapsedTicker = nullptr;
    QElapsedTimer runClock;
    QByteArray stdoutBuffer;
    QString jobFilePath;
    QStringList selectedPaths;
    // Copies of selectedPaths, case-folded where the platform's file names ignore case: the duplicate test of addPaths
    // without a linear search. Every change of selectedPaths changes it too.
    QSet<QString> queuedKeys;
    // addPaths calls whose walk has not begun, the walk under way and what it queued so far. A batch carries the
    // generation of its walk: one that arrives after its walk was cancelled is dropped.
    struct WaitingScan {
        QStringList entries;
        bool recursive = false;
    };
    QList<WaitingScan> waitingScans;
    std::unique_ptr<FolderScan> folderScan;
    quint64 scanGeneration = 0;
    int scanAdded = 0;
    int scanRejected = 0;
    QStringList pendingPaths;
    QStringList batchPaths;
    int batchOffset = 0;
    int totalSucceeded = 0;
    int totalFailed = 0;
    qint64 totalBytesSaved = 0;
    bool doneReceived = false;
    bool doneWellFormed = false; // the DONE line's counts were whole, non-negative numbers
    int batchExported = 0;
    int batchFailed = 0;
    qint64 batchBytesSaved = 0;
    UserPrompts* prompts = nullptr;
    std::function<void()> backRequested;
    std::function<void()> settingsRequested;
    std::function<void()> helpRequested;
};
