#include "ui/CMainDlg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QStyle>
#include <QUrl>

#include "ui/ApplicationIcon.h"
#include "ui/ByteText.h"
#include "ui/CAddPortDlg.h"
#include "ui/CListCtrlEx.h"
#include "ui/CPortStatusDlg.h"
#include "ui/MessageBoxes.h"
#include "ui/PortStatusText.h"
#include "qtcore/PortJson.h"
#include "qtcore/Version.h"

namespace tarnwick {

namespace {

constexpr int RUNNING_COLUMN = 4;

QStringList RowTexts(const ForwardingPort& port, bool running) {
    return {port.protocolLabel(), QString::fromStdString(port.listenLabel()),
            ToFieldText(port.forwardLabel()),
            port.typeLabel(), running ? "Yes" : "No"};
}

QString Counted(std::size_t count, const char* one, const char* many) {
    return QString("%1 %2").arg(count).arg(count == 1 ? one : many);
}

std::size_t RuleCount(const PortTable& ports) {
    std::size_t rules = 0;
    for (const auto& port : ports) {
        rules += port->rules.size();
    }
    return rules;
}

bool OpenWithDesktop(const QString& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

}  // namespace

CMainDlg::CMainDlg(ConfigFile file, bool hiddenStart, QWidget* parent)
    : QDialog(parent),
      file_(std::move(file)),
      showAllowed_(!hiddenStart),
      list_(new CListCtrlEx(this)),
      pump_([this](const Message& message) { controller_.handleNotice(message); }),
      captureLog_(std::make_shared<CaptureLog>(file_.directory())),
      controller_(*this, pump_.id(), captureLog_),
      openFile_(OpenWithDesktop) {
    controller_.keepRecentConnections(CPortStatusDlg::LOG_LINES);
    logDrain_.setInterval(LOG_INTERVAL);
    connect(&logDrain_, &QTimer::timeout, this, [this] { controller_.drainConnectionLog(); });
    logDrain_.start();

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
            stopSelected();
            break;
        case ID_EDIT_SELECTED:
            editSelected();
            break;
        case ID_START_ALL:
            controller_.startAll();
            break;
        case ID_STOP_ALL:
            stopAll();
            break;
        case ID_DELETE_SELECTED:
            deleteSelected();
            break;
        case ID_PORT_STATUS:
            showPortStatus();
            break;
        case ID_OPEN_CAPTURE_LOG:
            openCaptureLog();
            break;
        case ID_IMPORT_PORTS:
            askImport();
            break;
        case ID_EXPORT_PORTS:
            askExport();
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
    closeStatusWindows(&controller_.port(static_cast<std::size_t>(row)));
    controller_.removePort(static_cast<std::size_t>(row));
    save();
}

// A failed save is said; the list stays as the user made it, and the next change saves
// the whole list again.
void CMainDlg::save() {
    const SaveResult saved = file_.save(controller_.ports());
    if (saved.saved) {
        return;
    }
    MessageBoxes::Show(
        this, {QString("The ports could not be saved to \"%1\":\n%2\n\nThis window keeps "
                       "the list as it is; the next change tries to save it again.")
                   .arg(QString::fromStdString(file_.path()), QString::fromStdString(saved.error)),
               "Save Failed", MessageIcon::Stop});
}

void CMainDlg::stopSelected() {
    const int row = selectedRow();
    controller_.stopPort(row);
    forgetOpenError(row);
}

void CMainDlg::stopAll() {
    controller_.stopAll();
    for (std::size_t row = 0; row < controller_.rowCount(); ++row) {
        forgetOpenError(static_cast<int>(row));
    }
}

// A port that could not open and is stopped by the user no longer says why.
void CMainDlg::forgetOpenError(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= controller_.rowCount()) {
        return;
    }
    ForwardingPort& port = controller_.port(static_cast<std::size_t>(row));
    if (!port.isStarted() && port.openError != 0) {
        port.openError = 0;
        showOpenError(row);
    }
}

// The warning icon and its reason beside "No", for as long as the record keeps the error.
void CMainDlg::showOpenError(int row) {
    const ForwardingPort& port = controller_.port(static_cast<std::size_t>(row));
    if (port.openError == 0) {
        list_->setCellNote(row, RUNNING_COLUMN, QIcon(), QString());
        return;
    }
    list_->setCellNote(row, RUNNING_COLUMN, style()->standardIcon(QStyle::SP_MessageBoxWarning),
                       OpenErrorText(port, port.openError));
}

void CMainDlg::showPortStatus() {
    const int row = selectedRow();
    if (row < 0) {
        return;
    }
    const ForwardingPort& port = controller_.port(static_cast<std::size_t>(row));
    for (CPortStatusDlg* open : statusWindows()) {
        if (open->port() == &port) {
            open->raise();
            open->activateWindow();
            return;
        }
    }
    auto* window = new CPortStatusDlg(controller_, port, this);  // owned by this window
    window->setAttribute(Qt::WA_DeleteOnClose);
    std::erase_if(statusWindows_, [](const auto& closed) { return closed.isNull(); });
    statusWindows_.emplace_back(window);
    window->show();
}

QList<CPortStatusDlg*> CMainDlg::statusWindows() const {
    QList<CPortStatusDlg*> open;
    for (const QPointer<CPortStatusDlg>& window : statusWindows_) {
        if (window != nullptr && window->isVisible()) {
            open << window;
        }
    }
    return open;
}

void CMainDlg::closeStatusWindows(const ForwardingPort* port) {
    for (QPointer<CPortStatusDlg>& window : statusWindows_) {
        if (window != nullptr && (port == nullptr || window->port() == port)) {
            window->close();  // it reads nothing more, and goes with the next turn
        }
    }
    std::erase_if(statusWindows_, [](const QPointer<CPortStatusDlg>& window) { return window.isNull(); });
}

void CMainDlg::openCaptureLog() {
    const QString path = QString::fromStdString(captureLog_->path());
    if (!QFileInfo::exists(path)) {
        MessageBoxes::Show(this, {QString("There is no capture log yet. \"%1\" is written when a "
                                          "port with \"Capture First Packet\" receives data.")
                                      .arg(path),
                                  "Open Capture Log", MessageIcon::Information});
        return;
    }
    if (!openFile_(path)) {
        MessageBoxes::Show(this, {QString("No viewer could open \"%1\".").arg(path),
                                  "Open Capture Log", MessageIcon::Stop});
    }
}

void CMainDlg::askImport() {
    const QString path = QFileDialog::getOpenFileName(this, "Import Ports", QDir::homePath(),
                                                      "JSON files (*.json);;All files (*)");
    if (!path.isEmpty()) {
        importPorts(path);
    }
}

void CMainDlg::askExport() {
    const QString path =
        QFileDialog::getSaveFileName(this, "Export Ports", QDir::home().filePath("ports.json"),
                                     "JSON files (*.json);;All files (*)");
    if (!path.isEmpty()) {
        exportPorts(path);
    }
}

bool CMainDlg::importPorts(const QString& path) {
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly)) {
        MessageBoxes::Show(this, {QString("Cannot read \"%1\": %2").arg(path, source.errorString()),
                                  "Import Ports", MessageIcon::Stop});
        return false;
    }
    PortJson::ImportResult imported = PortJson::Import(source.readAll());
    if (!imported.ok()) {
        MessageBoxes::Show(this, {QString("\"%1\" cannot be imported:\n%2\n\nThe list is left as "
                                          "it is.")
                                      .arg(path, imported.error),
                                  "Import Ports", MessageIcon::Stop});
        return false;
    }
    QString question =
        QString("Replace the %1 of the list by the %2 with %3 from \"%4\"? Running ports are "
                "stopped; the new ones are not started.")
            .arg(Counted(controller_.rowCount(), "port", "ports"),
                 Counted(imported.ports.size(), "port", "ports"),
                 Counted(RuleCount(imported.ports), "rule", "rules"), path);
    if (!imported.warnings.isEmpty()) {
        question += "\n\nWarnings:\n" + imported.warnings.join('\n');
    }
    if (!MessageBoxes::Ask(this, {question, "Import Ports", MessageIcon::Question})) {
        return false;
    }
    replacePorts(std::move(imported.ports));
    return true;
}

