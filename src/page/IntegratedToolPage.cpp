#include "page/IntegratedToolPage.h"

#include "i18n/Language.h"
#include "i18n/Localization.h"
#include "page/Duration.h"
#include "page/FolderScan.h"
#include "page/PageStyle.h"
#include "page/ToolDropTree.h"
#include "platform/Platform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace {

QString ui(const char16_t* key)
{
    return localizedText(QString::fromUtf16(key));
}

// The run log keeps the newest lines only: a worker may write without end on standard error or in LOG lines, and
// the widget must not grow with it. Past 2 x kLogLines lines the oldest go in one cut down to kLogLines (a cut per
// line would lay the whole document out again for every line). One entry (standard error arrives in reads of
// any size) keeps its last kLogEntryCharacters characters. At most about 2000 x 4096 characters are held.
constexpr int kLogLines = 1000;
constexpr qsizetype kLogEntryCharacters = 4096;

// A call naming at most this many paths, all of them files, is queued at once; a look at each costs little.
constexpr qsizetype kInlineEntries = 1000;

// The duplicate-test key of a queued path: two paths are one file exactly when the file system says so.
QString queueKey(const QString& absolutePath)
{
    return Platform::fileNameCase() == Qt::CaseSensitive ? absolutePath : absolutePath.toCaseFolded();
}

QString clockText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
}

QString sizeText(const QLocale& locale, qint64 bytes)
{
    return locale.formattedDataSize(bytes, 2, QLocale::DataSizeIecFormat);
}

QPushButton* makeButton(const QString& text, QWidget* parent, const QString& objectName = QString())
{
    auto* button = new QPushButton(text, parent);
    button->setCursor(Qt::PointingHandCursor);
    if (!objectName.isEmpty())
        button->setObjectName(objectName);
    return button;
}

QToolButton* makeHeaderButton(const QString& objectName, const QString& icon, const QString& toolTip, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(objectName);
    button->setAutoRaise(true);
    button->setIcon(QIcon(icon));
    button->setIconSize(QSize(17, 17));
    button->setFixedSize(28, 32);
    button->setToolTip(toolTip);
    return button;
}

} // namespace

IntegratedToolPage::IntegratedToolPage(IntegratedTools::Tool tool, QWidget* parent, bool showHeaderButtons)
    : QWidget(parent)
    , tool(tool)
{
    setObjectName(IntegratedTools::toolId(tool) + QStringLiteral("UnifiedPage"));
    setStyleSheet(pageStyleSheet());

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    buildHeader(showHeaderButtons);
    buildContent();

    elapsedTicker = new QTimer(this);
    elapsedTicker->setInterval(500);
    connect(elapsedTicker, &QTimer::timeout, this, [this] { refreshElapsed(); });

    updateSummary();
}

IntegratedToolPage::~IntegratedToolPage()
{
    folderScan.reset();
    stopWorkerOnClose();
}

void IntegratedToolPage::buildHeader(bool showHeaderButtons)
{
    auto* header = new QWidget(this);
    header->setObjectName(QStringLiteral("standaloneToolPageHeader"));
    // A plain QWidget paints its style-sheet background only with this attribute.
    header->setAttribute(Qt::WA_StyledBackground, true);
    auto* layout = new QHBoxLayout(header);
    layout->setContentsMargins(20, 0, 12, 0);
    layout->setSpacing(5);
    auto* title = new QLabel(IntegratedTools::displayName(tool), header);
    title->setObjectName(QStringLiteral("toolTitle"));
    layout->addWidget(title);
    layout->addStretch(1);
    if (showHeaderButtons) {
        auto* settings = makeHeaderButton(QStringLiteral("standaloneToolSettingsButton"),
                                          QStringLiteral(":/branding/assets/dossier-icons/nav-options.svg"),
                                          ui(u"设置"), header);
        auto* help = makeHeaderButton(QStringLiteral("standaloneToolHelpButton"),
                                      QStringLiteral(":/branding/assets/dossier-icons/nav-help.svg"), ui(u"帮助"),
                                      header);
        connect(settings, &QToolButton::clicked, this, [this] {
            if (settingsRequested)
                settingsRequested();
        });
        connect(help, &QToolButton::clicked, this, [this] {
            if (helpRequested)
                helpRequested();
        });
        layout->addWidget(settings);
        layout->addWidget(help);
    }
    static_cast<QVBoxLayout*>(this->layout())->addWidget(header, 0);
}

