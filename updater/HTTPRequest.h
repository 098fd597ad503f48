// One blocking HTTP or HTTPS GET request over libcurl.
//
// The server's certificate is verified (peer and host name) against the
// system's CA store; when the environment variable CURL_CA_BUNDLE names a CA
// bundle file, that bundle replaces the system store. Every request is
// bounded: a connect time-out and a low-speed limit abort a server that does
// not answer.
#pragma once

#include <stdint.h>

#include <map>
#include <string>

// The answer of one GET: the URL that was requested, the HTTP status and the
// body. Returned by value; owns its text.
class HTTPResponse {
 public:
  explicit HTTPResponse(const char* request);

  // Appends length bytes to the body.
  void process(const char* data, unsigned long length);
  void set_status(long code) { status = code; }
  long get_status() const { return static_cast<long>(status); }
  const char* get_request() const { return request.c_str(); }
  // The body as zero-terminated text; callers may change it in place.
  char* get_response() { return &response[0]; }
  // The body's length in bytes (it may hold zero bytes of its own).
  size_t get_length() const { return response.size(); }

 private:
  std::string request;
  int64_t status = 0;
  std::string response;
};

class HTTPRequest {
 public:
  // Time limits of every request. A request gives up when the connection is
  // not made within connectTimeoutSeconds, or when fewer than
  // lowSpeedBytesPerSecond arrive per second over lowSpeedTimeSeconds.
  struct Limits {
    long connectTimeoutSeconds = 15;
    long lowSpeedBytesPerSecond = 1;
    long lowSpeedTimeSeconds = 30;
  };

  // Returns the URL: url, then, when query is not empty, "?" and
  // key "=" value "&" for every entry in key order. Nothing is encoded.
  static std::string BuildURL(const char* url, const std::map<std::string, std::string>& query);

  // Performs the GET of BuildURL(url, query) and returns the answer, whatever
  // its HTTP status. Throws std::runtime_error with libcurl's message on any
  // transport failure (name resolution, connection, TLS, time-out, a body cut
  // short); an unverifiable server certificate gets a message saying so.
  static HTTPResponse GET(const char* url, std::map<std::string, std::string>& query);

  // Process-wide limits for all later requests (tests shorten them).
  static void SetLimits(const Limits& limits);
  static Limits GetLimits();
};
