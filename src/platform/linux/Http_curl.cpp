// The HTTP client over libcurl (update checks and downloads, the connection test's web step).
//
// Time-outs: CURLOPT_CONNECTTIMEOUT_MS for the connection; the answer is watched with the low-speed
// rule (below 1 byte a second for StallTimeoutMs, rounded up to whole seconds) and never with a total
// time. Protocols: http and https only, for the first address and for every redirect.
#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "update/TovikHttp.h"

namespace tovik {

namespace {

struct TCurlFree {
  void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
using TCurlPtr = std::unique_ptr<CURL, TCurlFree>;

constexpr long kMaxRedirects = 5;

// What the write callback knows about the transfer.
struct TTransfer {
  CURL* Curl = nullptr;
  const THttpSink* Sink = nullptr;
  std::int64_t Max = 0;
  std::int64_t Got = 0;
  bool NotOk = false;    // the final answer is not 200: its body is not wanted
  bool TooLarge = false;
  bool Stopped = false;
};

std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<TTransfer*>(user);
  const std::size_t n = size * count;
  long status = 0;
  curl_easy_getinfo(t->Curl, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    t->NotOk = true;
    return 0;  // ends the transfer; the status is reported
  }
  if (t->Got + static_cast<std::int64_t>(n) > t->Max) {
    t->TooLarge = true;
    return 0;
  }
  t->Got += static_cast<std::int64_t>(n);
  if (t->Sink && *t->Sink && !(*t->Sink)(std::string_view(data, n))) {
    t->Stopped = true;
    return 0;
  }
  return n;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

class THttpClientCurl final : public IHttpClient {
 public:
  THttpResult Get(const std::string& AUrl, const THttpOptions& AOptions, const THttpSink& AOnData) override {
    return Run(AUrl, AOptions, &AOnData, false);
  }
  THttpResult Head(const std::string& AUrl, const THttpOptions& AOptions) override {
    return Run(AUrl, AOptions, nullptr, true);
  }

 private:
  static THttpResult Run(const std::string& AUrl, const THttpOptions& o, const THttpSink* ASink, bool AHead) {
    THttpResult res;
    if (!IsHttpAddress(AUrl)) {
      res.Error = "the address is not http:// or https://";
      return res;
    }
    GlobalInit();
    TCurlPtr c(curl_easy_init());
    if (!c) {
      res.Error = "no HTTP client";
      return res;
    }
    TTransfer t;
    t.Curl = c.get();
    t.Sink = ASink;
    t.Max = o.MaxBytes;
    char errors[CURL_ERROR_SIZE] = {};
    const long stallSeconds = static_cast<long>((o.StallTimeoutMs + 999) / 1000);
    CURL* h = c.get();
    curl_easy_setopt(h, CURLOPT_URL, AUrl.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_USERAGENT, o.UserAgent.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(o.ConnectTimeoutMs));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallSeconds < 1 ? 1L : stallSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 0L);  // no total time
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errors);
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, nullptr);  // the bytes as stored, no decoding
    curl_easy_setopt(h, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
    if (AHead) {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else {
      // A body announced larger than the cap is refused before it starts.
      curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(o.MaxBytes));
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnWrite);
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    }
    const CURLcode rc = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    res.Status = static_cast<int>(status);
    if (t.TooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
      res.Outcome = THttpOutcome::hrTooLarge;
    } else if (t.Stopped) {
      res.Outcome = THttpOutcome::hrStopped;
    } else if (rc == CURLE_OK || (t.NotOk && status > 0)) {
      res.Outcome = THttpOutcome::hrOk;
    } else {
      res.Outcome = THttpOutcome::hrFailed;
      res.Error = errors[0] ? std::string(errors) : std::string(curl_easy_strerror(rc));
    }
    return res;
  }
};

}  // namespace

std::shared_ptr<IHttpClient> IHttpClient::Create() { return std::make_shared<THttpClientCurl>(); }

}  // namespace tovik
