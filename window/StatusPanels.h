// SPDX-License-Identifier: GPL-3.0-or-later
// The window's status bar: the program's message line, the current time and the current date.
//
// Panel 1 holds whatever the program writes there; panels 2 and 3 keep themselves current.
// While a backup runs, a small extra field between them shows how far it has got.
#pragma once

#include <QDateTime>
#include <QStatusBar>
#include <QTimer>

#include <cstdint>

class QLabel;

class StatusPanels : public QStatusBar {
    Q_OBJECT
public:
    static constexpr int kClockPanelWidth = 96;  // 1440 twips
    static constexpr int kMessageMinimumWidth = 96;

    explicit StatusPanels(QWidget* parent = nullptr);

    // Panels counted from 1: 1 message, 2 time, 3 date.
    QString panelText(int panel) const;
    void setMessage(const QString& text);
    QString message() const { return panelText(1); }
    // The message line's tool tip: what the last run could not copy; empty shows none.
    void setMessageToolTip(const QString& text);
    QString messageToolTip() const;

    // Shows the progress field of a run (created on first use), or removes it.
    void showRunProgress(std::uint64_t filesExamined, std::uint64_t filesCopied);
    void hideRunProgress();

    static QString TimeText(const QDateTime& moment);
    static QString DateText(const QDateTime& moment);

signals:
    void messageChanged(const QString& text);

private:
    QLabel* AddPanel(const QString& name, int minimumWidth);
    void RefreshClock();

    QLabel* message_;
    QLabel* time_;
    QLabel* date_;
    QLabel* progress_ = nullptr;
    QTimer clockTimer_;
};
