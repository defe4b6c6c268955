#include "ui/CListCtrlEx.h"

#include <QByteArray>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <memory>
#include <numeric>

namespace tarnwick {

namespace {

constexpr int ITEM_DATA_ROLE = Qt::UserRole;
constexpr int BANNER_X = 8;
constexpr int BANNER_Y = 5;  // below the header

unsigned char Folded(char c) {
    auto byte = static_cast<unsigned char>(c);
    return (byte >= 'A' && byte <= 'Z') ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

}  // namespace

CListCtrlEx::CListCtrlEx(QWidget* parent) : QTreeWidget(parent) {
    setColumnCount(0);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);  // full-row selection
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);  // sorting is ours: stable, and by our text order

    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    connect(header(), &QHeaderView::sectionClicked, this, &CListCtrlEx::sortOnColumn);
    connect(header(), &QHeaderView::sectionHandleDoubleClicked, this,
            &CListCtrlEx::sizeColumnToContent);

    // Cells are black on white, whatever the style's colours and also while disabled.
    QPalette cells = palette();
    cells.setColor(QPalette::Base, Qt::white);
    cells.setColor(QPalette::AlternateBase, Qt::white);
    cells.setColor(QPalette::Text, Qt::black);
    setPalette(cells);

    bannerFont_.setFamily(QStringLiteral("Verdana"));
    bannerFont_.setPixelSize(13);
    bannerFont_.setBold(true);
}

void CListCtrlEx::addColumn(const QString& heading, int width) {
    const int column = columnCount();
    setColumnCount(column + 1);
    QTreeWidgetItem* headings = headerItem();
    headings->setText(column, heading);
    headings->setTextAlignment(column, Qt::AlignLeft | Qt::AlignVCenter);
    setColumnWidth(column, width);
}

int CListCtrlEx::insertRow(int index, const QStringList& texts, const QVariant& itemData) {
    index = std::clamp(index, 0, rowCount());
    auto item = std::make_unique<QTreeWidgetItem>(texts);
    item->setData(0, ITEM_DATA_ROLE, itemData);
    insertTopLevelItem(index, item.release());  // the list owns its items
    return index;
}

void CListCtrlEx::removeRow(int row) {
    const bool wasCurrent = row >= 0 && row == currentRow();
    std::unique_ptr<QTreeWidgetItem> removed(takeTopLevelItem(row));  // null when out of range
    if (wasCurrent) {
        // The view would make a neighbour current, a row that nobody chose.
        selectionModel()->clearCurrentIndex();
    }
}

QString CListCtrlEx::rowText(int row, int column) const {
    const QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->text(column) : QString();
}

void CListCtrlEx::setRowText(int row, int column, const QString& text) {
    if (QTreeWidgetItem* item = topLevelItem(row)) {
        item->setText(column, text);
    }
}

void CListCtrlEx::setCellNote(int row, int column, const QIcon& icon, const QString& tip) {
    if (QTreeWidgetItem* item = topLevelItem(row)) {
        item->setIcon(column, icon);
        item->setToolTip(column, tip);
    }
}

QString CListCtrlEx::cellTip(int row, int column) const {
    const QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->toolTip(column) : QString();
}

bool CListCtrlEx::hasCellIcon(int row, int column) const {
    const QTreeWidgetItem* item = topLevelItem(row);
    return item != nullptr && !item->icon(column).isNull();
}

QVariant CListCtrlEx::itemData(int row) const {
    const QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->data(0, ITEM_DATA_ROLE) : QVariant();
}

void CListCtrlEx::setItemData(int row, const QVariant& itemData) {
    if (QTreeWidgetItem* item = topLevelItem(row)) {
        item->setData(0, ITEM_DATA_ROLE, itemData);
    }
}

int CListCtrlEx::findRow(const QVariant& itemData) const {
    for (int row = 0; row < rowCount(); ++row) {
        if (topLevelItem(row)->data(0, ITEM_DATA_ROLE) == itemData) {
            return row;
        }
    }
    return -1;
}

int CListCtrlEx::currentRow() const {
    QTreeWidgetItem* item = currentItem();
    return item ? indexOfTopLevelItem(item) : -1;
}

int CListCtrlEx::selectedRow() const {
    const int current = currentRow();
    if (current >= 0 && currentItem()->isSelected()) {
        return current;
    }
    const QList<int> selected = selectedRows();
    return selected.isEmpty() ? -1 : selected.first();
}

