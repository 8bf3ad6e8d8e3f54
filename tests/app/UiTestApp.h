// One QApplication for a test program, created on first use. Widget tests run on the offscreen
// platform unless the caller chose another one.
#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>

namespace tovik::test {

inline QApplication* EnsureApp() {
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "tovik-test";
  static char* argv[] = {name, nullptr};
  return new QApplication(argc, argv);
}

// The widget rendered at one device pixel per logical pixel.
inline QImage Shot(QWidget& w) { return w.grab().toImage().convertToFormat(QImage::Format_RGB32); }

inline QRgb Rgb(const QImage& img, int x, int y) { return img.pixel(x, y) & 0xFFFFFF; }

}  // namespace tovik::test
