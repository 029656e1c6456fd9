// Runs the ad server link (TAdServerLink) on a thread of its own, so that its probes and connects
// never stop the window: Run hands a job to that thread and keeps the window's event loop turning
// until the result is back, then returns it on the window's thread. The jobs run one after
// another, in the order they were handed over.
#pragma once

#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "AdConfig.h"
#include "AdServer.h"

class TAdLinkThread {
 public:
  explicit TAdLinkThread(TAdConfig config);
  TAdLinkThread(const TAdLinkThread&) = delete;
  TAdLinkThread& operator=(const TAdLinkThread&) = delete;
  // Waits for the job under way, then ends the link and the thread.
  ~TAdLinkThread();

  // Replaces the link with one over Config (the old one is closed).
  void Reconfigure(TAdConfig config);

  // True while Run waits for a result.
  bool Waiting() const { return waiting_ > 0; }

  // Runs Job on the link's thread and returns its result; the caller's event loop keeps turning
  // meanwhile, so events (timers, input) are handled inside this call. An exception of the job
  // is raised again here.
  template <typename Job>
  auto Run(Job job) -> decltype(job(std::declval<TAdServerLink&>()));

 private:
  void RunOnLinkThread(std::function<void()> job);
  void Post(std::function<void()> work);

  QThread thread_;
  std::unique_ptr<QObject> context_;  // lives on thread_
  std::unique_ptr<TAdServerLink> link_;  // created, used and destroyed on thread_
  int waiting_ = 0;
};

template <typename Job>
auto TAdLinkThread::Run(Job job) -> decltype(job(std::declval<TAdServerLink&>())) {
  using Result = decltype(job(std::declval<TAdServerLink&>()));
  std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
  std::exception_ptr error;
  RunOnLinkThread([&] {
    try {
      if constexpr (std::is_void_v<Result>) {
        job(*link_);
        result = true;
      } else {
        result = job(*link_);
      }
    } catch (...) {
      error = std::current_exception();
    }
  });
  if (error) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<Result>) return std::move(*result);
}
