// SPDX-License-Identifier: GPL-3.0-or-later
// Every message the program shows goes through ShowMessage: a modal box with an OK button, the
// information icon and the title "提示". The window installs the real box; tests install a
// recorder, so no test ever blocks on a modal dialog.
#pragma once

#include <QString>

class MessagePresenter {
public:
    virtual ~MessagePresenter() = default;
    // Shows `text` and returns when the user has acknowledged it. May run a nested event loop.
    virtual void show(const QString& text) = 0;
};

// Installs the presenter used by ShowMessage (not owned); null restores the default, which
// writes the text to standard error.
void SetMessagePresenter(MessagePresenter* presenter);
void ShowMessage(const QString& text);