void IntegratedToolPage::buildContent()
{
    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(18, 12, 18, 12);
    column->setSpacing(7);
    static_cast<QVBoxLayout*>(layout())->addWidget(content, 1);

    auto* section = new QLabel(ui(u"工具操作"), content);
    section->setObjectName(QStringLiteral("toolSection"));
    column->addWidget(section);

    // Queue buttons.
    auto* queueRow = new QHBoxLayout;
    queueRow->setSpacing(7);
    auto* choose = makeButton(tool == IntegratedTools::ImageResize ? ui(u"选择多个图片") : ui(u"选择文件"), content,
                              QStringLiteral("integratedToolChooseButton"));
    connect(choose, &QPushButton::clicked, this, [this] { chooseFiles(); });
    queueRow->addWidget(choose);
    auto* chooseFoldersButton =
        makeButton(ui(u"选择多个文件夹"), content, QStringLiteral("integratedToolChooseFoldersButton"));
    connect(chooseFoldersButton, &QPushButton::clicked, this, [this] { chooseFolders(); });
    queueRow->addWidget(chooseFoldersButton);
    auto* clear = makeButton(ui(u"清空列表"), content);
    connect(clear, &QPushButton::clicked, this, [this] { clearQueue(); });
    queueRow->addWidget(clear);
    if (tool == IntegratedTools::LayerExport) {
        auto* remove = makeButton(ui(u"移除选中项"), content, QStringLiteral("layerRemoveSelected"));
        connect(remove, &QPushButton::clicked, this, [this] { removeSelectedRows(); });
        queueRow->addWidget(remove);
        queueRow->addStretch(1);
        auto* selectedCount = new QLabel(ui(u"已选 0 个 PSD / PSB"), content);
        selectedCount->setObjectName(QStringLiteral("layerSelectedCount"));
        queueRow->addWidget(selectedCount);
        queueRow->addSpacing(10);
    } else {
        queueRow->addStretch(1);
    }
    auto* back = makeButton(ui(u"返回文件管理"), content, QStringLiteral("integratedToolBackButton"));
    connect(back, &QPushButton::clicked, this, [this] {
        if (backRequested)
            backRequested();
    });
    queueRow->addWidget(back);
    column->addLayout(queueRow, 0);

    // Options.
    auto* options = new QHBoxLayout;
    options->setSpacing(8);
    if (tool == IntegratedTools::PsdSlim) {
        auto* deepClean = new QCheckBox(ui(u"深度清理嵌入式 PSD/PSB 智能对象（较慢）"), content);
        deepClean->setObjectName(QStringLiteral("psdDeepClean"));
        deepClean->setChecked(false);
        options->addWidget(deepClean);
        // Wraps rather than widening the window beyond its minimum width in the longer languages;
        auto* note = new QLabel(ui(u"内置离线安全处理，不启动 Adobe Photoshop；保存前后自动校验画布与图层结构。"), content);
        // the label takes the stretch itself, so it only wraps when the row is really too narrow.
        note->setWordWrap(true);
        options->addWidget(note, 1);
        column->addLayout(options, 0);
    } else if (tool == IntegratedTools::LayerExport) {
        auto* selectedLabel = new QLabel(ui(u"已选文件列表：支持 PSD / PSB，也可直接拖入文件或文件夹"), content);
        selectedLabel->setObjectName(QStringLiteral("layerSelectedLabel"));
        options->addWidget(selectedLabel);
        options->addStretch(1);
        column->addLayout(options, 0);
    } else {
        options->addWidget(new QLabel(ui(u"尺寸规则："), content));
        auto* sizeRule = new QComboBox(content);
        sizeRule->setObjectName(QStringLiteral("imageSizeRule"));
        sizeRule->addItems({ui(u"4 的倍数"), ui(u"偶数（2 的倍数）"), ui(u"2ⁿ（2 的幂）")});
        options->addWidget(sizeRule);
        options->addWidget(new QLabel(ui(u"补边颜色："), content));
        auto* fillRule = new QComboBox(content);
        fillRule->setObjectName(QStringLiteral("imageFillRule"));
        fillRule->addItems({ui(u"透明"), ui(u"白色"), ui(u"黑色")});
        options->addWidget(fillRule);
        auto* centered = new QCheckBox(ui(u"内容居中"), content);
        centered->setObjectName(QStringLiteral("imageCentered"));
        centered->setChecked(true);
        options->addWidget(centered);
        auto* outputPng = new QCheckBox(ui(u"统一输出无损 PNG"), content);
        outputPng->setObjectName(QStringLiteral("imageOutputPng"));
        options->addWidget(outputPng);
        auto* recursiveBox = new QCheckBox(ui(u"文件夹含子目录"), content);
        recursiveBox->setObjectName(QStringLiteral("imageRecursive"));
        recursiveBox->setChecked(true);
        options->addWidget(recursiveBox);
        options->addStretch(1);
        column->addLayout(options, 0);

        auto* outputRow = new QHBoxLayout;
        outputRow->addWidget(new QLabel(ui(u"输出目录（留空＝原位置替换）："), content));
        auto* outputDirectory = new QLineEdit(content);
        outputDirectory->setObjectName(QStringLiteral("imageOutputDirectory"));
        outputDirectory->setPlaceholderText(ui(u"留空时直接替换原文件"));
        outputRow->addWidget(outputDirectory, 1);
        auto* browse = makeButton(ui(u"浏览"), content);
        connect(browse, &QPushButton::clicked, this, [this, outputDirectory] {
            const QString folder = QFileDialog::getExistingDirectory(this, localizedText(QStringLiteral("选择输出目录")),
                                                                     QString(), QFileDialog::ShowDirsOnly);
            if (!folder.isEmpty())
                outputDirectory->setText(QDir::toNativeSeparators(folder));
        });
        outputRow->addWidget(browse);
        auto* restore = makeButton(ui(u"恢复原位置替换"), content);
        connect(restore, &QPushButton::clicked, outputDirectory, &QLineEdit::clear);
        outputRow->addWidget(restore);
        column->addLayout(outputRow, 0);
    }

    // The queue.
    dropTree = new ToolDropTree(content);
    dropTree->setObjectName(QStringLiteral("integratedToolDropList"));
    dropTree->setAcceptDrops(true);
    dropTree->viewport()->setAcceptDrops(true);
    dropTree->setDragDropMode(QAbstractItemView::DropOnly);
    dropTree->setDefaultDropAction(Qt::CopyAction);
    dropTree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    dropTree->setAlternatingRowColors(true);
    // A flat list: no branch indentation before the file names, and one row height for all rows.
    dropTree->setRootIsDecorated(false);
    dropTree->setItemDelegate(new QueueRowDelegate(dropTree));
    dropTree->setUniformRowHeights(true);
    dropTree->setHeaderLabels({ui(u"文件名"), ui(u"所在位置"), ui(u"大小"), ui(u"状态")});
    dropTree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    dropTree->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    dropTree->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    dropTree->header()->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    dropTree->pathsDropped = [this](const QStringList& paths) { addPaths(paths, true); };
    dropTree->deleteRequested = [this] { removeSelectedRowsQuietly(); };
    column->addWidget(dropTree, 6);

    if (tool == IntegratedTools::LayerExport) {
        auto* outputRow = new QHBoxLayout;
        outputRow->setSpacing(8);
        outputRow->addWidget(new QLabel(ui(u"输出位置："), content));
        layerOutputDirectory = new QLineEdit(content);
        layerOutputDirectory->setObjectName(QStringLiteral("layerOutputDirectory"));
        layerOutputDirectory->setPlaceholderText(ui(u"自动：在 PSD/PSB 旁创建同名文件夹"));
        outputRow->addWidget(layerOutputDirectory, 1);
        auto* browse = makeButton(ui(u"浏览..."), content);
        connect(browse, &QPushButton::clicked, this, [this] {
            const QString folder = QFileDialog::getExistingDirectory(
                this, localizedText(QStringLiteral("选择输出文件夹")), QString(), QFileDialog::ShowDirsOnly);
            if (!folder.isEmpty())
                layerOutputDirectory->setText(QDir::toNativeSeparators(folder));
        });
        outputRow->addWidget(browse);
        auto* restore = makeButton(ui(u"恢复默认"), content);
        connect(restore, &QPushButton::clicked, layerOutputDirectory, &QLineEdit::clear);
        outputRow->addWidget(restore);
        column->addLayout(outputRow, 0);

        auto* sizingRow = new QHBoxLayout;
        sizingRow->setSpacing(8);
        auto* trim = new QCheckBox(ui(u"裁切透明像素"), content);
        trim->setObjectName(QStringLiteral("layerTrimTransparency"));
        trim->setChecked(true);
        trim->setToolTip(ui(u"取消后，每个 PNG 保持原 PSD/PSB 的完整画布尺寸和图层坐标"));
        sizingRow->addWidget(trim);
        sizingRow->addSpacing(12);
        auto* sizingLabel = new QLabel(ui(u"补边尺寸："), content);
        sizingRow->addWidget(sizingLabel);
        auto* sizingMode = new QComboBox(content);
        sizingMode->setObjectName(QStringLiteral("layerSizingMode"));
        sizingMode->addItem(ui(u"无规则（只裁切，不扩图）"), QStringLiteral("none"));
        sizingMode->addItem(ui(u"4 的倍数"), QStringLiteral("multiple4"));
        sizingMode->addItem(ui(u"偶数（2 的倍数）"), QStringLiteral("even"));
        sizingMode->addItem(ui(u"2ⁿ"), QStringLiteral("power2"));
        sizingMode->setCurrentIndex(1);
        sizingRow->addWidget(sizingMode);
        sizingRow->addStretch(1);
        connect(trim, &QCheckBox::toggled, this, [sizingLabel, sizingMode](bool checked) {
            sizingLabel->setEnabled(checked);
            sizingMode->setEnabled(checked);
        });
        column->addLayout(sizingRow, 0);
    }

    // Status line and progress.
    auto* statusRow = new QHBoxLayout;
    summaryLabel = new QLabel(content);
    statusRow->addWidget(summaryLabel);
    if (tool != IntegratedTools::ImageResize) {
        statusRow->addSpacing(14);
        elapsedLabel = new QLabel(ui(u"已用时间：00:00:00"), content);
        statusRow->addWidget(elapsedLabel);
        statusRow->addSpacing(10);
        remainingLabel = new QLabel(ui(u"剩余时间：--:--:--"), content);
        statusRow->addWidget(remainingLabel);
    }
    statusRow->addStretch(1);
    statusLabel = new QLabel(ui(u"就绪"), content);
    statusLabel->setTextFormat(Qt::PlainText); // it shows worker lines, file names among them
    statusLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    statusRow->addWidget(statusLabel);
    column->addLayout(statusRow, 0);

    progressBar = new QProgressBar(content);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    // The style sheet's "height" is not a property Qt applies to widgets; the bar is a thin 7 px line.
    progressBar->setFixedHeight(7);
    column->addWidget(progressBar);

    auto* logCaptionRow = new QHBoxLayout;
    auto* logCaption = new QLabel(ui(u"运行日志"), content);
    logCaption->setObjectName(QStringLiteral("toolSection"));
    logCaptionRow->addWidget(logCaption);
    logCaptionRow->addStretch(1);
    runLog = new QTextEdit(content);
    if (tool == IntegratedTools::LayerExport) {
        auto* clearLog = makeButton(ui(u"清理处理日志"), content, QStringLiteral("layerClearLog"));
        connect(clearLog, &QPushButton::clicked, runLog, &QTextEdit::clear);
        logCaptionRow->addWidget(clearLog);
    }
    column->addLayout(logCaptionRow, 0);

    runLog->setObjectName(QStringLiteral("integratedToolLog"));
    runLog->setReadOnly(true);
    runLog->setMaximumHeight(78);
    // At the window's minimum height the log gives way first (two lines stay visible), not the queue.
    runLog->setMinimumHeight(40);
    column->addWidget(runLog);

    // Start is wired to startRun by the run code; until then the button does nothing.
    auto* startRow = new QHBoxLayout;
    startRow->addStretch(1);
    startButton = makeButton(tool == IntegratedTools::LayerExport ? ui(u"开始导出") : ui(u"开始处理"), content,
                             QStringLiteral("toolStart"));
    startButton->setFixedSize(256, 44);
    connect(startButton, &QPushButton::clicked, this, [this] { startRun(); });
    startRow->addWidget(startButton);
    startRow->addStretch(1);
    column->addLayout(startRow, 0);

    auto* credit = new QLabel(ui(u"Leanfold · Lumora 图形资源管理器 · support@lumora.example"), content);
    credit->setObjectName(QStringLiteral("toolCredit"));
    credit->setAlignment(Qt::AlignCenter);
    credit->setMinimumHeight(18);
    column->addWidget(credit);
}

