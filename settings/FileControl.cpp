// Placeholder until the settings store lands.
#include "FileControl.h"

namespace FileControl {
void SaveControlSetting(const QObject&, const QString&) {}
QString LoadControlSetting(const QObject&) {
    return {};
}
void SaveSetting(const QString&, const QString&, const QString&) {}
QString GetSetting(const QString&, const QString&, const QString& defaultValue) {
    return defaultValue;
}
QString BrowseForFolder(QWidget*) {
    return {};
}
void SetFolderChooser(FolderChooser*) {}
}  // namespace FileControl
