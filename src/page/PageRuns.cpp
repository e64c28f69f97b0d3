// The three runs behind the Start button: the batched PSD slim run, the layer export run and the image resize
// hand-over, and what becomes of a running worker when the page goes away.
#include "page/IntegratedToolPage.h"

#include "i18n/Language.h"
#include "i18n/Localization.h"
#include "page/ToolDropTree.h"
#include "page/UserPrompts.h"
#include "platform/Platform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryFile>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int kBatchSize = 20;
constexpr int kLargeRunFileCount = 200;
constexpr qint64 kLargeRunBytes = Q_INT64_C(21474836480); // 20 GiB
constexpr qint64 kLargeFileBytes = Q_INT64_C(4294967296); // 4 GiB
// A worker asked to stop has this long to remove its temporary file and exit; then it is ended.
constexpr int kWorkerStopMilliseconds = 2000;
constexpr int kWorkerKillMilliseconds = 1000;

const QString kPsdSlimWorkerName = QStringLiteral("LeanfoldWorker.exe");
const QString kLayerExportWorkerName = QStringLiteral("StratafileWorker.exe");

QString ui(const char16_t* key)
{
    return localizedText(QString::fromUtf16(key));
}

QString clockText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
}

QString dataSize(qint64 bytes)
{
    return uiLocale().formattedDataSize(bytes, 2, QLocale::DataSizeIecFormat);
}

QJsonArray absolutePaths(const QStringList& paths)
{
    QJsonArray files;
    for (const QString& path : paths)
        files.append(QFileInfo(path).absoluteFilePath());
    return files;
}

// Writes the job as compact JSON (QJsonDocument orders the keys alphabetically) into a new temporary file that
// outlives this call: the worker reads it, and the page deletes it when the worker ends. A file that could not
// be written whole is removed again, so no half job is left behind. Returns the file name, or empty.
QString writeJobFile(const QString& nameTemplate, const QJsonObject& job)
{
    QTemporaryFile file(QDir(QDir::tempPath()).filePath(nameTemplate));
    file.setAutoRemove(false);
    if (!file.open())
        return QString();
    const QByteArray bytes = QJsonDocument(job).toJson(QJsonDocument::Compact);
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.remove();
        return QString();
    }
    const QString name = file.fileName();
    file.close();
    return name;
}

} // namespace

void IntegratedToolPage::setUserPrompts(UserPrompts* userPrompts)
{
    prompts = userPrompts;
}

UserPrompts& IntegratedToolPage::userPrompts() const
{
    return prompts ? *prompts : UserPrompts::messageBoxes();
}

