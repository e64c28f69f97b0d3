// The page's side of a supervised worker: its standard output lines, its standard error, and its end.
#include "page/IntegratedToolPage.h"

#include "i18n/Language.h"
#include "i18n/Localization.h"
#include "page/Duration.h"
#include "page/ToolDropTree.h"
#include "page/WorkerLine.h"
#include "platform/Platform.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

QString ui(const char16_t* key)
{
    return localizedText(QString::fromUtf16(key));
}

QString clockText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
}

int clampToInt(qint64 value)
{
    return int(std::clamp<qint64>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

} // namespace

void IntegratedToolPage::readWorkerOutput()
{
    if (!workerProcess)
        return;
    stdoutBuffer.append(workerProcess->readAllStandardOutput());
    const QList<QByteArray> lines = WorkerProtocol::takeCompleteLines(stdoutBuffer);
    for (const QByteArray& bytes : lines) {
        if (const std::optional<WorkerProtocol::WorkerLine> line = WorkerProtocol::parseWorkerLine(bytes))
            handleWorkerLine(*line);
    }
}

void IntegratedToolPage::handleWorkerLine(const WorkerProtocol::WorkerLine& line)
{
    using Kind = WorkerProtocol::WorkerLine::Kind;
    switch (line.kind) {
    case Kind::Log:
        appendLogLine(ui(u"[%1] %2").arg(clockText(), line.text));
        break;
    case Kind::Progress: {
        // 64-bit: a hostile current near the int limit plus the batch offset must not overflow.
        qint64 current = line.current;
        qint64 range = line.total;
        if (tool == IntegratedTools::PsdSlim && !batchPaths.isEmpty()) {
            // The PSD slim worker counts hundredths of a file within its batch; the bar covers the whole queue.
            range = std::max<qint64>(1, 100 * qint64(selectedPaths.size()));
            current += 100 * qint64(batchOffset);
        }
        const int barMaximum = clampToInt(range);
        progressBar->setRange(0, barMaximum);
        // The percentage text stays off: the page's bar is a thin 7 px line, and text drawn on it shows clipped.
        progressBar->setValue(int(std::clamp<qint64>(current, 0, barMaximum)));
        statusLabel->setText(line.text);
        if (remainingLabel && current > 0 && runClock.isValid()) {
            const qint64 elapsedSeconds = runClock.elapsed() / 1000;
            const qint64 seconds = ((range - current) * elapsedSeconds) / current;
            remainingLabel->setText(ui(u"剩余时间：%1").arg(formatDuration(seconds)));
        }
        break;
    }
    case Kind::Item:
        if (tool == IntegratedTools::PsdSlim)
            setRowStatus(line.path, line.result == u"ok" ? ui(u"已完成") : ui(u"失败"));
        break;
    case Kind::Done:
        if (tool == IntegratedTools::PsdSlim) {
            doneReceived = true;
            doneWellFormed = line.counts.wellFormed;
            batchExported = line.counts.exported;
            batchFailed = line.counts.failed;
            batchBytesSaved = line.counts.bytesSaved;
            appendLogLine(ui(u"本批完成：成功 %1，失败 %2，节省 %3。")
                              .arg(QString::number(batchExported), QString::number(batchFailed),
                                   uiLocale().formattedDataSize(batchBytesSaved, 2, QLocale::DataSizeIecFormat)));
        } else {
            appendLogLine(ui(u"完成：导出 %1，跳过 %2，失败 %3。")
                              .arg(QString::number(line.counts.exported), QString::number(line.counts.skipped),
                                   QString::number(line.counts.failed)));
        }
        break;
    case Kind::Error:
        appendLogLine(ui(u"导出错误：%1").arg(line.text));
        break;
    }
}

void IntegratedToolPage::readWorkerErrors()
{
    if (!workerProcess)
        return;
    const QString text = QString::fromUtf8(workerProcess->readAllStandardError()).trimmed();
    if (!text.isEmpty())
        appendLogLine(ui(u"后台详情：%1").arg(text));
}

void IntegratedToolPage::handlePsdSlimWorkerError()
{
    // A start failure brings no finished signal, and a crash, before DONE or after it, fails the batch.
    if (workerProcess && workerProcess->state() == QProcess::NotRunning)
        finishWorker(3);
}

void IntegratedToolPage::handleLayerExportWorkerError()
{
    // A worker that never started reads exit code 0, which must not pass for success.
    if (workerProcess && workerProcess->state() == QProcess::NotRunning && workerProcess->exitCode() == 0)
        finishWorker(3);
}

void IntegratedToolPage::finishWorker(int exitCode)
{
    if (!workerProcess)
        return; // already finished, for example by the error handler
    readWorkerOutput();
    readWorkerErrors();
    if (!jobFilePath.isEmpty()) {
        QFile::remove(jobFilePath);
        jobFilePath.clear();
    }

    QProcess* finished = workerProcess;
    if (tool == IntegratedTools::PsdSlim) {
        // DONE alone proves nothing: the batch succeeded only if the worker also ended normally (4: some files
        // failed) and its counts account for every file of the batch.
        const bool succeeded = doneReceived && doneWellFormed && (exitCode == 0 || exitCode == 4) &&
                               qint64(batchExported) + batchFailed == batchPaths.size();
        if (doneReceived && !succeeded) {
            qWarning().noquote() << "psd slim batch done rejected exit=" << exitCode << "exported=" << batchExported
                                 << "failed=" << batchFailed << "batch=" << batchPaths.size()
                                 << "counts_valid=" << doneWellFormed;
        }
        if (succeeded) {
            const QString pending = ui(u"等待处理");
            const QString status = batchFailed != 0 ? ui(u"已结束，详见日志") : ui(u"已完成");
            for (const QString& path : std::as_const(batchPaths)) {
                // A row that an ITEM line already settled keeps its result.
                QTreeWidgetItem* row = nullptr;
                for (int i = 0; i < dropTree->topLevelItemCount() && !row; ++i) {
                    QTreeWidgetItem* candidate = dropTree->topLevelItem(i);
                    if (candidate->data(0, Qt::UserRole).toString().compare(path, Platform::fileNameCase()) == 0)
                        row = candidate;
                }
                if (row && row->text(3) != pending)
                    continue;
                setRowStatus(path, status);
            }
        } else {
            batchExported = 0;
            batchFailed = int(batchPaths.size());
            batchBytesSaved = 0;
            for (const QString& path : std::as_const(batchPaths))
                setRowStatus(path, ui(u"失败"));
            appendLogLine(ui(u"瘦身后台异常结束，当前批次 %1 项未完成，退出码：%2。")
                              .arg(QString::number(batchPaths.size()), QString::number(exitCode)));
        }
        batchOffset += int(batchPaths.size());
        totalSucceeded += batchExported;
        totalFailed += batchFailed;
        totalBytesSaved += batchBytesSaved;

        workerProcess = nullptr;
        finished->deleteLater();
        batchPaths.clear();
        // From the event loop, after the finished emission that brought us here has returned.
        QTimer::singleShot(0, this, [this] { startNextPsdSlimBatch(); });
        return;
    }

    elapsedTicker->stop();
    if (exitCode != 0) {
        statusLabel->setText(ui(u"导出失败"));
        appendLogLine(ui(u"后台导出异常结束，退出码：%1").arg(exitCode));
    } else {
        if (progressBar->maximum() < 1)
            progressBar->setRange(0, 100);
        progressBar->setValue(progressBar->maximum());
        statusLabel->setText(ui(u"处理完成"));
        if (remainingLabel)
            remainingLabel->setText(ui(u"剩余时间：00:00:00"));
    }
    const QString status = exitCode != 0 ? ui(u"失败") : ui(u"已完成");
    for (int i = 0; i < dropTree->topLevelItemCount(); ++i)
        dropTree->topLevelItem(i)->setText(3, status);
    startButton->setEnabled(!isScanning());
    dropTree->setEnabled(true);
    workerProcess = nullptr;
    finished->deleteLater();
}
