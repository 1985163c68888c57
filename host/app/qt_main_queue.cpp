#include "host/app/qt_main_queue.hpp"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>

namespace tarvel::app {

namespace {

int milliseconds(base::SerialQueue::Duration duration) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
    return static_cast<int>(std::clamp<std::int64_t>(ms, 0, std::numeric_limits<int>::max()));
}

}  // namespace

QtMainQueue::QtMainQueue(std::string label) : label_(std::move(label)), context_(new QObject) {}

QtMainQueue::~QtMainQueue() {
    context_->deleteLater();
}

void QtMainQueue::async(Task task) {
    QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::sync(Task task) {
    if (isCurrent()) {
        task();
        return;
    }
    QMetaObject::invokeMethod(context_, std::move(task), Qt::BlockingQueuedConnection);
}

bool QtMainQueue::isCurrent() const {
    return QThread::currentThread() == context_->thread();
}

base::TimerHandle QtMainQueue::schedule(Duration delay, Task task) {
    return repeating(delay, Duration::zero(), std::move(task));
}

base::TimerHandle QtMainQueue::repeating(Duration first, Duration interval, Task task) {
    // The timer lives on the GUI thread; the handle only flips a flag, so it
    // may be cancelled or dropped from any thread.
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    const bool once = interval == Duration::zero();
    QMetaObject::invokeMethod(
        context_,
        [context = context_, cancelled, once, first = milliseconds(first),
         every = milliseconds(interval), task = std::move(task)] {
            auto* timer = new QTimer(context);
            timer->setTimerType(Qt::PreciseTimer);
            timer->setSingleShot(true);
            QObject::connect(timer, &QTimer::timeout, timer, [=] {
                if (cancelled->load()) {
                    timer->deleteLater();
                    return;
                }
                if (once) {
                    timer->deleteLater();
                } else {
                    timer->setSingleShot(false);
                    timer->start(every);
                }
                task();
            });
            timer->start(first);
        },
        Qt::QueuedConnection);
    return base::TimerHandle([cancelled] { cancelled->store(true); });
}

}  // namespace tarvel::app
