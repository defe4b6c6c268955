#include <QHeaderView>
#include <QSignalSpy>
#include <QtTest>

#include "ui/CListCtrlEx.h"

using tarnwick::CListCtrlEx;

namespace {

// A list of rows "name|tag" whose item data is the row's original index.
void Fill(CListCtrlEx& list, const QStringList& rows) {
    if (list.columnCount() == 0) {
        list.addColumn(QStringLiteral("Name"), 80);
        list.addColumn(QStringLiteral("Tag"), 80);
    }
    for (const QString& row : rows) {
        list.insertRow(list.rowCount(), row.split(QLatin1Char('|')), list.rowCount());
    }
}

// Column `column` of every row, top to bottom.
QStringList Column(const CListCtrlEx& list, int column) {
    QStringList texts;
    for (int row = 0; row < list.rowCount(); ++row) {
        texts.append(list.rowText(row, column));
    }
    return texts;
}

// Every row as "name|tag|data", top to bottom.
QStringList Rows(const CListCtrlEx& list) {
    QStringList rows;
    for (int row = 0; row < list.rowCount(); ++row) {
        rows.append(list.rowText(row, 0) + '|' + list.rowText(row, 1) + '|' +
                    QString::number(list.itemData(row).toInt()));
    }
    return rows;
}

void ClickHeader(CListCtrlEx& list, int column) {
    QHeaderView* header = list.header();
    QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
              header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
}

// Notes what the list looks like whenever it paints.
class PaintProbe : public CListCtrlEx {
public:
    bool sawBanner = false;
    bool bannerWhileEnabled = false;
    QString bannerText;

protected:
    void paintEvent(QPaintEvent* event) override {
        if (isSortBusy()) {
            sawBanner = true;
            bannerWhileEnabled = bannerWhileEnabled || isEnabled() || header()->isEnabled();
            bannerText = sortBannerText();
        }
        CListCtrlEx::paintEvent(event);
    }
};

}  // namespace

class TestCListCtrlEx : public QObject {
    Q_OBJECT

private slots:
    void compareTexts_data();
    void compareTexts();
    void headerClicksToggleTheDirection();
    void equalRowsKeepTheirOrder_data();
    void equalRowsKeepTheirOrder();
    void sortKeepsRowsWholeReportsTheOrderAndClearsTheSelection();
    void tinyListsSortQuietly();
    void bannerOnlyForLongSorts_data();
    void bannerOnlyForLongSorts();
    void moves_data();
    void moves();
    void dividerDoubleClickSizesTheColumn();
    void leavingTheListKeepsTheCurrentRowSelected();
};

void TestCListCtrlEx::compareTexts_data() {
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("sign");
    QTest::newRow("case folded") << "abc"
                                 << "ABC" << 0;
    QTest::newRow("underscore before letters") << "a_b"
                                               << "abc" << -1;
    QTest::newRow("underscore before capitals too") << "A_B"
                                                    << "abc" << -1;
    QTest::newRow("bytes, not numbers") << "10"
                                        << "9" << -1;
    QTest::newRow("prefix is smaller") << "ab"
                                       << "abc" << -1;
    QTest::newRow("empty is smallest") << ""
                                       << "a" << -1;
    QTest::newRow("bracket between cases") << "["
                                           << "A" << -1;
    QTest::newRow("high bytes after ASCII") << QString::fromUtf8("\xc3\xa9") << "z" << 1;
    QTest::newRow("only A to Z fold")
        << QString::fromUtf8("\xc3\x89") << QString::fromUtf8("\xc3\xa9") << -1;
}

void TestCListCtrlEx::compareTexts() {
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, sign);
    auto signOf = [](int value) { return (value > 0) - (value < 0); };
    QCOMPARE(signOf(CListCtrlEx::CompareTexts(a, b)), sign);
    QCOMPARE(signOf(CListCtrlEx::CompareTexts(b, a)), -sign);
}

