// The real message box behind ShowMessage: modal, information icon, title "提示", OK.
#pragma once

#include "Messages.h"

class MessageBoxPresenter : public MessagePresenter {
public:
    void show(const QString& text) override;
};
