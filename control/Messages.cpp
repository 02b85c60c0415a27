// SPDX-License-Identifier: GPL-3.0-or-later
#include "Messages.h"

#include <cstdio>

namespace {
MessagePresenter* installedPresenter = nullptr;
}

void SetMessagePresenter(MessagePresenter* presenter) {
    installedPresenter = presenter;
}

void ShowMessage(const QString& text) {
    if (installedPresenter) {
        installedPresenter->show(text);
        return;
    }
    std::fprintf(stderr, "提示: %s\n", text.toLocal8Bit().constData());
}
