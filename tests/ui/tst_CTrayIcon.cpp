#include <QAction>
#include <QLoggingCategory>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QWidget>
#include <QtTest>

#include "ui/ApplicationIcon.h"
#include "ui/CTrayIcon.h"

using namespace tarnwick;

namespace {

// The desktop, as the test wants it: with or without a notification area.
class TestTray : public CTrayIcon {
public:
    explicit TestTray(bool available) : available_(available) {}

protected:
    bool isTrayAvailable() const override { return available_; }

private:
    bool available_;
};

}  // namespace

class TestCTrayIcon : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void applicationIconRenders();
    void tooltipIsCutTo127Characters_data();
    void tooltipIsCutTo127Characters();
    void menuRestoresOrExits();
    void onlyADoubleClickRestores();
    void hidesIntoTheTrayOnlyWhenThereIsOne();
    void restoreBringsBackAHiddenOrMinimisedWindow();
    void withoutWindowOrIcon();
};

void TestCTrayIcon::initTestCase() {
    // Without a display, Qt's tray backend still tries to follow the X11 tray window and
    // warns once per icon that the signal for it does not exist here.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qobject.connect.warning=false"));
}

void TestCTrayIcon::applicationIconRenders() {
    const QIcon icon = ApplicationIcon();
    QVERIFY(!icon.isNull());
    const QImage image = icon.pixmap(32, 32).toImage();
    QCOMPARE(image.size(), QSize(32, 32));
    QVERIFY(qAlpha(image.pixel(16, 16)) > 0);  // drawn, not an empty pixmap
}

void TestCTrayIcon::tooltipIsCutTo127Characters_data() {
    QTest::addColumn<QString>("tooltip");
    QTest::addColumn<QString>("shown");
    QTest::newRow("short") << "Tarnwick"
                           << "Tarnwick";
    QTest::newRow("128") << QString(128, 'x') << QString(127, 'x');
    const QString pair = QString::fromUtf8("\xf0\x9f\x94\x80");  // one character, two units
    QTest::newRow("no half character") << QString(126, 'x') + pair << QString(126, 'x');
}

void TestCTrayIcon::tooltipIsCutTo127Characters() {
    QFETCH(QString, tooltip);
    QFETCH(QString, shown);
    QWidget window;
    TestTray tray(true);
    QVERIFY(tray.CreateTrayIcon(&window, ApplicationIcon(), tooltip));
    QCOMPARE(tray.toolTip(), shown);
}

void TestCTrayIcon::menuRestoresOrExits() {
    QWidget window;
    TestTray tray(true);
    QVERIFY(tray.CreateTrayIcon(&window, ApplicationIcon(), "Tarnwick"));
    QMenu* menu = tray.menu();
    QCOMPARE(tray.trayIcon()->contextMenu(), menu);
    QCOMPARE(menu->actions().size(), 2);
    QCOMPARE(menu->actions()[0]->text(), QStringLiteral("Restore"));
    QCOMPARE(menu->actions()[1]->text(), QStringLiteral("Exit"));
    QCOMPARE(menu->defaultAction(), menu->actions()[0]);

    QSignalSpy commands(&tray, &CTrayIcon::commandRequested);
    tray.restoreAction()->trigger();
    tray.exitAction()->trigger();
    QCOMPARE(commands.count(), 2);
    QCOMPARE(commands[0][0].toInt(), ID_TRAY_RESTORE);
    QCOMPARE(commands[1][0].toInt(), ID_TRAY_EXIT);
}

void TestCTrayIcon::onlyADoubleClickRestores() {
    QWidget window;
    TestTray tray(true);
    QVERIFY(tray.CreateTrayIcon(&window, ApplicationIcon(), "Tarnwick"));
    QSignalSpy commands(&tray, &CTrayIcon::commandRequested);
    QSystemTrayIcon* icon = tray.trayIcon();
    for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::Context,
                        QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown}) {
        emit icon->activated(reason);
    }
    QCOMPARE(commands.count(), 0);
    emit icon->activated(QSystemTrayIcon::DoubleClick);
    QCOMPARE(commands.count(), 1);
    QCOMPARE(commands[0][0].toInt(), ID_TRAY_RESTORE);
}

void TestCTrayIcon::hidesIntoTheTrayOnlyWhenThereIsOne() {
    for (bool available : {true, false}) {
        QWidget window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        TestTray tray(available);
        QVERIFY(tray.CreateTrayIcon(&window, ApplicationIcon(), "Tarnwick"));
        QCOMPARE(tray.canHideToTray(), available);

        tray.MinimiseToTray();
        QCOMPARE(window.isVisible(), !available);  // without a tray it stays reachable
        QCOMPARE(window.isMinimized(), !available);

        tray.RemoveIcon();  // an icon that is gone cannot bring the window back
        QVERIFY(!tray.canHideToTray());
    }
}

void TestCTrayIcon::restoreBringsBackAHiddenOrMinimisedWindow() {
    QWidget window;
    TestTray tray(true);
    QVERIFY(tray.CreateTrayIcon(&window, ApplicationIcon(), "Tarnwick"));
    window.show();
    tray.MinimiseToTray();
    QVERIFY(!window.isVisible());
    tray.RestoreFromTray();
    QVERIFY(window.isVisible());
    QVERIFY(!window.isMinimized());

    window.showMinimized();
    tray.MinimiseToTray();  // minimised, then hidden
    tray.RestoreFromTray();
    QVERIFY(window.isVisible());
    QVERIFY(!window.isMinimized());
}

void TestCTrayIcon::withoutWindowOrIcon() {
    TestTray tray(true);
    QVERIFY(!tray.CreateTrayIcon(nullptr, QIcon(), "Tarnwick"));
    QVERIFY(!tray.canHideToTray());
    QVERIFY(tray.CreateTrayIcon(nullptr, ApplicationIcon(), "Tarnwick"));
    tray.MinimiseToTray();  // no window: nothing to do, and no crash
    tray.RestoreFromTray();
    QCOMPARE(tray.toolTip(), QStringLiteral("Tarnwick"));
}

QTEST_MAIN(TestCTrayIcon)
#include "tst_CTrayIcon.moc"
