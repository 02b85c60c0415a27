// SPDX-License-Identifier: GPL-3.0-or-later
#include "StatusPanels.h"

#include <QLabel>
#include <QLocale>

namespace {
// The bar is 18 pixels high and keeps 3 of them above its fields.
constexpr int kPanelHeight = 15;
}  // namespace

StatusPanels::StatusPanels(QWidget* parent) : QStatusBar(parent) {
    setSizeGripEnabled(false);
    setContentsMargins(0, 0, 0, 0);
    QFont panelFont = font();
    panelFont.setPointSizeF(8);
    setFont(panelFont);
    message_ = AddPanel(QStringLiteral("panel1"), kMessageMinimumWidth);
    addWidget(message_, 1);
    time_ = AddPanel(QStringLiteral("panel2"), kClockPanelWidth);
    time_->setFixedWidth(kClockPanelWidth);
    addPermanentWidget(time_);
    date_ = AddPanel(QStringLiteral("panel3"), kClockPanelWidth);
    date_->setFixedWidth(kClockPanelWidth);
    addPermanentWidget(date_);

    clockTimer_.setSingleShot(true);
    clockTimer_.setTimerType(Qt::PreciseTimer);
    connect(&clockTimer_, &QTimer::timeout, this, &StatusPanels::RefreshClock);
    RefreshClock();
}

QLabel* StatusPanels::AddPanel(const QString& name, int minimumWidth) {
    auto* panel = new QLabel(this);
    panel->setObjectName(name);
    panel->setMinimumWidth(minimumWidth);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setIndent(2);
    panel->setMaximumHeight(kPanelHeight);
    return panel;
}

QString StatusPanels::panelText(int panel) const {
    switch (panel) {
        case 1:
            return message_->text();
        case 2:
            return time_->text();
        case 3:
            return date_->text();
        default:
            return {};
    }
}

void StatusPanels::setMessage(const QString& text) {
    message_->setText(text);
    emit messageChanged(text);
}

void StatusPanels::setMessageToolTip(const QString& text) {
    message_->setToolTip(text);
}

QString StatusPanels::messageToolTip() const {
    return message_->toolTip();
}

QString StatusPanels::TimeText(const QDateTime& moment) {
    return moment.time().toString(QStringLiteral("H:mm"));
}

QString StatusPanels::DateText(const QDateTime& moment) {
    return QLocale::system().toString(moment.date(), QLocale::ShortFormat);
}

void StatusPanels::RefreshClock() {
    const QDateTime now = QDateTime::currentDateTime();
    time_->setText(TimeText(now));
    date_->setText(DateText(now));
    // Wake just after the next minute begins; the date can only change then too.
    const int intoMinute = now.time().second() * 1000 + now.time().msec();
    clockTimer_.start(60000 - intoMinute + 20);
}

void StatusPanels::showRunProgress(std::uint64_t filesExamined, std::uint64_t filesCopied) {
    if (!progress_) {
        progress_ = new QLabel(this);
        progress_->setObjectName(QStringLiteral("runProgress"));
        progress_->setFrameShape(QFrame::Panel);
        progress_->setFrameShadow(QFrame::Sunken);
        progress_->setMaximumHeight(kPanelHeight);
        insertPermanentWidget(1, progress_);  // after the message line
        progress_->show();
    }
    // Narrow enough to leave the message line its room: copied / examined.
    progress_->setText(QStringLiteral("复制 %1/%2").arg(filesCopied).arg(filesExamined));
    progress_->setToolTip(
        QStringLiteral("已检查 %1 个文件, 已复制 %2 个").arg(filesExamined).arg(filesCopied));
}

void StatusPanels::hideRunProgress() {
    if (!progress_)
        return;
    // Deleting the field takes it out of the bar. (QStatusBar::removeWidget of Qt 6.4 hides the
    // field's right-hand neighbour instead of the field.)
    delete progress_;
    progress_ = nullptr;
}
