#include "Platform/Net/HttpSession.h"

#include <curl/curl.h>

#include <mutex>

namespace quillbox::platform {

namespace {

// One lock per kind of shared data, as libcurl asks for them.
struct ShareLocks {
  std::mutex locks[CURL_LOCK_DATA_LAST];
};

void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
  static_cast<ShareLocks*>(user)->locks[data].lock();
}

void unlock(CURL*, curl_lock_data data, void* user) {
  static_cast<ShareLocks*>(user)->locks[data].unlock();
}

}  // namespace

struct HttpSession::Impl {
  CURLSH* share = nullptr;
  ShareLocks locks;
};

HttpSession::HttpSession() : impl_(std::make_unique<Impl>()) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  impl_->share = curl_share_init();
  if (!impl_->share) return;
  curl_share_setopt(impl_->share, CURLSHOPT_LOCKFUNC, lock);
  curl_share_setopt(impl_->share, CURLSHOPT_UNLOCKFUNC, unlock);
  curl_share_setopt(impl_->share, CURLSHOPT_USERDATA, &impl_->locks);
  curl_share_setopt(impl_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  curl_share_setopt(impl_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  curl_share_setopt(impl_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

HttpSession::~HttpSession() {
  if (impl_->share) curl_share_cleanup(impl_->share);
}

void* HttpSession::shareHandle() const {
  return impl_->share;
}

}  // namespace quillbox::platform