bool IntegratedToolPage::confirm(UserPrompts::Kind kind, const QString& title, const QString& text)
{
    return userPrompts().ask(kind, this, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
           QMessageBox::Yes;
}

void IntegratedToolPage::tell(UserPrompts::Kind kind, const QString& title, const QString& text)
{
    userPrompts().ask(kind, this, title, text, QMessageBox::Ok, QMessageBox::NoButton);
}

void IntegratedToolPage::startRun()
{
    // Start waits for the list to be complete (the button is disabled meanwhile).
    if (isScanning())
        return;
    switch (tool) {
    case IntegratedTools::LayerExport:
        startLayerExportRun();
        break;
    case IntegratedTools::PsdSlim:
        startPsdSlimRun();
        break;
    case IntegratedTools::ImageResize:
        startImageResizeRun();
        break;
    }
}

void IntegratedToolPage::startPsdSlimRun()
{
    if (workerProcess && workerProcess->state() != QProcess::NotRunning)
        return;
    if (selectedPaths.isEmpty()) {
        tell(UserPrompts::Kind::Information, ui(u"尚未选择文件"), ui(u"请先选择 PSD/PSB 文件或文件夹。"));
        return;
    }

    // An empty answer means no trusted worker could be had. The fallback name is then only reported, never
    // looked up: a LeanfoldWorker.exe in the current folder may be anybody's.
    const QString helper = IntegratedTools::helperExecutablePath(IntegratedTools::PsdSlim);
    const QString workerPath = helper.isEmpty() ? kPsdSlimWorkerName
                                                : QDir(QFileInfo(helper).path()).filePath(kPsdSlimWorkerName);
    if (helper.isEmpty() || !QFileInfo::exists(workerPath)) {
        tell(UserPrompts::Kind::Warning, ui(u"无法开始处理"), ui(u"后台瘦身组件不存在：%1").arg(workerPath));
        return;
    }

    const auto* deepClean = findChild<QCheckBox*>(QStringLiteral("psdDeepClean"));
    qint64 totalBytes = 0;
    qint64 largest = 0;
    for (const QString& path : std::as_const(selectedPaths)) {
        const qint64 size = QFileInfo(path).size();
        totalBytes += size;
        largest = std::max(largest, size);
    }

    if (selectedPaths.size() > kLargeRunFileCount || totalBytes > kLargeRunBytes) {
        const QString text = ui(u"已选择 %1 个文件（%2）。为了避免长队列导致后台解析器内存持续增长，"
                                u"程序会每 %3 个文件自动完成一个安全批次并重启后台组件。")
                                 .arg(QString::number(selectedPaths.size()), dataSize(totalBytes),
                                      QString::number(kBatchSize)) +
                             QStringLiteral("\n\n") +
                             ui(u"处理期间，每个文件所在目录必须保留可用临时空间，且单个 PSD/PSB 的解析可能占用数倍于"
                                u"文件大小的内存。不会覆盖未经结构校验的文件。是否继续？");
        if (!confirm(UserPrompts::Kind::Question, ui(u"大批量 PSD/PSB 处理确认"), text))
            return;
    }
    if (largest > kLargeFileBytes) {
        const QString text = ui(u"队列中包含大于 %1 的单个文件。该文件会在独立安全批次中处理，需要足够的磁盘临时空间"
                                u"与可用内存；内存不足、文件被占用或格式不受支持时，该项会标记为失败，其余文件将继续处理。"
                                u"是否继续？")
                                 .arg(dataSize(kLargeFileBytes));
        if (!confirm(UserPrompts::Kind::Warning, ui(u"超大 PSD/PSB 文件提示"), text))
            return;
    }

    stdoutBuffer.clear();
    progressBar->setRange(0, 0);
    progressBar->setValue(0);
    statusLabel->setText(ui(u"正在读取 PSD/PSB..."));
    if (elapsedLabel)
        elapsedLabel->setText(ui(u"已用时间：00:00:00"));
    if (remainingLabel)
        remainingLabel->setText(ui(u"剩余时间：--:--:--"));
    runClock.start();
    elapsedTicker->start();
    startButton->setEnabled(false);
    dropTree->setEnabled(false);

    const bool deep = deepClean && deepClean->isChecked();
    appendLogLine(ui(u"[%1] 开始无 Photoshop 安全瘦身，共 %2 个文件；深度清理：%3。")
                      .arg(clockText(), QString::number(selectedPaths.size()), deep ? ui(u"开启") : ui(u"关闭")));
    const QString pending = ui(u"等待处理");
    for (int i = 0; i < dropTree->topLevelItemCount(); ++i)
        dropTree->topLevelItem(i)->setText(3, pending);

    pendingPaths = selectedPaths;
    batchPaths.clear();
    batchOffset = 0;
    totalSucceeded = 0;
    totalFailed = 0;
    totalBytesSaved = 0;
    startNextPsdSlimBatch();
}

void IntegratedToolPage::startNextPsdSlimBatch()
{
    if (pendingPaths.isEmpty()) {
        endPsdSlimRun();
        return;
    }

    // Up to a full batch of the files before the first one over 4 GiB; such a file at the head goes alone.
    const int n = int(std::min<qsizetype>(pendingPaths.size(), kBatchSize));
    int k = n;
    for (int i = 0; i < n; ++i) {
        if (QFileInfo(pendingPaths.at(i)).size() > kLargeFileBytes) {
            k = i > 0 ? i : 1;
            break;
        }
    }
    batchPaths = pendingPaths.mid(0, k);
    pendingPaths.remove(0, k);
    doneReceived = false;
    doneWellFormed = false;
    batchExported = 0;
    batchFailed = 0;
    batchBytesSaved = 0;

    // Read for every batch, so a change of the box during a run applies from the next batch on.
    const auto* deepClean = findChild<QCheckBox*>(QStringLiteral("psdDeepClean"));
    QJsonObject job;
    job.insert(QStringLiteral("files"), absolutePaths(batchPaths));
    job.insert(QStringLiteral("deep"), deepClean && deepClean->isChecked());
    const QString jobFile = writeJobFile(QStringLiteral("Lumora-psd-slim-XXXXXX.json"), job);
    if (jobFile.isEmpty()) {
        tell(UserPrompts::Kind::Warning, ui(u"无法继续处理"), ui(u"无法创建瘦身任务临时文件，剩余文件未被修改。"));
        // The run ends here: this batch and every file after it are left untouched, and their rows and the
        // report's failure count say so alike.
        const QStringList notStarted = batchPaths + pendingPaths;
        const QString status = ui(u"未开始");
        for (const QString& path : notStarted)
            setRowStatus(path, status);
        pendingPaths.clear();
        totalFailed += int(notStarted.size());
        batchPaths.clear();
        startNextPsdSlimBatch();
        return;
    }
    jobFilePath = jobFile;
    stdoutBuffer.clear();

    statusLabel->setText(ui(u"正在处理第 %1-%2 项（每批 %3 项）")
                             .arg(QString::number(batchOffset + 1), QString::number(batchOffset + k),
                                  QString::number(kBatchSize)));
    appendLogLine(ui(u"开始瘦身批次：第 %1-%2 项，共 %3 项。")
                      .arg(QString::number(batchOffset + 1), QString::number(batchOffset + k),
                           QString::number(selectedPaths.size())));

    // Asked again for every batch, so each worker started is checked to be ours at that moment. Without an
    // answer nothing is searched for: an empty program fails to start and the batch is closed as failed.
    const QString helper = IntegratedTools::helperExecutablePath(IntegratedTools::PsdSlim);
    launchWorker(helper.isEmpty() ? QString() : QDir(QFileInfo(helper).path()).filePath(kPsdSlimWorkerName), true);
}

void IntegratedToolPage::endPsdSlimRun()
{
    elapsedTicker->stop();
    const int maximum = int(std::max<qint64>(1, 100 * qint64(selectedPaths.size())));
    progressBar->setRange(0, maximum);
    progressBar->setValue(maximum);
    statusLabel->setText(totalFailed != 0 ? ui(u"处理完成，%1 项失败").arg(totalFailed) : ui(u"处理完成"));
    if (remainingLabel)
        remainingLabel->setText(ui(u"剩余时间：00:00:00"));
    appendLogLine(ui(u"瘦身任务结束：完成 %1 项，失败 %2 项，累计节省 %3。")
                      .arg(QString::number(totalSucceeded), QString::number(totalFailed), dataSize(totalBytesSaved)));
    startButton->setEnabled(!isScanning());
    dropTree->setEnabled(true);
}

void IntegratedToolPage::startLayerExportRun()
{
    if (workerProcess && workerProcess->state() != QProcess::NotRunning)
        return;
    if (selectedPaths.isEmpty()) {
        tell(UserPrompts::Kind::Information, ui(u"尚未选择文件"), ui(u"请先选择 PSD/PSB 文件或文件夹。"));
        return;
    }
    const QString helper = IntegratedTools::helperExecutablePath(IntegratedTools::LayerExport);
    const QString workerPath = QDir(QFileInfo(helper).path()).filePath(kLayerExportWorkerName);
    if (!QFileInfo::exists(workerPath)) {
        tell(UserPrompts::Kind::Warning, ui(u"无法开始导出"), ui(u"后台导出组件不存在：%1").arg(workerPath));
        return;
    }

    const auto* trim = findChild<QCheckBox*>(QStringLiteral("layerTrimTransparency"));
    const auto* sizing = findChild<QComboBox*>(QStringLiteral("layerSizingMode"));
    QJsonObject job;
    job.insert(QStringLiteral("files"), absolutePaths(selectedPaths));
    job.insert(QStringLiteral("output"), layerOutputDirectory ? layerOutputDirectory->text().trimmed() : QString());
    job.insert(QStringLiteral("sizingMode"),
               sizing ? sizing->currentData(Qt::UserRole).toString() : QStringLiteral("multiple4"));
    job.insert(QStringLiteral("trimTransparency"), trim ? trim->isChecked() : true);
    const QString jobFile = writeJobFile(QStringLiteral("Lumora-layer-export-XXXXXX.json"), job);
    if (jobFile.isEmpty()) {
        tell(UserPrompts::Kind::Warning, ui(u"无法开始导出"), ui(u"无法创建临时导出任务文件。"));
        return;
    }
    jobFilePath = jobFile;
    stdoutBuffer.clear();

    progressBar->setRange(0, 0);
    progressBar->setValue(0);
    statusLabel->setText(ui(u"正在扫描图层..."));
    if (elapsedLabel)
        elapsedLabel->setText(ui(u"已用时间：00:00:00"));
    if (remainingLabel)
        remainingLabel->setText(ui(u"剩余时间：--:--:--"));
    runClock.start();
    elapsedTicker->start();
    startButton->setEnabled(false);
    dropTree->setEnabled(false);

    appendLogLine(ui(u"[%1] 开始页内直接导出，共 %2 个 PSD/PSB；不会打开第二个程序窗口。")
                      .arg(clockText(), QString::number(selectedPaths.size())));
    const QString waiting = ui(u"等待导出");
    for (int i = 0; i < dropTree->topLevelItemCount(); ++i)
        dropTree->topLevelItem(i)->setText(3, waiting);
    launchWorker(workerPath, false);
}

void IntegratedToolPage::launchWorker(const QString& workerPath, bool psdSlim)
{
    auto* process = new QProcess(this);
    workerProcess = process;
    process->setProcessChannelMode(QProcess::SeparateChannels);
    // Every handler first checks that the signal comes from the attached worker: a released one is ignored.
    connect(process, &QProcess::readyReadStandardOutput, this, [this, process] {
        if (process == workerProcess)
            readWorkerOutput();
    });
    connect(process, &QProcess::readyReadStandardError, this, [this, process] {
        if (process == workerProcess)
            readWorkerErrors();
    });
    connect(process, &QProcess::errorOccurred, this, [this, process, psdSlim](QProcess::ProcessError) {
        if (process != workerProcess)
            return;
        if (psdSlim)
            handlePsdSlimWorkerError();
        else
            handleLayerExportWorkerError();
    });
    connect(process, &QProcess::finished, this, [this, process, psdSlim](int exitCode, QProcess::ExitStatus status) {
        if (process != workerProcess)
            return;
        // A crashed PSD slim worker reads the signal number as its exit code, and SIGILL is 4: it ends with the
        // code that stands for "did not run to a normal exit".
        finishWorker(psdSlim && status == QProcess::CrashExit ? 3 : exitCode);
    });
    process->setWorkingDirectory(QFileInfo(workerPath).absolutePath());
    // A start failure may finish and release the worker inside start(): nothing touches it afterwards.
    process->start(workerPath, {QStringLiteral("--job"), jobFilePath}, QIODevice::ReadWrite);
}

void IntegratedToolPage::startImageResizeRun()
{
    progressBar->setRange(0, 0);
    statusLabel->setText(ui(u"正在启动…"));
    appendLogLine(ui(u"[%1] 启动 %2，传递 %3 个文件。")
                      .arg(clockText(), IntegratedTools::displayName(IntegratedTools::ImageResize),
                           QString::number(selectedPaths.size())));

    const auto* sizeRule = findChild<QComboBox*>(QStringLiteral("imageSizeRule"));
    const auto* fillRule = findChild<QComboBox*>(QStringLiteral("imageFillRule"));
    const auto* centered = findChild<QCheckBox*>(QStringLiteral("imageCentered"));
    const auto* outputPng = findChild<QCheckBox*>(QStringLiteral("imageOutputPng"));
    const auto* recursive = findChild<QCheckBox*>(QStringLiteral("imageRecursive"));
    const auto* outputDirectory = findChild<QLineEdit*>(QStringLiteral("imageOutputDirectory"));

    const int sizeIndex = sizeRule ? sizeRule->currentIndex() : 0;
    const int fillIndex = fillRule ? fillRule->currentIndex() : 0;
    QStringList arguments;
    arguments << QStringLiteral("--rule")
              << (sizeIndex == 1   ? QStringLiteral("even")
                  : sizeIndex == 2 ? QStringLiteral("power2")
                                   : QStringLiteral("multiple4"));
    arguments << QStringLiteral("--fill")
              << (fillIndex == 1   ? QStringLiteral("white")
                  : fillIndex == 2 ? QStringLiteral("black")
                                   : QStringLiteral("transparent"));
    arguments << (centered && centered->isChecked() ? QStringLiteral("--centered") : QStringLiteral("--no-centered"));
    if (outputPng && outputPng->isChecked())
        arguments << QStringLiteral("--png");
    if (recursive && recursive->isChecked())
        arguments << QStringLiteral("--recursive");
    const QString folder = outputDirectory ? outputDirectory->text().trimmed() : QString();
    if (!folder.isEmpty())
        arguments << QStringLiteral("--output-dir") << folder;
    if (!selectedPaths.isEmpty())
        arguments << QStringLiteral("--start") << selectedPaths;

    const QString program = IntegratedTools::helperExecutablePath(IntegratedTools::ImageResize);
    qint64 processId = 0;
    if (QProcess::startDetached(program, arguments, QFileInfo(program).absolutePath(), &processId)) {
        progressBar->setRange(0, 100);
        progressBar->setValue(100);
        statusLabel->setText(ui(u"已启动"));
        const QString handedOver = ui(u"已传递");
        for (int i = 0; i < dropTree->topLevelItemCount(); ++i)
            dropTree->topLevelItem(i)->setText(3, handedOver);
        return;
    }
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    statusLabel->setText(ui(u"启动失败"));
    appendLogLine(ui(u"失败：%1").arg(ui(u"无法启动图片尺寸调整进程。")));
    tell(UserPrompts::Kind::Warning, ui(u"无法启动工具"), ui(u"无法启动图片尺寸调整进程。"));
}

void IntegratedToolPage::stopWorkerOnClose()
{
    // No further batch: the zero-delay timer dies with the page, and nothing may start another worker.
    pendingPaths.clear();
    QProcess* process = workerProcess;
    workerProcess = nullptr;
    if (process) {
        // The page is going away: none of its handlers may run for this worker any more.
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning) {
            // The PSD slim worker is asked through its standard input, the one channel that reaches a console
            // program on every platform (on Windows terminate() posts a close message that only a window
            // receives); it abandons its file, removes its temporary and exits. Ending it outright at any moment
            // would still leave each file either as it was or slimmed, but could leave the temporary beside it.
            const QDeadlineTimer deadline(kWorkerStopMilliseconds);
            if (tool == IntegratedTools::PsdSlim) {
                process->write("STOP\n");
                process->waitForBytesWritten(int(deadline.remainingTime()));
            } else {
                // The layer export worker knows no stop line.
                Platform::askToEnd(*process);
            }
            if (!process->waitForFinished(int(deadline.remainingTime()))) {
                process->kill();
                process->waitForFinished(kWorkerKillMilliseconds);
            }
        }
        delete process;
    }
    if (!jobFilePath.isEmpty()) {
        QFile::remove(jobFilePath);
        jobFilePath.clear();
    }
}
