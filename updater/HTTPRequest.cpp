#include "updater/HTTPRequest.h"

#include <curl/curl.h>
#include <stdint.h>
#include <stdlib.h>

#include <memory>
#include <mutex>
#include <stdexcept>

#include "app/Log.h"

namespace {

std::mutex gLimitsMutex;
HTTPRequest::Limits gLimits;

// libcurl's global set-up is not safe to race with a first request on
// another thread, so it is done once, here, before any handle is made.
void _global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Receives one piece of the body; returning the full count keeps the
// transfer going.
size_t _rcv_data(char* data, size_t size, size_t count, void* context) {
  size_t total = size * count;
  int shown = total < 100 ? static_cast<int>(total) : 100;
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%.*s]\n", static_cast<int>(size),
           static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(context)), shown,
           data);
  static_cast<HTTPResponse*>(context)->process(data, total);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(total));
  return total;
}

// Owns one easy handle for the length of a request.
struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

// The text of the exception for a failed request: libcurl's message, with a
// plain statement of what to do for the certificate failures a user can fix.
std::string _failure_text(CURLcode code, const char* caBundle, const char* detail) {
  std::string text = curl_easy_strerror(code);
  if (code == CURLE_PEER_FAILED_VERIFICATION) {
    return "The server's certificate could not be verified (" + std::string(detail[0] != '\0' ? detail : text) +
           "). Use a server with a trusted certificate, or name the CA bundle that "
           "trusts it in the environment variable CURL_CA_BUNDLE.";
  }
  if (code == CURLE_SSL_CACERT_BADFILE && caBundle != nullptr) {
    return text + " (CA bundle named by CURL_CA_BUNDLE: " + caBundle + ")";
  }
  return text;
}

}  // namespace

HTTPResponse::HTTPResponse(const char* request) : request(request != nullptr ? request : "") {}

void HTTPResponse::process(const char* data, unsigned long length) {
  if (length > 0) response.append(data, length);
}

std::string HTTPRequest::BuildURL(const char* url, const std::map<std::string, std::string>& query) {
  std::string result = url != nullptr ? url : "";
  if (!query.empty()) {
    result += "?";
    for (const auto& pair : query) {
      result += pair.first;
      result += "=";
      result += pair.second;
      result += "&";
    }
  }
  return result;
}

void HTTPRequest::SetLimits(const Limits& limits) {
  std::lock_guard<std::mutex> lock(gLimitsMutex);
  gLimits = limits;
}

HTTPRequest::Limits HTTPRequest::GetLimits() {
  std::lock_guard<std::mutex> lock(gLimitsMutex);
  return gLimits;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& query) {
  std::string complete = BuildURL(url, query);
  HTTPResponse response(complete.c_str());

  // Declared before the handle, which may write into it until cleaned up.
  char detail[CURL_ERROR_SIZE] = "";

  _global_init();
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) throw std::runtime_error("Could not create curl instance");
  CURL* handle = curl.get();

  const Limits limits = GetLimits();
  const char* caBundle = getenv("CURL_CA_BUNDLE");
  if (caBundle != nullptr && caBundle[0] == '\0') caBundle = nullptr;

  CURLcode code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, _rcv_data);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_URL, complete.c_str());
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, detail);
  // Only the two web schemes: a URL given by the user must not read local
  // files or speak other protocols.
#if LIBCURL_VERSION_NUM >= 0x075500
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  // The server hands out firmware: its certificate chain and name are checked.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYSTATUS, 0L);
  if (code == CURLE_OK && caBundle != nullptr) {
    // The named bundle replaces the system store.
    code = curl_easy_setopt(handle, CURLOPT_CAINFO, caBundle);
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_CAPATH, static_cast<char*>(nullptr));
  }
  // Requests run on worker threads too: no signals for time-outs.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeSeconds);

  if (code == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", complete.c_str());
    code = curl_easy_perform(handle);
  }
  if (code == CURLE_OK) {
    long status = 0;
    code = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (code == CURLE_OK) response.set_status(status);
  }
  if (code != CURLE_OK) {
    if (detail[0] != '\0') Log::log(DEBUG_ServerComm, "GET(%s) failed: %s\n", complete.c_str(), detail);
    throw std::runtime_error(_failure_text(code, caBundle, detail));
  }
  return response;
}
