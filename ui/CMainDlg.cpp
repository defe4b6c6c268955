#include "ui/CMainDlg.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include "ui/ApplicationIcon.h"
#include "ui/ByteText.h"
#include "ui/CAddPortDlg.h"
#include "ui/CListCtrlEx.h"
#include "qtcore/Version.h"

namespace tarnwick {

namespace {

constexpr int RUNNING_COLUMN = 4;

QStringList RowTexts(const ForwardingPort& port, bool running) {
    return {port.protocolLabel(), QString::fromStdString(port.listenLabel()),
            ToFieldText(port.forwardLabel()),
            port.typeLabel(), running ? "Yes" : "No"};
}

}  // namespace

CMainDlg::CMainDlg(ConfigFile file, bool hiddenStart, QWidget* parent)
    : QDialog(parent),
      file_(std::move(file)),
      showAllowed_(!hiddenStart),
      list_(new CListCtrlEx(this)),
      pump_([this](const Message& message) { controller_.handleNotice(message); }),
      controller_(*this, pump_.id(), std::make_shared<CaptureLog>(file_.directory())) {
    setWindowTitle("Tarnwick   ");
    setWindowIcon(ApplicationIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    // The widths are the classic ones, widened where this desktop's font needs more room
    // for a column's heading or its longest fixed text.
    const QFontMetrics metrics(list_->font());
    auto fit = [&](int width, std::initializer_list<const char*> texts) {
        for (const char* text : texts) {
            width = std::max(width, metrics.horizontalAdvance(text) + 16);
        }
        return width;
    };
    list_->addColumn("Protocol", fit(60, {"Protocol"}));
    list_->addColumn("Listen On", fit(120, {"Listen On", "localhost:65535"}));
    list_->addColumn("Forward To", 120);
    list_->addColumn("Type", fit(60, {"Standard", "Smart"}));
    list_->addColumn("Running", fit(60, {"Running"}));
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this, &CMainDlg::openContextMenu);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { OnCommand(ID_EDIT_SELECTED); });
    connect(list_, &CListCtrlEx::emptySpaceDoubleClicked, this,
            [this] { OnCommand(ID_EDIT_SELECTED); });
    connect(list_, &CListCtrlEx::rowsSorted, this, &CMainDlg::followSort);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->addWidget(list_);
    int listWidth = 0;
    for (int column = 0; column < list_->columnCount(); ++column) {
        listWidth += list_->columnWidth(column);
    }
    setFixedSize(listWidth + 2 * 10 + 2 * list_->frameWidth() + 24, 300);

    tray_.CreateTrayIcon(this, ApplicationIcon(), "Tarnwick");
    connect(&tray_, &CTrayIcon::commandRequested, this, &CMainDlg::OnCommand);

    LoadResult loaded = file_.load();
    controller_.appendPorts(std::move(loaded.ports));
    for (std::size_t row = 0; row < controller_.rowCount(); ++row) {
        appendRow(controller_.port(row));
    }

    delayedStart_.setSingleShot(true);
    delayedStart_.setInterval(DELAYED_START);
    connect(&delayedStart_, &QTimer::timeout, this, [this] { controller_.startAll(); });
    if (hiddenStart) {
        delayedStart_.start();
    }
}

CMainDlg::~CMainDlg() {
    tray_.RemoveIcon();
    controller_.shutdown();
}

void CMainDlg::OnCommand(int command) {
    switch (command) {
        case ID_ABOUT:
            showAbout();
            break;
        case ID_TRAY_RESTORE:
            restore();
            break;
        case ID_TRAY_EXIT:
            QCoreApplication::exit(0);
            break;
        case ID_ADD_PORT:
            addPort();
            break;
        case ID_START_SELECTED:
            controller_.startPort(selectedRow());
            break;
        case ID_STOP_SELECTED:
            controller_.stopPort(selectedRow());
            break;
        case ID_EDIT_SELECTED:
            editSelected();
            break;
        case ID_START_ALL:
            controller_.startAll();
            break;
        case ID_STOP_ALL:
            controller_.stopAll();
            break;
        case ID_DELETE_SELECTED:
            deleteSelected();
            break;
        default:
            break;
    }
}

int CMainDlg::selectedRow() const { return list_->selectedRow(); }