void IntegratedToolPage::setBackHandler(std::function<void()> handler)
{
    backRequested = std::move(handler);
}

void IntegratedToolPage::setSettingsHandler(std::function<void()> handler)
{
    settingsRequested = std::move(handler);
}

void IntegratedToolPage::setHelpHandler(std::function<void()> handler)
{
    helpRequested = std::move(handler);
}

void IntegratedToolPage::appendLogLine(const QString& entry)
{
    QTextDocument* document = runLog->document();
    // A read-only view needs no undo history, and kept it would hold every line ever shown.
    if (document->isUndoRedoEnabled())
        document->setUndoRedoEnabled(false);
    QString text = entry;
    if (text.size() > kLogEntryCharacters) {
        QStringView tail = QStringView(text).right(kLogEntryCharacters);
        if (tail.front().isLowSurrogate())
            tail = tail.mid(1); // never half a character
        text = QStringLiteral("…") + tail.toString();
    }
    // Always plain text (QTextEdit::append guesses, and takes a name like "<b>x.psd" for markup): file names,
    // worker lines and standard error show as they are, line breaks kept. The view follows the end as append
    // does.
    QScrollBar* bar = runLog->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    if (!document->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);
    if (document->blockCount() > 2 * kLogLines) {
        QTextCursor oldest(document);
        oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, document->blockCount() - kLogLines);
        oldest.removeSelectedText();
    }
    if (atEnd)
        bar->setValue(bar->maximum());
}

