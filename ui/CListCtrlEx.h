#pragma once

#include <QFont>
#include <QIcon>
#include <QList>
#include <QStringList>
#include <QTreeWidget>
#include <QVariant>

namespace tarnwick {

// A multi-column list in report view, used for the port list and the rules list. On top
// of QTreeWidget it sorts by a click on a column header (the direction toggles on
// repeated clicks of the same column, equal rows keep their order), moves rows up, down,
// to the top and to the bottom, draws black text on white cells, sizes a column to its
// content on a header divider double-click and shows a cell's full text as a tip when
// the cell cuts it.
//
// Each row carries one item-data value chosen by the owner (typically a pointer to the
// record the row shows). The list never looks into it and does not own what it refers
// to; moves and sorts keep it with its row.
class CListCtrlEx : public QTreeWidget {
    Q_OBJECT

public:
    // Sorts of more than this many rows show the banner while they run.
    static constexpr int SORT_BANNER_ROWS = 400;

    explicit CListCtrlEx(QWidget* parent = nullptr);

    // Appends a left-aligned column with its heading and width in pixels.
    void addColumn(const QString& heading, int width);

    int rowCount() const { return topLevelItemCount(); }

    // Inserts a row at `index` (clamped to 0..rowCount()) with one text per column and
    // the row's item data, if any; returns the row's index.
    int insertRow(int index, const QStringList& texts, const QVariant& itemData = {});
    void removeRow(int row);
    void removeAllRows() { clear(); }

    QString rowText(int row, int column) const;
    void setRowText(int row, int column, const QString& text);
    // An icon before a cell's text and the tip shown when the pointer rests on the cell
    // (in place of the cut-text tip); a null icon and an empty tip take them away. Moves
    // and sorts do not carry them: the owner sets them again.
    void setCellNote(int row, int column, const QIcon& icon, const QString& tip);
    QString cellTip(int row, int column) const;
    bool hasCellIcon(int row, int column) const;
    QVariant itemData(int row) const;
    void setItemData(int row, const QVariant& itemData);
    // The row whose item data equals `itemData`, or -1.
    int findRow(const QVariant& itemData) const;

    // The current row (the row last selected or focused), or -1 when there is none.
    int currentRow() const;
    // The row that commands for "the selected row" act on: the current row when it is
    // selected, else the topmost selected row, else -1. A current row that is not
    // selected is no selection.
    int selectedRow() const;
    // Makes `row` selected and current.
    void selectRow(int row);
    // The selected rows, top to bottom.
    QList<int> selectedRows() const;

    // Row moves; an index outside the move's range does nothing. The moved row keeps its
    // texts and item data and ends up not selected (and not current).
    void moveRowUp(int row);
    void moveRowDown(int row);
    void moveRowToTop(int row);
    void moveRowToBottom(int row);

    // What a click on the header of `column` does: the first sort of a column is
    // ascending, each further click on the same column turns the direction round. After
    // the sort no row is selected and there is no current row.
    void sortOnColumn(int column);
    int lastSortColumn() const { return sortColumn_; }  // -1 before the first sort
    bool lastSortAscending() const { return sortAscending_; }
    bool isSortBusy() const { return sortBusy_; }
    // "Ascending Sort..." or "Descending Sort...", for the direction of the last sort.
    QString sortBannerText() const;

    // The order of the list's sort: case-insensitive over the texts' UTF-8 bytes, with
    // A to Z folded to a to z and every other byte compared by its unsigned value; a text
    // that is a prefix of the other is the smaller. Negative, zero or positive.
    static int CompareTexts(const QString& a, const QString& b);

signals:
    // After every sort: row i now holds what was at row oldRows[i] before it.
    void rowsSorted(const QList<int>& oldRows);
    // After a move that changed the order.
    void rowMoved(int from, int to);
    // After the column left of a header divider was sized to its content.
    void headerDividerDoubleClicked(int column);
    // A double-click on the empty space below the rows.
    void emptySpaceDoubleClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;
    bool viewportEvent(QEvent* event) override;

private:
    void moveRow(int from, int to);
    void sizeColumnToContent(int column);
    bool showCutTextTip(QEvent* event);

    int sortColumn_ = -1;
    bool sortAscending_ = false;
    bool sortBusy_ = false;
    QFont bannerFont_;
};

}  // namespace tarnwick
