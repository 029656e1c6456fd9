#include "AdLinkThread.h"

#include <QSqlDatabase>

namespace {

// The database client library initialises itself, and the TLS library under it, when its first
// driver object is made, keeping state for the thread that did it. Made here, on the window's
// thread, that state lasts as long as the program and is released with the library at exit.
void InitialiseClientLibrary() {
  const QString name = QStringLiteral("lombkalauz-client-library");
  QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
  QSqlDatabase::removeDatabase(name);
}

}  // namespace

TAdLinkThread::TAdLinkThread(TAdConfig config) : context_(std::make_unique<QObject>()) {
  InitialiseClientLibrary();
  thread_.setObjectName(QStringLiteral("AdServerLink"));
  context_->moveToThread(&thread_);
  thread_.start();
  Post([this, config = std::move(config)] { link_ = std::make_unique<TAdServerLink>(config); });
}

TAdLinkThread::~TAdLinkThread() {
  // The link's database connection belongs to its thread: it is ended there.
  QMetaObject::invokeMethod(context_.get(), [this] { link_.reset(); }, Qt::BlockingQueuedConnection);
  thread_.quit();
  thread_.wait();
}

void TAdLinkThread::Reconfigure(TAdConfig config) {
  RunOnLinkThread([this, &config] {
    link_.reset();
    link_ = std::make_unique<TAdServerLink>(std::move(config));
  });
}

void TAdLinkThread::Post(std::function<void()> work) {
  QMetaObject::invokeMethod(context_.get(), std::move(work), Qt::QueuedConnection);
}

void TAdLinkThread::RunOnLinkThread(std::function<void()> job) {
  // Done is set on this thread, by the answer the link's thread posts to the waiting loop: the
  // loop is gone only after that answer has run.
  bool done = false;
  QEventLoop loop;
  Post([&] {
    job();
    QMetaObject::invokeMethod(
        &loop,
        [&] {
          done = true;
          loop.quit();
        },
        Qt::QueuedConnection);
  });
  ++waiting_;
  // A loop may also be told to end from outside (the application quitting): wait on.
  while (!done) loop.exec();
  --waiting_;
}
