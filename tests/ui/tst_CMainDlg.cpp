// The main window against a real port controller, real workers on loopback and a
// configuration directory of the test's own.
#include <QContextMenuEvent>
#include <QMenu>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ui/CAddPortDlg.h"
#include "ui/CListCtrlEx.h"
#include "ui/CMainDlg.h"
#include "ui/CPortStatusDlg.h"
#include "ui/SingleInstance.h"
#include "qtcore/PortJson.h"
#include "tests/ui/UiTestSupport.h"
#include "tests/support/LoopbackServers.h"

using namespace tarnwick;
using namespace tarnwick::test;
using tarnwick::testing::BoundPort;
using tarnwick::testing::FreePort;
using tarnwick::testing::ListenOnLoopback;

namespace {

std::unique_ptr<ForwardingPort> Port(int listenPort) {
    auto port = std::make_unique<ForwardingPort>();
    port->listenPort = listenPort;
    port->forwardIp = "127.0.0.1";
    port->forwardPort = 9;
    return port;
}

QStringList ListenColumn(const CListCtrlEx& list) {
    QStringList texts;
    for (int row = 0; row < list.rowCount(); ++row) texts << list.rowText(row, 1);
    return texts;
}

QStringList SavedListenPorts(const ConfigFile& file) {
    QStringList texts;
    for (const auto& port : file.load().ports) texts << QString::fromStdString(port->listenLabel());
    return texts;
}

int RowShowing(const CListCtrlEx& list, int listenPort) {
    return ListenColumn(list).indexOf(QString("localhost:%1").arg(listenPort));
}

// A configuration of ports as --import reads it; the second port has a rule that can
// never match, which is taken with a warning.
QString WriteJson(const QString& path, int listenPort) {
    QFile json(path);
    json.open(QIODevice::WriteOnly);
    json.write(QString(R"({"ports": [
        {"protocol": "tcp", "listenPort": %1, "forwardIp": "127.0.0.1", "forwardPort": 9},
        {"protocol": "udp", "listenPort": %2, "forwardIp": "127.0.0.1", "forwardPort": 9,
         "allowFrom": ["127.0.0.0/8"],
         "rules": [{"ruleName": "never", "searchType": "text", "searchData": "",
                    "forwardIp": "127.0.0.1", "forwardPort": 22}]}]})")
                   .arg(listenPort)
                   .arg(FreePort(SOCK_DGRAM))
                   .toUtf8());
    return path;
}

QStringList MenuTexts(CMainDlg& window) {
    QMenu menu;
    window.fillContextMenu(menu);
    QStringList texts;
    for (QAction* action : menu.actions()) texts << (action->isSeparator() ? "-" : action->text());
    return texts;
}

}  // namespace

