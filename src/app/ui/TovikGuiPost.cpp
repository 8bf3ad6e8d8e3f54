#include "app/ui/TovikGuiPost.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <mutex>
#include <utility>
#include <vector>

namespace tovik {

namespace {

std::mutex GLock;
QTimer* GWake = nullptr;  // lives on the GUI thread, a child of the application object
std::vector<std::function<void()>> GQueue;
bool GWakePosted = false;

void Drain() {
  std::vector<std::function<void()>> work;
  {
    std::lock_guard<std::mutex> l(GLock);
    work.swap(GQueue);
    GWakePosted = false;
  }
  for (auto& w : work) w();
}

}  // namespace

void InstallGuiPost() {
  std::lock_guard<std::mutex> l(GLock);
  if (GWake || !QCoreApplication::instance()) return;
  GWake = new QTimer(QCoreApplication::instance());
  GWake->setSingleShot(true);
  GWake->setInterval(0);
  QObject::connect(GWake, &QTimer::timeout, [] { Drain(); });
  QObject::connect(GWake, &QObject::destroyed, [] {
    std::lock_guard<std::mutex> g(GLock);
    GWake = nullptr;
    GQueue.clear();
    GWakePosted = false;
  });
}

void PostToGui(std::function<void()> AWork) {
  std::lock_guard<std::mutex> l(GLock);
  if (!GWake) return;
  GQueue.push_back(std::move(AWork));
  if (!GWakePosted) {
    GWakePosted = true;
    QMetaObject::invokeMethod(GWake, "start", Qt::QueuedConnection);
  }
}

}  // namespace tovik