void IntegratedToolPage::addPaths(const QStringList& paths, bool recursive)
{
    // Relative paths follow the current folder as it is now, not when a walk gets to them. A message may repeat
    // one entry without end: each text is looked at once.
    QStringList entries;
    QSet<QString> given;
    for (const QString& path : paths) {
        if (path.isEmpty() || given.contains(path))
            continue;
        given.insert(path);
        entries.append(QFileInfo(path).absoluteFilePath());
    }
    // A few files are queued at once; anything with a folder in it is walked off the window's thread. Calls are
    // finished in the order they came, so rows keep the order of the calls.
    if (!folderScan && waitingScans.isEmpty() && entries.size() <= kInlineEntries && FolderScan::onlyFiles(entries)) {
        const ScanBatch found = FolderScan::expand(entries, recursive, IntegratedTools::supportedSuffixes(tool));
        finishAdding(queueFound(found.files), found.rejected);
        return;
    }
    waitingScans.append({entries, recursive});
    if (!folderScan)
        startNextScan();
}

void IntegratedToolPage::startNextScan()
{
    if (waitingScans.isEmpty()) {
        startButton->setEnabled(workerProcess == nullptr);
        return;
    }
    const WaitingScan next = waitingScans.takeFirst();
    scanAdded = 0;
    scanRejected = 0;
    const quint64 generation = ++scanGeneration;
    startButton->setEnabled(false);
    folderScan = std::make_unique<FolderScan>(
        next.entries, next.recursive, IntegratedTools::supportedSuffixes(tool), [this, generation](ScanBatch batch) {
            QMetaObject::invokeMethod(
                this, [this, generation, batch = std::move(batch)] { takeScanBatch(generation, batch); },
                Qt::QueuedConnection);
        });
}