void CMainDlg::addPort() {
    CAddPortDlg dialog(nullptr, this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    controller_.insertPort(dialog.takeResult());
    list_->insertRow(0, RowTexts(controller_.port(0), false));
    controller_.startPort(0);
    save();
}

void CMainDlg::editSelected() {
    const int row = selectedRow();
    if (row < 0) {
        return;
    }
    ForwardingPort& record = controller_.port(static_cast<std::size_t>(row));
    CAddPortDlg dialog(&record, this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    record.takeSettings(std::move(*dialog.takeResult()));
    showRow(row, record);
    save();
    controller_.requestRestart(row);  // a stopped port stays stopped
}

void CMainDlg::deleteSelected() {
    const int row = selectedRow();
    if (row < 0) {
        return;
    }
    controller_.stopPort(row);  // the worker's late notice finds no row
    list_->removeRow(row);
    controller_.removePort(static_cast<std::size_t>(row));
    save();
}

void CMainDlg::save() {
    // Failures are not shown: the list stays as the user made it, and the next change
    // tries again.
    file_.save(controller_.ports());
}

void CMainDlg::restore() {
    showAllowed_ = true;
    delayedStart_.stop();
    tray_.RestoreFromTray();
}

void CMainDlg::showAbout() {
    QMessageBox about(this);
    about.setWindowTitle("About...");
    about.setIconPixmap(ApplicationIcon().pixmap(32, 32));
    about.setText(VERSION_TEXT);
    about.addButton("&OK", QMessageBox::AcceptRole);
    about.exec();
}

void CMainDlg::fillContextMenu(QMenu& menu) {
    auto add = [&](const QString& text, int command) {
        connect(menu.addAction(text), &QAction::triggered, this, [this, command] { OnCommand(command); });
    };
    add("Add New Forwarding Port", ID_ADD_PORT);
    if (selectedRow() >= 0) {
        add("Edit Selected", ID_EDIT_SELECTED);
        add("Delete Selected", ID_DELETE_SELECTED);
        menu.addSeparator();
        add("Start Selected", ID_START_SELECTED);
        add("Stop Selected", ID_STOP_SELECTED);
        add("Start All", ID_START_ALL);
        add("Stop All", ID_STOP_ALL);
    }
    // Linux desktops give an application no window menu: the About entry lives here.
    menu.addSeparator();
    QAction* about = menu.addAction("&About Brisel...");
    about->setShortcut(QKeySequence::HelpContents);
    connect(about, &QAction::triggered, this, [this] { OnCommand(ID_ABOUT); });
}

void CMainDlg::openContextMenu(const QPoint& position) {
    const int row = selectedRow();
    if (row >= 0) {
        list_->selectRow(row);
    }
    QMenu menu(this);
    fillContextMenu(menu);
    menu.exec(list_->viewport()->mapToGlobal(position));
}

void CMainDlg::appendRow(const ForwardingPort& port) {
    list_->insertRow(list_->rowCount(), RowTexts(port, false));
}

void CMainDlg::showRow(int row, const ForwardingPort& port) {
    const QStringList texts = RowTexts(port, false);
    for (int column = 0; column < texts.size(); ++column) {
        list_->setRowText(row, column, texts[column]);
    }
}

void CMainDlg::followSort(const QList<int>& oldRows) {
    std::vector<std::size_t> order(oldRows.begin(), oldRows.end());
    controller_.reorderRows(order);
}

void CMainDlg::setRunning(std::size_t row, bool running, int /*error*/) {
    list_->setRowText(static_cast<int>(row), RUNNING_COLUMN, running ? "Yes" : "No");
}

void CMainDlg::closeEvent(QCloseEvent* event) {
    // Closing hides into the tray (or minimises where there is none); ports keep running.
    event->ignore();
    tray_.MinimiseToTray();
}

void CMainDlg::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::HelpContents)) {
        OnCommand(ID_ABOUT);
        return;
    }
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return ||
        event->key() == Qt::Key_Enter) {
        tray_.MinimiseToTray();  // Enter and Esc behave like the close box
        return;
    }
    QDialog::keyPressEvent(event);
}

void CMainDlg::setVisible(bool visible) {
    // After a hidden start the window stays invisible until it is restored.
    QDialog::setVisible(visible && showAllowed_);
}

}  // namespace tarnwick