class TestMainDlg : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ConfigFile> file;

    std::unique_ptr<CMainDlg> OpenWindow(int ports, bool hidden = false) {
        PortTable table;
        for (int i = 0; i < ports; ++i) table.push_back(Port(FreePort()));
        file->save(table);
        return std::make_unique<CMainDlg>(*file, hidden);
    }

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        file = std::make_unique<ConfigFile>(dir->path().toStdString());
    }

    void loadedPortsShowAtTheBottomAndDoNotStart() {
        auto window = OpenWindow(2);
        CListCtrlEx& list = *window->portList();
        QCOMPARE(list.rowCount(), 2);
        QCOMPARE(list.rowText(0, 0), QString("TCP"));
        QCOMPARE(list.rowText(0, 2), QString("127.0.0.1:9"));
        QCOMPARE(list.rowText(0, 3), QString("Standard"));
        QCOMPARE(list.rowText(1, 4), QString("No"));
        QCOMPARE(window->controller().port(0).threadId, 0u);
        QCOMPARE(window->windowTitle(), QString("Tarnwick   "));
    }

    void addPutsTheNewPortOnTopStartsAndSavesIt() {
        auto window = OpenWindow(1);
        const int listen = FreePort();
        auto seen = std::make_shared<bool>();
        OnNextModal<CAddPortDlg>([&](CAddPortDlg& dialog) {
            SetField(dialog, "listenPort", QString::number(listen));
            SetField(dialog, "forwardIp", "127.0.0.1");
            ClickOk(dialog);
        }, seen);
        window->OnCommand(ID_ADD_PORT);
        QVERIFY(*seen);
        CListCtrlEx& list = *window->portList();
        QCOMPARE(list.rowCount(), 2);
        QCOMPARE(list.rowText(0, 1), QString("localhost:%1").arg(listen));
        QTRY_COMPARE_WITH_TIMEOUT(list.rowText(0, 4), QString("Yes"), 10000);
        QCOMPARE(SavedListenPorts(*file), ListenColumn(list));
    }

    void editRestartsARunningPortAndLeavesAStoppedOneStopped() {
        auto window = OpenWindow(2);
        CListCtrlEx& list = *window->portList();
        window->controller().startPort(0);
        QTRY_COMPARE_WITH_TIMEOUT(list.rowText(0, 4), QString("Yes"), 10000);
        const ThreadId before = window->controller().port(0).threadId;

        auto seen = std::make_shared<bool>();
        OnNextModal<CAddPortDlg>([](CAddPortDlg& dialog) {
            SetField(dialog, "forwardPort", "10");
            ClickOk(dialog);
        }, seen);
        list.selectRow(0);
        window->OnCommand(ID_EDIT_SELECTED);
        QCOMPARE(list.rowText(0, 4), QString("No"));  // at once, until the new worker reports
        QCOMPARE(list.rowText(0, 2), QString("127.0.0.1:10"));
        QTRY_COMPARE_WITH_TIMEOUT(list.rowText(0, 4), QString("Yes"), 10000);
        QVERIFY(window->controller().port(0).threadId != before);
        QCOMPARE(file->load().ports[0]->forwardPort, 10);

        OnNextModal<CAddPortDlg>([](CAddPortDlg& dialog) { ClickOk(dialog); }, seen);
        list.selectRow(1);
        window->OnCommand(ID_EDIT_SELECTED);
        QVERIFY(*seen);
        QCOMPARE(window->controller().port(1).threadId, 0u);
        QCOMPARE(list.rowText(1, 4), QString("No"));
    }

    // The dialog has no fields for them: an edit must keep them exactly, in the window's
    // record and in the file.
    void editKeepsTheListenAddressAndAllowedClients() {
        PortTable table;
        table.push_back(Port(FreePort()));
        table[0]->listenAddress = "127.0.0.1";
        table[0]->allowFrom = {"127.0.0.2", "10.0.0.0/8"};
        table[0]->forwardIp = "::1";
        file->save(table);
        CMainDlg window(*file, false);
        CListCtrlEx& list = *window.portList();
        QCOMPARE(list.rowText(0, 1), QString("127.0.0.1:%1").arg(table[0]->listenPort));
        QCOMPARE(list.rowText(0, 2), QString("[::1]:9"));

        auto seen = std::make_shared<bool>();
        OnNextModal<CAddPortDlg>([](CAddPortDlg& dialog) {
            SetField(dialog, "forwardPort", "10");
            ClickOk(dialog);
        }, seen);
        list.selectRow(0);
        window.OnCommand(ID_EDIT_SELECTED);
        QVERIFY(*seen);
        const ForwardingPort& edited = window.controller().port(0);
        QCOMPARE(edited.forwardPort, 10);
        QCOMPARE(edited.listenAddress, std::string("127.0.0.1"));
        QVERIFY(edited.allowFrom == table[0]->allowFrom);
        QVERIFY(file->load().ports[0]->sameSettings(edited));
    }

    void deleteStopsTheWorkerAndSaves() {
        auto window = OpenWindow(2);
        CListCtrlEx& list = *window->portList();
        window->controller().startAll();
        QTRY_COMPARE_WITH_TIMEOUT(list.rowText(0, 4), QString("Yes"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(list.rowText(1, 4), QString("Yes"), 10000);
        ThreadHandle deleted = window->controller().port(1).threadHandle;
        const QString kept = list.rowText(0, 1);
        list.selectRow(1);
        window->OnCommand(ID_DELETE_SELECTED);
        QCOMPARE(list.rowCount(), 1);
        QCOMPARE(window->controller().rowCount(), 1u);
        QCOMPARE(SavedListenPorts(*file), QStringList{kept});
        QTRY_VERIFY_WITH_TIMEOUT(deleted.finished(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(window->controller().liveWorkers().size(), std::size_t{1}, 10000);
        QCOMPARE(list.rowText(0, 4), QString("Yes"));  // the late notice changed no row
    }

    void theTableAndTheFileFollowASort() {
        auto window = OpenWindow(3);
        CListCtrlEx& list = *window->portList();
        list.sortOnColumn(1);
        list.sortOnColumn(1);  // descending
        QStringList shown = ListenColumn(list);
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(QString::fromStdString(window->controller().port(row).listenLabel()), shown[row]);
        }
        auto seen = std::make_shared<bool>();
        OnNextModal<CAddPortDlg>([](CAddPortDlg& dialog) { ClickOk(dialog); }, seen);
        list.selectRow(2);
        window->OnCommand(ID_EDIT_SELECTED);
        QCOMPARE(SavedListenPorts(*file), shown);
    }

    void contextMenuDependsOnTheSelection() {
        auto window = OpenWindow(1);
        const QStringList files{"-", "Open Capture Log", "Import Ports...", "Export Ports...",
                                "-", "&About Brisel..."};
        QCOMPARE(MenuTexts(*window), QStringList{"Add New Forwarding Port"} + files);
        window->portList()->selectRow(0);
        QCOMPARE(MenuTexts(*window),
                 (QStringList{"Add New Forwarding Port", "Edit Selected", "Delete Selected", "-",
                              "Start Selected", "Stop Selected", "Start All", "Stop All", "-",
                              "Port Status..."} +
                  files));
    }

    void aRowThatTheListMadeCurrentIsNoSelection() {
        auto window = OpenWindow(3);
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        CListCtrlEx& list = *window->portList();
        list.setFocus(Qt::ActiveWindowFocusReason);
        QTRY_VERIFY(list.hasFocus());

        // A right-click on the empty space below the rows, nothing clicked before.
        const QPoint below(10, list.viewport()->height() - 5);
        QVERIFY(list.itemAt(below) == nullptr);
        QStringList shown;
        QTimer::singleShot(0, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                for (QAction* action : menu->actions()) {
                    shown << (action->isSeparator() ? "-" : action->text());
                }
                menu->close();
            }
        });
        QTest::mousePress(list.viewport(), Qt::RightButton, {}, below);
        QContextMenuEvent rightClick(QContextMenuEvent::Mouse, below, list.viewport()->mapToGlobal(below));
        QCoreApplication::sendEvent(list.viewport(), &rightClick);
        QCOMPARE(shown, (QStringList{"Add New Forwarding Port", "-", "Open Capture Log",
                                     "Import Ports...", "Export Ports...", "-",
                                     "&About Brisel..."}));
        QVERIFY(list.selectedRows().isEmpty());

        // However a row came to be current without being selected, commands leave it alone.
        list.setCurrentItem(list.topLevelItem(0), 0, QItemSelectionModel::NoUpdate);
        window->OnCommand(ID_DELETE_SELECTED);
        QCOMPARE(list.rowCount(), 3);
        QCOMPARE(SavedListenPorts(*file), ListenColumn(list));
    }

    void aDoubleClickBelowTheRowsEditsTheSelectedRow() {
        auto window = OpenWindow(3);
        window->show();
        CListCtrlEx& list = *window->portList();
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                          list.visualItemRect(list.topLevelItem(1)).center());
        QCOMPARE(list.selectedRow(), 1);
        const QPoint below(10, list.viewport()->height() - 5);
        QVERIFY(list.itemAt(below) == nullptr);

        QString edited;
        auto seen = std::make_shared<bool>();
        OnNextModal<CAddPortDlg>([&](CAddPortDlg& dialog) { edited = Field(dialog, "listenPort")->text(); },
                                 seen);
        QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, below);
        QVERIFY(*seen);
        QCOMPARE("localhost:" + edited, list.rowText(1, 1));
    }

    void hiddenStartStaysHiddenUntilRestoredWhichCancelsTheDelayedStart() {
        auto window = OpenWindow(1, true);
        QVERIFY(window->isDelayedStartPending());
        window->show();
        QVERIFY(!window->isVisible());
        window->OnCommand(ID_TRAY_RESTORE);
        QVERIFY(!window->isDelayedStartPending());
        QVERIFY(window->isVisible());
        QCOMPARE(window->controller().port(0).threadId, 0u);
    }

    void closingHidesOrMinimisesButKeepsPortsRunning() {
        auto window = OpenWindow(1);
        window->show();
        window->controller().startPort(0);
        QTRY_COMPARE_WITH_TIMEOUT(window->portList()->rowText(0, 4), QString("Yes"), 10000);
        window->close();
        QVERIFY(!window->isVisible() || window->isMinimized());
        QVERIFY(window->controller().port(0).threadId != 0);
    }

    // A port that cannot listen keeps "No" and says why beside it, through sorts, until it
    // runs or the user stops it; its status window says the same.
    void aPortThatCannotListenSaysWhy() {
        const int busy = ListenOnLoopback();
        const int busyPort = BoundPort(busy);
        PortTable table;
        table.push_back(Port(busyPort));
        table.push_back(Port(FreePort()));
        file->save(table);
        CMainDlg window(*file, false);
        CListCtrlEx& list = *window.portList();
        window.controller().startAll();
        QTRY_COMPARE_WITH_TIMEOUT(list.cellTip(0, 4), QString("Address already in use"), 10000);
        QCOMPARE(list.rowText(0, 4), QString("No"));
        QVERIFY(list.hasCellIcon(0, 4));
        QTRY_COMPARE_WITH_TIMEOUT(list.rowText(1, 4), QString("Yes"), 10000);
        QVERIFY(!list.hasCellIcon(1, 4));

        list.selectRow(0);
        window.OnCommand(ID_PORT_STATUS);
        QCOMPARE(window.statusWindows().size(), 1);
        QCOMPARE(window.statusWindows()[0]->stateText(),
                 QString("Not running: Address already in use"));

        list.sortOnColumn(1);
        list.sortOnColumn(1);
        const int failed = RowShowing(list, busyPort);
        QVERIFY(list.hasCellIcon(failed, 4));
        QVERIFY(!list.hasCellIcon(1 - failed, 4));

        list.selectRow(failed);
        window.OnCommand(ID_STOP_SELECTED);
        QVERIFY(!list.hasCellIcon(failed, 4));
        QVERIFY(list.cellTip(failed, 4).isEmpty());
        window.OnCommand(ID_START_SELECTED);
        QTRY_VERIFY_WITH_TIMEOUT(list.hasCellIcon(failed, 4), 10000);
        ::close(busy);
        window.OnCommand(ID_START_SELECTED);
        QTRY_COMPARE_WITH_TIMEOUT(list.rowText(failed, 4), QString("Yes"), 10000);
        QVERIFY(!list.hasCellIcon(failed, 4));

        window.OnCommand(ID_DELETE_SELECTED);  // its status window goes with it
        QTRY_VERIFY(window.statusWindows().isEmpty());
    }

    // Nobody, root included, can write a file where a directory of that name stands.
    void aFailedSaveIsSaidAndTheNextChangeSavesTheWholeList() {
        QVERIFY(QDir(dir->path()).mkdir("Brisel.cfg"));
        MessageRecorder recorder;
        CMainDlg window(*file, false);
        CListCtrlEx& list = *window.portList();
        auto add = [&] {
            auto seen = std::make_shared<bool>();
            OnNextModal<CAddPortDlg>([](CAddPortDlg& dialog) {
                SetField(dialog, "listenPort", QString::number(FreePort()));
                ClickOk(dialog);
            }, seen);
            window.OnCommand(ID_ADD_PORT);
            return *seen;
        };
        QVERIFY(add());
        QCOMPARE(list.rowCount(), 1);
        QCOMPARE(recorder.messages.size(), 1);
        QCOMPARE(recorder.messages[0].caption, QString("Save Failed"));
        QVERIFY(recorder.messages[0].icon == MessageIcon::Stop);
        QVERIFY2(recorder.messages[0].text.contains(QString::fromStdString(file->path())),
                 qPrintable(recorder.messages[0].text));

        QVERIFY(QDir(dir->path()).rmdir("Brisel.cfg"));
        QVERIFY(add());
        QCOMPARE(recorder.messages.size(), 1);
        QCOMPARE(SavedListenPorts(*file), ListenColumn(list));
        QCOMPARE(list.rowCount(), 2);
    }

    void importChecksLikeTheCommandAndReplacesOnlyWhenConfirmed() {
        auto window = OpenWindow(1);
        CListCtrlEx& list = *window->portList();
        window->controller().startPort(0);
        QTRY_COMPARE_WITH_TIMEOUT(list.rowText(0, 4), QString("Yes"), 10000);
        const ThreadHandle running = window->controller().port(0).threadHandle;
        const QStringList before = ListenColumn(list);
        MessageRecorder recorder;

        const int badPort = 0;
        QVERIFY(!window->importPorts(WriteJson(dir->filePath("bad.json"), badPort)));
        QCOMPARE(recorder.messages.size(), 1);
        QVERIFY(recorder.messages[0].icon == MessageIcon::Stop);
        QVERIFY2(recorder.messages[0].text.contains(
                     "ports[0].listenPort: Invalid Listen Port Entered"),
                 qPrintable(recorder.messages[0].text));

        const int listen = FreePort();
        const QString good = WriteJson(dir->filePath("good.json"), listen);
        MessageBoxes::SetAnswer(false);
        QVERIFY(!window->importPorts(good));
        QCOMPARE(recorder.messages.size(), 2);
        QVERIFY(recorder.messages[1].icon == MessageIcon::Question);
        QVERIFY2(recorder.messages[1].text.contains("2 ports with 1 rule"),
                 qPrintable(recorder.messages[1].text));
        QVERIFY(recorder.messages[1].text.contains("ports[1].rules[0].searchData"));
        QCOMPARE(ListenColumn(list), before);
        QCOMPARE(list.rowText(0, 4), QString("Yes"));

        MessageBoxes::SetAnswer(true);
        QVERIFY(window->importPorts(good));
        QCOMPARE(list.rowCount(), 2);
        QCOMPARE(list.rowText(0, 1), QString("localhost:%1").arg(listen));
        QCOMPARE(list.rowText(1, 3), QString("Smart"));
        QCOMPARE(list.rowText(0, 4), QString("No"));
        QCOMPARE(SavedListenPorts(*file), ListenColumn(list));
        QCOMPARE(window->controller().port(1).allowFrom, std::vector<std::string>{"127.0.0.0/8"});
        QTRY_VERIFY_WITH_TIMEOUT(running.finished(), 10000);
        QTRY_VERIFY(window->controller().liveWorkers().empty());
        QCOMPARE(list.rowText(0, 4), QString("No"));  // the old worker's end changed no row

        // What the window exports imports back alike.
        QVERIFY(window->exportPorts(dir->filePath("out.json")));
        QFile exported(dir->filePath("out.json"));
        QVERIFY(exported.open(QIODevice::ReadOnly));
        PortJson::ImportResult again = PortJson::Import(exported.readAll());
        QVERIFY(again.ok());
        QCOMPARE(again.ports.size(), std::size_t{2});
        QVERIFY(again.ports[1]->sameSettings(window->controller().port(1)));
        QVERIFY(!window->exportPorts(dir->filePath("missing/out.json")));
        QCOMPARE(recorder.messages.last().caption, QString("Export Ports"));
    }

    void openCaptureLogSaysWhenThereIsNone() {
        auto window = OpenWindow(0);
        MessageRecorder recorder;
        QStringList opened;
        window->setFileOpener([&](const QString& path) {
            opened << path;
            return true;
        });
        window->OnCommand(ID_OPEN_CAPTURE_LOG);
        QCOMPARE(recorder.messages.size(), 1);
        QVERIFY(recorder.messages[0].icon == MessageIcon::Information);
        QVERIFY(opened.isEmpty());
        QFile log(dir->filePath("Brisel.log"));
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.close();
        window->OnCommand(ID_OPEN_CAPTURE_LOG);
        QCOMPARE(opened, QStringList{QFileInfo(log).absoluteFilePath()});
    }

    void deleteInsertAndF2ActAsTheirCommands() {
        auto window = OpenWindow(2);
        CListCtrlEx& list = *window->portList();
        list.selectRow(1);
        QString edited;
        auto seen = std::make_shared<bool>();
        OnNextModal<CAddPortDlg>([&](CAddPortDlg& dialog) { edited = Field(dialog, "listenPort")->text(); },
                                 seen);
        QTest::keyClick(&list, Qt::Key_F2);
        QVERIFY(*seen);
        QCOMPARE("localhost:" + edited, list.rowText(1, 1));

        const QString kept = list.rowText(0, 1);
        QTest::keyClick(&list, Qt::Key_Delete);
        QCOMPARE(ListenColumn(list), QStringList{kept});
        QCOMPARE(SavedListenPorts(*file), QStringList{kept});

        OnNextModal<CAddPortDlg>([](CAddPortDlg& dialog) { QVERIFY(!dialog.isEditMode()); }, seen);
        QTest::keyClick(&list, Qt::Key_Insert);
        QVERIFY(*seen);
    }

    void aSecondInstanceAsksTheFirstToRestore() {
        SingleInstance first(dir->path());
        QVERIFY(first.becomePrimary());
        SingleInstance second(dir->path());
        QVERIFY(!second.becomePrimary());
        SingleInstance elsewhere(dir->path() + "/other");  // another configuration
        QVERIFY(elsewhere.becomePrimary());

        QSignalSpy received(&first, &SingleInstance::commandReceived);
        QVERIFY(second.sendToPrimary(ID_TRAY_RESTORE, std::chrono::seconds(5)));
        QVERIFY(received.wait(5000));
        QCOMPARE(received.first().first().toInt(), ID_TRAY_RESTORE);
    }
};

QTEST_MAIN(TestMainDlg)
#include "tst_CMainDlg.moc"
