// SPDX-License-Identifier: GPL-3.0-or-later
// Records the texts of ShowMessage instead of opening a modal box.
#pragma once

#include <QStringList>

#include <functional>

#include "control/Messages.h"

class RecordedMessages : public MessagePresenter {
public:
    RecordedMessages() { SetMessagePresenter(this); }
    ~RecordedMessages() override { SetMessagePresenter(nullptr); }
    RecordedMessages(const RecordedMessages&) = delete;
    RecordedMessages& operator=(const RecordedMessages&) = delete;

    void show(const QString& text) override {
        texts << text;
        if (onShow)
            onShow(text);
    }

    QStringList texts;
    // Runs while the message would be open, as the user's actions during a modal box do.
    std::function<void(const QString&)> onShow;
};
