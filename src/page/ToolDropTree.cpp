#include "page/ToolDropTree.h"

#include "i18n/Localization.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QStyle>
#include <QUrl>

ToolDropTree::~ToolDropTree()
{
    deleteRequested = nullptr;
    pathsDropped = nullptr;
}

void ToolDropTree::setDropActive(bool active)
{
    setProperty("dropActive", active);
    // The page's style sheet selects on the property; re-polishing applies the rule at once.
    style()->unpolish(this);
    style()->polish(this);
    viewport()->update();
}

void ToolDropTree::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Delete && deleteRequested) {
        deleteRequested();
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void ToolDropTree::paintEvent(QPaintEvent* event)
{
    QTreeView::paintEvent(event);
    if (topLevelItemCount() > 0)
        return;
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    const int width = viewport()->width();
    const int height = viewport()->height();
    QPen framePen(QColor(QStringLiteral("#2463d4")), 1.5, Qt::DashLine);
    painter.setPen(framePen);
    painter.setBrush(QColor(QStringLiteral("#f7f9fc")));
    painter.drawRoundedRect(QRectF(18, 18, width - 36, height - 36), 5, 5);
    painter.setPen(QColor(QStringLiteral("#243f65")));
    QFont font = painter.font();
    font.setPointSize(11);
    font.setWeight(QFont::Bold);
    painter.setFont(font);
    painter.drawText(QRect(QPoint(34, 23), QPoint(width - 35, height - 24)), Qt::AlignCenter,
                     localizedText(QStringLiteral("将文件或文件夹拖到这里\n也可以使用上方的选择按钮")));
}

void ToolDropTree::dragEnterEvent(QDragEnterEvent* event)
{
    if (!event->mimeData()->hasUrls()) {
        QAbstractItemView::dragEnterEvent(event);
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    setDropActive(true);
}

void ToolDropTree::dragMoveEvent(QDragMoveEvent* event)
{
    if (event->mimeData()->hasUrls()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    QTreeView::dragMoveEvent(event);
}

void ToolDropTree::dragLeaveEvent(QDragLeaveEvent* event)
{
    setDropActive(false);
    QAbstractItemView::dragLeaveEvent(event);
}

void ToolDropTree::dropEvent(QDropEvent* event)
{
    QStringList paths;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls) {
        if (url.isLocalFile())
            paths.append(QDir::cleanPath(url.toLocalFile()));
    }
    setDropActive(false);
    if (!paths.isEmpty() && pathsDropped) {
        pathsDropped(paths);
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

QSize QueueRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QSize base = QStyledItemDelegate::sizeHint(option, index);
    // Latin and CJK glyphs come from different fonts with different heights; the taller one sets the row.
    const QFontMetrics metrics(option.font);
    const int textHeight = qMax(metrics.lineSpacing(), metrics.boundingRect(QStringLiteral("文件Ag")).height());
    return QSize(base.width() + 14, textHeight + 8);
}
