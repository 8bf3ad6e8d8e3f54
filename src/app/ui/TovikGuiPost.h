// PostToGui: hands work from any thread to the GUI thread.
//
// The work goes through a queue under a mutex of ours, and the GUI thread is woken by a queued call by
// name. Qt's own hand-over of a functor (QMetaObject::invokeMethod with a lambda) would build the
// functor on the calling thread and run it on the GUI thread, synchronised only by Qt's internal
// locking, which ThreadSanitizer cannot follow.
//
// Threads: InstallGuiPost on the GUI thread, before the first PostToGui from another thread (the
// windows that start workers call it when they are made). PostToGui from any thread; the work runs
// on the GUI thread, in order, and is dropped once the application object is gone.
#pragma once

#include <functional>

namespace tovik {

void InstallGuiPost();
void PostToGui(std::function<void()> AWork);

}  // namespace tovik