void CListCtrlEx::selectRow(int row) {
    if (QTreeWidgetItem* item = topLevelItem(row)) {
        setCurrentItem(item, 0, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

QList<int> CListCtrlEx::selectedRows() const {
    QList<int> rows;
    for (QTreeWidgetItem* item : selectedItems()) {
        rows.append(indexOfTopLevelItem(item));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

void CListCtrlEx::moveRowUp(int row) {
    if (row >= 1 && row < rowCount()) {
        moveRow(row, row - 1);
    }
}

void CListCtrlEx::moveRowDown(int row) {
    if (row >= 0 && row < rowCount() - 1) {
        moveRow(row, row + 1);
    }
}

void CListCtrlEx::moveRowToTop(int row) {
    if (row >= 0 && row < rowCount()) {
        moveRow(row, 0);
    }
}

void CListCtrlEx::moveRowToBottom(int row) {
    if (row >= 0 && row < rowCount()) {
        moveRow(row, rowCount() - 1);
    }
}

void CListCtrlEx::moveRow(int from, int to) {
    QTreeWidgetItem* current = currentItem();
    QTreeWidgetItem* item = takeTopLevelItem(from);
    insertTopLevelItem(to, item);
    item->setSelected(false);
    if (current == item) {
        selectionModel()->clearCurrentIndex();
    } else if (current != nullptr) {
        setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    }
    if (from != to) {
        emit rowMoved(from, to);
    }
}

void CListCtrlEx::sortOnColumn(int column) {
    if (column == sortColumn_) {
        sortAscending_ = !sortAscending_;
    } else {
        sortColumn_ = column;
        sortAscending_ = true;
    }

    setEnabled(false);  // the header goes with the list
    const int rows = rowCount();
    QList<QTreeWidgetItem*> items = invisibleRootItem()->takeChildren();
    if (rows > SORT_BANNER_ROWS) {
        sortBusy_ = true;
        viewport()->repaint();  // the banner on the emptied list
    }

    QList<int> order(rows);
    std::iota(order.begin(), order.end(), 0);
    // A stable sort: rows whose texts compare equal keep their order in both directions.
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        int byText = CompareTexts(items[a]->text(column), items[b]->text(column));
        return sortAscending_ ? byText < 0 : byText > 0;
    });
    QList<QTreeWidgetItem*> sorted;
    sorted.reserve(rows);
    for (int old : order) {
        sorted.append(items[old]);
    }
    addTopLevelItems(sorted);

    sortBusy_ = false;
    setEnabled(true);
    clearSelection();
    selectionModel()->clearCurrentIndex();
    viewport()->update();
    emit rowsSorted(order);
}

QString CListCtrlEx::sortBannerText() const {
    return sortAscending_ ? QStringLiteral("Ascending Sort...")
                          : QStringLiteral("Descending Sort...");
}

int CListCtrlEx::CompareTexts(const QString& a, const QString& b) {
    const QByteArray left = a.toUtf8();
    const QByteArray right = b.toUtf8();
    const qsizetype common = std::min(left.size(), right.size());
    for (qsizetype i = 0; i < common; ++i) {
        const unsigned char l = Folded(left[i]);
        const unsigned char r = Folded(right[i]);
        if (l != r) {
            return l < r ? -1 : 1;
        }
    }
    if (left.size() == right.size()) {
        return 0;
    }
    return left.size() < right.size() ? -1 : 1;
}

void CListCtrlEx::paintEvent(QPaintEvent* event) {
    QTreeWidget::paintEvent(event);
    if (!sortBusy_) {
        return;
    }
    QPainter painter(viewport());
    painter.setFont(bannerFont_);
    painter.setPen(Qt::black);
    const QFontMetrics metrics(bannerFont_);
    painter.drawText(BANNER_X, BANNER_Y + metrics.ascent(), sortBannerText());
}

void CListCtrlEx::focusInEvent(QFocusEvent* event) {
    const bool hadCurrent = currentIndex().isValid();
    QTreeWidget::focusInEvent(event);
    // Taking the focus, the view makes the first row current; nobody chose that row, and
    // leaving the list would then select it.
    if (!hadCurrent && currentIndex().isValid() && selectedItems().isEmpty()) {
        selectionModel()->clearCurrentIndex();
    }
}

void CListCtrlEx::focusOutEvent(QFocusEvent* event) {
    // Keep the current row visibly selected while another control has the focus.
    QTreeWidgetItem* current = currentItem();
    if (current != nullptr && selectedItems().size() < 2) {
        current->setSelected(true);
    }
    QTreeWidget::focusOutEvent(event);
}

void CListCtrlEx::mouseDoubleClickEvent(QMouseEvent* event) {
    const bool belowRows = !indexAt(event->position().toPoint()).isValid();
    QTreeWidget::mouseDoubleClickEvent(event);
    if (belowRows && event->button() == Qt::LeftButton) {
        emit emptySpaceDoubleClicked();
    }
}

QItemSelectionModel::SelectionFlags CListCtrlEx::selectionCommand(const QModelIndex& index,
                                                                  const QEvent* event) const {
    // A plain click on the empty space below the rows keeps the selection, so that a
    // double-click there still has the selected row to act on.
    if (!index.isValid() && event != nullptr && event->type() == QEvent::MouseButtonRelease &&
        static_cast<const QMouseEvent*>(event)->modifiers() == Qt::NoModifier) {
        return QItemSelectionModel::NoUpdate;
    }
    return QTreeWidget::selectionCommand(index, event);
}

bool CListCtrlEx::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip && showCutTextTip(event)) {
        return true;
    }
    return QTreeWidget::viewportEvent(event);
}

bool CListCtrlEx::showCutTextTip(QEvent* event) {
    auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = indexAt(help->pos());
    if (!index.isValid()) {
        QToolTip::hideText();
        return false;
    }
    const QRect cell = visualRect(index);
    if (const QString tip = index.data(Qt::ToolTipRole).toString(); !tip.isEmpty()) {
        QToolTip::showText(help->globalPos(), tip, viewport(), cell);
        return true;
    }
    const QString text = index.data(Qt::DisplayRole).toString();
    // The delegate leaves a margin on each side of the text; a text that needs more room
    // than the cell minus those margins is shown cut.
    const int margin = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1);
    if (QFontMetrics(font()).horizontalAdvance(text) + margin <= cell.width()) {
        QToolTip::hideText();
        return true;
    }
    QToolTip::showText(help->globalPos(), text, viewport(), cell);
    return true;
}

void CListCtrlEx::sizeColumnToContent(int column) {
    resizeColumnToContents(column);
    emit headerDividerDoubleClicked(column);
}

}  // namespace tarnwick
