// The folder chooser on top of Qt's directory dialog: modal, owned by the given window, and
// opened in the user's home folder.
#include "FolderDialog.h"

#include <QDir>
#include <QFileDialog>

namespace FileControl {
namespace {

class DirectoryDialogChooser : public FolderChooser {
public:
    QString chooseFolder(QWidget* owner, const QString& title) override {
        return QFileDialog::getExistingDirectory(owner, title, QDir::homePath(),
                                                 QFileDialog::ShowDirsOnly);
    }
};

}  // namespace

FolderChooser& PlatformFolderChooser() {
    static DirectoryDialogChooser chooser;
    return chooser;
}

}  // namespace FileControl
