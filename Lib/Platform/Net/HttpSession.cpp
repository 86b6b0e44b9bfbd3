#include "Platform/Net/HttpSession.h"

#include <curl/curl.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "Platform/Process/Threads.h"

namespace quillbox::platform {

struct HttpSession::Impl {
  // The connection: one handle, used by one request at a time.
  std::mutex handleMutex;
  CURL* curl = nullptr;
  int socket = -1;  // the handle's connection's socket (see HttpClient::perform)
  bool trustedRead = false;
  std::string trusted;

  // The session's thread and the transfers waiting for it.
  std::mutex jobsMutex;
  std::condition_variable jobsChanged;
  std::deque<std::function<void()>> jobs;
  bool stopping = false;
  std::thread worker;

  void work() {
    std::unique_lock<std::mutex> lock(jobsMutex);
    for (;;) {
      jobsChanged.wait(lock, [this] { return stopping || !jobs.empty(); });
      if (stopping) return;
      std::function<void()> job = std::move(jobs.front());
      jobs.pop_front();
      lock.unlock();
      job();
      job = nullptr;  // what it holds goes here, not under the lock
      lock.lock();
    }
  }
};

HttpSession::HttpSession() : impl_(std::make_unique<Impl>()) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpSession::~HttpSession() {
  {
    std::lock_guard<std::mutex> lock(impl_->jobsMutex);
    impl_->stopping = true;
  }
  impl_->jobsChanged.notify_all();
  if (impl_->worker.joinable()) impl_->worker.join();
  impl_->jobs.clear();
  // Closes the connection (its socket through HttpClient's close callback).
  if (impl_->curl) curl_easy_cleanup(impl_->curl);
}

HttpResponse HttpSession::send(const HttpRequest& request,
                               const HttpClient::SendObserver& observer) {
  std::lock_guard<std::mutex> lock(impl_->handleMutex);
  if (!impl_->curl) impl_->curl = curl_easy_init();
  if (!impl_->curl) {
    HttpResponse response;
    response.error = "HttpClient: no curl handle";
    return response;
  }
  // Read once: the bundle is some hundred kilobytes of certificates.
  if (!impl_->trustedRead) {
    impl_->trusted = HttpClient::trustedCertificates();
    impl_->trustedRead = true;
  }
  return HttpClient::perform(impl_->curl, request, observer, impl_->trusted, &impl_->socket);
}

bool HttpSession::perform(std::function<void()> job) {
  std::lock_guard<std::mutex> lock(impl_->jobsMutex);
  if (!impl_->worker.joinable()) {
    try {
      impl_->worker = std::thread([impl = impl_.get()] {
        impl->work();
        Threads::releaseThreadState();  // a joined thread, not started through Threads
      });
    } catch (const std::system_error&) {
      return false;
    }
  }
  impl_->jobs.push_back(std::move(job));
  impl_->jobsChanged.notify_one();
  return true;
}

}  // namespace quillbox::platform
