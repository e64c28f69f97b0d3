#pragma once

#include <QStringList>
#include <QStyledItemDelegate>
#include <QTreeWidget>

#include <functional>

// The queue of the tool page. It knows nothing about tools or runs: a drop and the Delete key are handed to
// the two callbacks the page installs.
class ToolDropTree : public QTreeWidget {
public:
    using QTreeWidget::QTreeWidget;
    ~ToolDropTree() override;

    std::function<void(const QStringList&)> pathsDropped;
    std::function<void()> deleteRequested;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void setDropActive(bool active);
};

// Queue rows with room around their text and one height for every row, whatever script a file name is in, so
// the view can assume uniform row heights (which keeps very long queues fast).
class QueueRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