void IntegratedToolPage::takeScanBatch(quint64 generation, const ScanBatch& batch)
{
    // A batch of a scan that was cancelled may still be on its way.
    if (generation != scanGeneration || !folderScan)
        return;
    scanAdded += queueFound(batch.files);
    scanRejected += batch.rejected;
    if (!batch.last)
        return;
    folderScan.reset();
    finishAdding(scanAdded, scanRejected);
    startNextScan();
}

void IntegratedToolPage::cancelScans()
{
    if (folderScan) {
        folderScan.reset();
        ++scanGeneration;
        finishAdding(scanAdded, scanRejected);
    }
    // Calls that never started found nothing; each still leaves its record.
    while (!waitingScans.isEmpty()) {
        waitingScans.removeFirst();
        finishAdding(0, 0);
    }
    startButton->setEnabled(workerProcess == nullptr);
}

int IntegratedToolPage::queueFound(const QList<ScannedFile>& files)
{
    // Read once per batch rather than once per row: both come from the settings store.
    const QLocale locale = uiLocale();
    const QString pending = ui(u"等待处理");
    QList<QTreeWidgetItem*> rows;
    for (const ScannedFile& file : files) {
        const QString key = queueKey(file.path);
        if (queuedKeys.contains(key))
            continue;
        queuedKeys.insert(key);
        selectedPaths.append(file.path);
        auto* row = new QTreeWidgetItem;
        row->setText(0, file.name);
        row->setData(0, Qt::UserRole, file.path);
        row->setText(1, QDir::toNativeSeparators(file.folder));
        row->setText(2, sizeText(locale, file.size));
        row->setText(3, pending);
        rows.append(row);
    }
    // One insertion per batch: inserting row by row relayouts the view for every file.
    dropTree->addTopLevelItems(rows);
    return int(rows.size());
}

