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
    m_message = AddPanel(QStringLiteral("panel1"), kMessageMinimumWidth);
    addWidget(m_message, 1);
    m_time = AddPanel(QStringLiteral("panel2"), kClockPanelWidth);
    m_time->setFixedWidth(kClockPanelWidth);
    addPermanentWidget(m_time);
    m_date = AddPanel(QStringLiteral("panel3"), kClockPanelWidth);
    m_date->setFixedWidth(kClockPanelWidth);
    addPermanentWidget(m_date);

    m_clockTimer.setSingleShot(true);
    m_clockTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_clockTimer, &QTimer::timeout, this, &StatusPanels::RefreshClock);
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
            return m_message->text();
        case 2:
            return m_time->text();
        case 3:
            return m_date->text();
        default:
            return {};
    }
}

void StatusPanels::setMessage(const QString& text) {
    m_message->setText(text);
    emit messageChanged(text);
}

void StatusPanels::setMessageToolTip(const QString& text) {
    m_message->setToolTip(text);
}

QString StatusPanels::messageToolTip() const {
    return m_message->toolTip();
}

QString StatusPanels::TimeText(const QDateTime& moment) {
    return moment.time().toString(QStringLiteral("H:mm"));
}

QString StatusPanels::DateText(const QDateTime& moment) {
    return QLocale::system().toString(moment.date(), QLocale::ShortFormat);
}

void StatusPanels::RefreshClock() {
    const QDateTime now = QDateTime::currentDateTime();
    m_time->setText(TimeText(now));
    m_date->setText(DateText(now));
    // Wake just after the next minute begins; the date can only change then too.
    const int intoMinute = now.time().second() * 1000 + now.time().msec();
    m_clockTimer.start(60000 - intoMinute + 20);
}

void StatusPanels::showRunProgress(std::uint64_t filesExamined, std::uint64_t filesCopied) {
    if (!m_progress) {
        m_progress = new QLabel(this);
        m_progress->setObjectName(QStringLiteral("runProgress"));
        m_progress->setFrameShape(QFrame::Panel);
        m_progress->setFrameShadow(QFrame::Sunken);
        m_progress->setMaximumHeight(kPanelHeight);
        insertPermanentWidget(1, m_progress);  // after the message line
        m_progress->show();
    }
    // Narrow enough to leave the message line its room: copied / examined.
    m_progress->setText(QStringLiteral("复制 %1/%2").arg(filesCopied).arg(filesExamined));
    m_progress->setToolTip(
        QStringLiteral("已检查 %1 个文件, 已复制 %2 个").arg(filesExamined).arg(filesCopied));
}

void StatusPanels::hideRunProgress() {
    if (!m_progress)
        return;
    // Deleting the field takes it out of the bar. (QStatusBar::removeWidget of Qt 6.4 hides the
    // field's right-hand neighbour instead of the field.)
    delete m_progress;
    m_progress = nullptr;
}