void TestCListCtrlEx::headerClicksToggleTheDirection() {
    CListCtrlEx list;
    Fill(list, {"b|2", "c|1", "a|3"});
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    QCOMPARE(list.lastSortColumn(), -1);

    ClickHeader(list, 0);
    QCOMPARE(Column(list, 0), QStringList({"a", "b", "c"}));
    ClickHeader(list, 0);
    QCOMPARE(Column(list, 0), QStringList({"c", "b", "a"}));
    ClickHeader(list, 0);
    QCOMPARE(Column(list, 0), QStringList({"a", "b", "c"}));
    QVERIFY(list.lastSortAscending());

    ClickHeader(list, 1);  // another column starts ascending again
    QCOMPARE(list.lastSortColumn(), 1);
    QVERIFY(list.lastSortAscending());
    QCOMPARE(Column(list, 1), QStringList({"1", "2", "3"}));
    QVERIFY(!list.header()->isSortIndicatorShown());
}

void TestCListCtrlEx::equalRowsKeepTheirOrder_data() {
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QStringList>("ascending");
    QTest::addColumn<QStringList>("descending");
    QTest::newRow("ties by case") << QStringList{"b|1", "A|2", "B|3", "a|4", "b|5"}
                                  << QStringList{"2", "4", "1", "3", "5"}
                                  << QStringList{"1", "3", "5", "2", "4"};
    QTest::newRow("all equal") << QStringList{"x|1", "X|2", "x|3"} << QStringList{"1", "2", "3"}
                               << QStringList{"1", "2", "3"};
}

void TestCListCtrlEx::equalRowsKeepTheirOrder() {
    QFETCH(QStringList, rows);
    QFETCH(QStringList, ascending);
    QFETCH(QStringList, descending);
    CListCtrlEx list;
    Fill(list, rows);
    list.sortOnColumn(0);
    QCOMPARE(Column(list, 1), ascending);

    CListCtrlEx reversed;  // descending straight from the original order
    Fill(reversed, rows);
    reversed.sortOnColumn(0);
    reversed.sortOnColumn(0);
    QCOMPARE(Column(reversed, 1), descending);
}

void TestCListCtrlEx::sortKeepsRowsWholeReportsTheOrderAndClearsTheSelection() {
    CListCtrlEx list;
    Fill(list, {"10|x", "9|y", "_|z", "B|w"});
    list.selectRow(1);
    list.selectRow(2);
    QSignalSpy sorted(&list, &CListCtrlEx::rowsSorted);

    list.sortOnColumn(0);

    QCOMPARE(Rows(list), QStringList({"10|x|0", "9|y|1", "_|z|2", "B|w|3"}));
    list.sortOnColumn(0);
    QCOMPARE(Rows(list), QStringList({"B|w|3", "_|z|2", "9|y|1", "10|x|0"}));
    QCOMPARE(sorted.count(), 2);
    QCOMPARE(sorted.at(1).at(0).value<QList<int>>(), QList<int>({3, 2, 1, 0}));
    QVERIFY(list.selectedRows().isEmpty());
    QCOMPARE(list.currentRow(), -1);
    QVERIFY(list.isEnabled());
}

void TestCListCtrlEx::tinyListsSortQuietly() {
    for (int rows : {0, 1}) {
        CListCtrlEx list;
        Fill(list, QStringList(rows, QStringLiteral("only|1")));
        list.selectRow(0);
        QSignalSpy sorted(&list, &CListCtrlEx::rowsSorted);
        list.sortOnColumn(0);
        QCOMPARE(list.rowCount(), rows);
        QCOMPARE(sorted.count(), 1);
        QCOMPARE(sorted.at(0).at(0).value<QList<int>>().size(), rows);
        QCOMPARE(list.currentRow(), -1);
        QVERIFY(list.selectedRows().isEmpty());
    }
}

void TestCListCtrlEx::bannerOnlyForLongSorts_data() {
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<QString>("banner");
    QTest::newRow("400 rows") << 400 << 1 << QString();
    QTest::newRow("401 rows ascending") << 401 << 1 << "Ascending Sort...";
    QTest::newRow("401 rows descending") << 401 << 2 << "Descending Sort...";
}