void IntegratedToolPage::finishAdding(int added, int rejected)
{
    if (added + rejected > 0) {
        appendLogLine(localizedText(QStringLiteral("[%1] 已加入 %2 个文件，忽略 %3 个不适用文件。"))
                          .arg(clockText())
                          .arg(added)
                          .arg(rejected));
    }
    // The record names the call it reports on, wherever the call's walk ends.
    QMessageLogger(__FILE__, __LINE__, "void IntegratedToolPage::addPaths(const QStringList&, bool)").info().noquote()
        << "integrated tool path list" << IntegratedTools::toolId(tool) << "added=" << added
        << "rejected=" << rejected << "total=" << selectedPaths.size();
    updateSummary();
}

void IntegratedToolPage::chooseFiles()
{
    const QStringList files = QFileDialog::getOpenFileNames(this, IntegratedTools::displayName(tool), QString(),
                                                            IntegratedTools::fileDialogFilter(tool));
    addPaths(files, false);
}

void IntegratedToolPage::chooseFolders()
{
    QFileDialog dialog(this, localizedText(QStringLiteral("选择一个或多个文件夹")), QString(), QString());
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setFileMode(QFileDialog::Directory);
    // The folder dialog selects one folder; its views are switched to extended selection to take several.
    const QList<QListView*> lists = dialog.findChildren<QListView*>();
    for (QListView* view : lists)
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    const QList<QTreeView*> trees = dialog.findChildren<QTreeView*>();
    for (QTreeView* view : trees)
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    if (dialog.exec() == QDialog::Accepted)
        addPaths(dialog.selectedFiles(), true);
}

void IntegratedToolPage::setRowStatus(const QString& path, const QString& status)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    for (int i = 0; i < dropTree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = dropTree->topLevelItem(i);
        if (row->data(0, Qt::UserRole).toString().compare(absolute, Platform::fileNameCase()) == 0) {
            row->setText(3, status);
            return;
        }
    }
}

void IntegratedToolPage::updateSummary()
{
    qint64 total = 0;
    for (const QString& path : std::as_const(selectedPaths))
        total += QFileInfo(path).size();
    const QString types = IntegratedTools::supportedSuffixes(tool).join(QStringLiteral(" / ")).toUpper();
    summaryLabel->setText(localizedText(QStringLiteral("%1 个文件  |  %2  |  支持：%3"))
                              .arg(QString::number(selectedPaths.size()), sizeText(uiLocale(), total), types));
    if (auto* selectedCount = findChild<QLabel*>(QStringLiteral("layerSelectedCount")))
        selectedCount->setText(localizedText(QStringLiteral("已选 %1 个 PSD / PSB")).arg(selectedPaths.size()));
}

void IntegratedToolPage::clearQueue()
{
    // A walk still running would go on filling the list the user just emptied.
    cancelScans();
    selectedPaths.clear();
    queuedKeys.clear();
    dropTree->clear();
    progressBar->setValue(0);
    statusLabel->setText(ui(u"就绪"));
    appendLogLine(localizedText(QStringLiteral("[%1] 已清空文件列表。")).arg(clockText()));
    updateSummary();
}

void IntegratedToolPage::removeRows(bool writeLog)
{
    const QList<QTreeWidgetItem*> selected = dropTree->selectedItems();
    // One pass over selectedPaths for the whole selection: removing path by path is quadratic in the queue.
    QSet<QString> removed;
    removed.reserve(selected.size());
    for (QTreeWidgetItem* row : selected) {
        removed.insert(row->data(0, Qt::UserRole).toString());
        delete row;
    }
    if (!removed.isEmpty()) {
        selectedPaths.removeIf([&removed](const QString& path) { return removed.contains(path); });
        for (const QString& path : std::as_const(removed))
            queuedKeys.remove(queueKey(path));
    }
    if (writeLog && !selected.isEmpty()) {
        appendLogLine(localizedText(QStringLiteral("[%1] 已移除 %2 个选中文件。"))
                          .arg(clockText())
                          .arg(selected.size()));
    }
    updateSummary();
}

void IntegratedToolPage::removeSelectedRows()
{
    removeRows(true);
}

void IntegratedToolPage::removeSelectedRowsQuietly()
{
    removeRows(false);
}

void IntegratedToolPage::refreshElapsed()
{
    if (!elapsedLabel || !runClock.isValid())
        return;
    elapsedLabel->setText(localizedText(QStringLiteral("已用时间：%1")).arg(formatDuration(runClock.elapsed() / 1000)));
}
