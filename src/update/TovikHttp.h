// The HTTP client that update checks, downloads and the connection test's web step go through.
//
// One interface, one backend per platform (Linux: platform/linux/Http_curl.cpp, libcurl), picked by
// the composition root and handed down; tests pass fakes or the real backend against a server on
// 127.0.0.1. The rules every backend keeps:
// - only http:// and https:// addresses, and redirects only to http:// or https:// (at most 5);
// - the connection must be up within ConnectTimeoutMs; after that the answer may take as long as it
//   needs as long as it keeps moving: a transfer that stays below 1 byte a second for StallTimeoutMs
//   is stopped ("response" time-out as a stall time-out, never a total time that would end every
//   large download on a slow line);
// - the body reaches AOnData only for a final answer of status 200; any other status ends the
//   transfer at once with that status and no body;
// - a body announced (Content-Length) larger than MaxBytes is refused before it starts, and the
//   transfer stops as soon as more than MaxBytes have arrived (hrTooLarge) or AOnData returns false
//   (hrStopped).
//
// Threads: a client may be used by several threads at a time; each call is blocking and runs on the
// caller's thread (update checks and the connection test call it on their workers).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tovik {

struct THttpOptions {
  std::string UserAgent = "Tovik";
  std::int64_t ConnectTimeoutMs = 15'000;
  std::int64_t StallTimeoutMs = 60'000;  // below 1 byte/s for this long ends the transfer
  std::int64_t MaxBytes = 64 * 1024;     // the largest body accepted
};

enum class THttpOutcome {
  hrOk,        // an answer arrived (see Status); for status 200 the whole body went to AOnData
  hrFailed,    // no answer: name resolution, connection, TLS, time-out, bad address (Error says)
  hrTooLarge,  // the body is (or would become) larger than MaxBytes
  hrStopped,   // AOnData asked to stop
};

struct THttpResult {
  THttpOutcome Outcome = THttpOutcome::hrFailed;
  int Status = 0;     // the final status code when an answer arrived
  std::string Error;  // for hrFailed: the reason in a few words
  bool Ok() const { return Outcome == THttpOutcome::hrOk && Status == 200; }
};

// Receives the next piece of the body; false stops the transfer. Called on the caller's thread.
using THttpSink = std::function<bool(std::string_view APiece)>;

class IHttpClient {
 public:
  virtual ~IHttpClient() = default;
  // GET AUrl.
  virtual THttpResult Get(const std::string& AUrl, const THttpOptions& AOptions, const THttpSink& AOnData) = 0;
  // HEAD AUrl: only the status counts.
  virtual THttpResult Head(const std::string& AUrl, const THttpOptions& AOptions) = 0;
  // The platform's backend.
  static std::shared_ptr<IHttpClient> Create();
};

// True for an address that begins with "http://" or "https://" (any case).
bool IsHttpAddress(std::string_view AUrl);

// GETs a small text (the update file): at most AMax bytes, else hrTooLarge. AText holds the body for
// a status of 200.
THttpResult FetchText(IHttpClient& AClient, const std::string& AUrl, THttpOptions AOptions,
                      std::int64_t AMax, std::string& AText);

}  // namespace tovik
