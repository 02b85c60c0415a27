// Placeholder entry until the main window lands.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("Orlenby");
    window.show();
    return app.exec();
}
