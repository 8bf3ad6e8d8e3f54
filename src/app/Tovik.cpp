// Program entry. The run-mode decision and the main window come in with the application shell.
#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QLabel window("Tovik");
  window.setWindowTitle("Tovik");
  window.resize(480, 320);
  window.show();
  return app.exec();
}