void TestCListCtrlEx::bannerOnlyForLongSorts() {
    QFETCH(int, rows);
    QFETCH(int, clicks);
    QFETCH(QString, banner);
    PaintProbe list;
    QStringList texts;
    for (int row = 0; row < rows; ++row) {
        texts.append(QString::number(rows - row) + "|t");
    }
    Fill(list, texts);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    for (int click = 0; click < clicks; ++click) {
        list.sortOnColumn(0);
    }
    QCOMPARE(list.sawBanner, !banner.isEmpty());
    QCOMPARE(list.bannerText, banner);
    QVERIFY(!list.bannerWhileEnabled);
    QVERIFY(!list.isSortBusy());
}

void TestCListCtrlEx::moves_data() {
    QTest::addColumn<QString>("move");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("order");
    QTest::addColumn<bool>("inRange");  // out of its range a move does nothing at all
    QTest::newRow("up") << "up" << 2 << "acbd" << true;
    QTest::newRow("up, first row") << "up" << 0 << "abcd" << false;
    QTest::newRow("down") << "down" << 1 << "acbd" << true;
    QTest::newRow("down, last row") << "down" << 3 << "abcd" << false;
    QTest::newRow("top") << "top" << 2 << "cabd" << true;
    QTest::newRow("top, first row") << "top" << 0 << "abcd" << true;
    QTest::newRow("bottom") << "bottom" << 1 << "acdb" << true;
    QTest::newRow("bottom, last row") << "bottom" << 3 << "abcd" << true;
    QTest::newRow("out of range") << "top" << 4 << "abcd" << false;
    QTest::newRow("negative") << "bottom" << -1 << "abcd" << false;
}

void TestCListCtrlEx::moves() {
    QFETCH(QString, move);
    QFETCH(int, row);
    QFETCH(QString, order);
    QFETCH(bool, inRange);
    CListCtrlEx list;
    Fill(list, {"a|0", "b|1", "c|2", "d|3"});
    list.selectRow(std::clamp(row, 0, 3));

    if (move == "up")
        list.moveRowUp(row);
    if (move == "down")
        list.moveRowDown(row);
    if (move == "top")
        list.moveRowToTop(row);
    if (move == "bottom")
        list.moveRowToBottom(row);

    QCOMPARE(Column(list, 0).join(QString()), order);
    for (int at = 0; at < list.rowCount(); ++at) {  // texts and item data stay together
        QCOMPARE(list.rowText(at, 0), QString(QChar('a' + list.itemData(at).toInt())));
        QCOMPARE(list.rowText(at, 1), QString::number(list.itemData(at).toInt()));
    }
    if (inRange) {
        QVERIFY(list.selectedRows().isEmpty());  // the moved row comes back unselected
        QCOMPARE(list.currentRow(), -1);
    } else {
        QCOMPARE(list.currentRow(), std::clamp(row, 0, 3));
    }
}

void TestCListCtrlEx::dividerDoubleClickSizesTheColumn() {
    CListCtrlEx list;
    Fill(list, {"a rather long name for a narrow column|1"});
    list.setColumnWidth(0, 10);
    QSignalSpy divider(&list, &CListCtrlEx::headerDividerDoubleClicked);
    emit list.header()->sectionHandleDoubleClicked(0);
    QVERIFY(list.columnWidth(0) > 100);
    QCOMPARE(divider.count(), 1);
    QCOMPARE(divider.at(0).at(0).toInt(), 0);
}

void TestCListCtrlEx::leavingTheListKeepsTheCurrentRowSelected() {
    CListCtrlEx list;
    Fill(list, {"a|0", "b|1"});
    list.setCurrentItem(list.topLevelItem(1), 0, QItemSelectionModel::NoUpdate);
    QVERIFY(list.selectedRows().isEmpty());
    QFocusEvent focusOut(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(&list, &focusOut);
    QCOMPARE(list.selectedRows(), QList<int>({1}));
}

QTEST_MAIN(TestCListCtrlEx)
#include "tst_CListCtrlEx.moc"
