#include "ui/CPortStatusDlg.h"

#include <QBoxLayout>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>

#include <memory>

#include "ui/ByteText.h"
#include "ui/PortStatusText.h"

namespace tarnwick {

namespace {

// Shows `rows` in a form of labels, updating the texts in place when the rows are the
// same ones as before.
void ShowForm(QFormLayout& form, const QList<QPair<QString, QString>>& rows) {
    bool same = form.rowCount() == rows.size();
    for (int i = 0; same && i < rows.size(); ++i) {
        auto* label = qobject_cast<QLabel*>(form.itemAt(i, QFormLayout::LabelRole)->widget());
        same = label->text() == rows[i].first + ':';
    }
    if (!same) {
        while (form.rowCount() > 0) {
            form.removeRow(0);
        }
        for (const auto& [label, value] : rows) {
            auto* field = new QLabel(value);
            field->setTextInteractionFlags(Qt::TextSelectableByMouse);
            form.addRow(label + ':', field);
        }
        return;
    }
    for (int i = 0; i < rows.size(); ++i) {
        qobject_cast<QLabel*>(form.itemAt(i, QFormLayout::FieldRole)->widget())
            ->setText(rows[i].second);
    }
}

}  // namespace

CPortStatusDlg::CPortStatusDlg(CPortController& controller, const ForwardingPort& port,
                               QWidget* parent)
    : QDialog(parent),
      controller_(controller),
      port_(&port),
      settings_(new QFormLayout),
      stateIcon_(new QLabel(this)),
      state_(new QLabel(this)),
      counters_(new QTreeWidget(this)),
      log_(new QPlainTextEdit(this)) {
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    buildLayout();
    readPort();
    timer_.setInterval(REFRESH);
    connect(&timer_, &QTimer::timeout, this, &CPortStatusDlg::refresh);
    timer_.start();
}

void CPortStatusDlg::buildLayout() {
    auto* settingsBox = new QGroupBox(tr("Settings"), this);
    settingsBox->setLayout(settings_);

    auto* stateRow = new QHBoxLayout;
    stateRow->addWidget(stateIcon_);
    stateRow->addWidget(state_, 1);
    state_->setObjectName(QStringLiteral("state"));
    state_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    counters_->setObjectName(QStringLiteral("counters"));
    counters_->setHeaderLabels({tr("Counter"), tr("Value")});
    counters_->setRootIsDecorated(false);
    counters_->setSelectionMode(QAbstractItemView::NoSelection);
    counters_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    auto* countersBox = new QGroupBox(tr("Since the port started"), this);
    auto* countersColumn = new QVBoxLayout(countersBox);
    countersColumn->addLayout(stateRow);
    countersColumn->addWidget(counters_);

    log_->setObjectName(QStringLiteral("log"));
    log_->setReadOnly(true);
    log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    log_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    log_->setTabStopDistance(log_->fontMetrics().horizontalAdvance(QStringLiteral("00000000")));
    log_->setPlaceholderText(tr("No connection has ended since the window opened."));
    auto* logBox = new QGroupBox(tr("Last %1 connections, newest first").arg(LOG_LINES), this);
    auto* logColumn = new QVBoxLayout(logBox);
    logColumn->addWidget(log_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    auto* top = new QHBoxLayout;
    top->addWidget(settingsBox);
    top->addWidget(countersBox, 1);
    auto* page = new QVBoxLayout(this);
    page->addLayout(top);
    page->addWidget(logBox, 1);
    page->addWidget(buttons);
    resize(900, 560);
}

int CPortStatusDlg::row() const {
    const PortTable& ports = controller_.ports();
    for (std::size_t row = 0; row < ports.size(); ++row) {
        if (ports[row].get() == port_) {
            return static_cast<int>(row);
        }
    }
    return -1;
}

void CPortStatusDlg::refresh() {
    if (isVisible()) {
        readPort();  // once closed it reads nothing: its record may be gone
    }
}

void CPortStatusDlg::readPort() {
    const int at = row();
    if (at < 0) {
        close();  // the port is gone
        return;
    }
    const auto index = static_cast<std::size_t>(at);
    const bool running = controller_.isRunning(index);
    setWindowTitle(QString("Port Status - %1 %2")
                       .arg(port_->protocolLabel(), ToFieldText(port_->listenLabel())));
    ShowForm(*settings_, SettingRows(*port_));
    state_->setText(RunStateText(*port_, running));
    const QStyle::StandardPixmap icon = running ? QStyle::SP_DialogApplyButton
                                        : port_->openError != 0 ? QStyle::SP_MessageBoxWarning
                                                                : QStyle::SP_MediaStop;
    stateIcon_->setPixmap(style()->standardIcon(icon).pixmap(16, 16));

    std::shared_ptr<const PortCounters> counters = controller_.counters(index);
    showCounters(counters ? CounterRows(*port_, *counters) : QList<QPair<QString, QString>>{});

    controller_.drainConnectionLog();
    const QString lines = NewestFirstLines(controller_.recentConnections(index)).join('\n');
    if (log_->toPlainText() != lines) {
        log_->setPlainText(lines);
    }
}

void CPortStatusDlg::showCounters(const QList<QPair<QString, QString>>& rows) {
    while (counters_->topLevelItemCount() > rows.size()) {
        std::unique_ptr<QTreeWidgetItem>(
            counters_->takeTopLevelItem(counters_->topLevelItemCount() - 1));
    }
    for (int i = 0; i < rows.size(); ++i) {
        QTreeWidgetItem* item = counters_->topLevelItem(i);
        if (item == nullptr) {
            item = new QTreeWidgetItem(counters_);  // owned by the list
        }
        item->setText(0, rows[i].first);
        item->setText(1, rows[i].second);
    }
}

QString CPortStatusDlg::stateText() const {
    return state_->text();
}

QString CPortStatusDlg::valueOf(const QString& label) const {
    for (int i = 0; i < counters_->topLevelItemCount(); ++i) {
        if (counters_->topLevelItem(i)->text(0) == label) {
            return counters_->topLevelItem(i)->text(1);
        }
    }
    for (int i = 0; i < settings_->rowCount(); ++i) {
        auto* name = qobject_cast<QLabel*>(settings_->itemAt(i, QFormLayout::LabelRole)->widget());
        if (name->text() == label + ':') {
            return qobject_cast<QLabel*>(settings_->itemAt(i, QFormLayout::FieldRole)->widget())
                ->text();
        }
    }
    return {};
}

QStringList CPortStatusDlg::logLines() const {
    const QString text = log_->toPlainText();
    return text.isEmpty() ? QStringList{} : text.split('\n');
}

}  // namespace tarnwick