// Every running port is stopped and its record goes; the new ones show as loaded ports
// do, at the bottom and stopped, and are saved.
void CMainDlg::replacePorts(PortTable ports) {
    controller_.stopAll();  // the workers' late notices find no row
    closeStatusWindows(nullptr);
    list_->removeAllRows();
    controller_.takePorts();
    controller_.appendPorts(std::move(ports));
    for (std::size_t row = 0; row < controller_.rowCount(); ++row) {
        appendRow(controller_.port(row));
    }
    save();
}

bool CMainDlg::exportPorts(const QString& path) {
    const QByteArray json = PortJson::Export(controller_.ports());
    QSaveFile target(path);
    if (target.open(QIODevice::WriteOnly) && target.write(json) == json.size() && target.commit()) {
        return true;
    }
    MessageBoxes::Show(this, {QString("Cannot write \"%1\": %2").arg(path, target.errorString()),
                              "Export Ports", MessageIcon::Stop});
    return false;
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
        menu.addSeparator();
        add("Port Status...", ID_PORT_STATUS);
    }
    menu.addSeparator();
    add("Open Capture Log", ID_OPEN_CAPTURE_LOG);
    add("Import Ports...", ID_IMPORT_PORTS);
    add("Export Ports...", ID_EXPORT_PORTS);
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
    showOpenError(row);
}

// The list's moves and sorts carry texts only: the icons follow their records again.
void CMainDlg::followSort(const QList<int>& oldRows) {
    std::vector<std::size_t> order(oldRows.begin(), oldRows.end());
    controller_.reorderRows(order);
    for (int row = 0; row < list_->rowCount(); ++row) {
        showOpenError(row);
    }
}

// The controller has stored the error in the record (or cleared it) before it calls.
void CMainDlg::setRunning(std::size_t row, bool running, int /*error*/) {
    list_->setRowText(static_cast<int>(row), RUNNING_COLUMN, running ? "Yes" : "No");
    showOpenError(static_cast<int>(row));
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
    switch (event->key()) {
        case Qt::Key_Delete:
            OnCommand(ID_DELETE_SELECTED);
            return;
        case Qt::Key_Insert:
            OnCommand(ID_ADD_PORT);
            return;
        case Qt::Key_F2:
            OnCommand(ID_EDIT_SELECTED);
            return;
        default:
            break;
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
