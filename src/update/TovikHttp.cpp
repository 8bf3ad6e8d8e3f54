#include "update/TovikHttp.h"

#include "base/TovikBytes.h"

namespace tovik {

bool IsHttpAddress(std::string_view AUrl) {
  return SameTextAscii(AUrl.substr(0, 7), "http://") || SameTextAscii(AUrl.substr(0, 8), "https://");
}

THttpResult FetchText(IHttpClient& AClient, const std::string& AUrl, THttpOptions AOptions,
                      std::int64_t AMax, std::string& AText) {
  AText.clear();
  AOptions.MaxBytes = AMax;
  bool over = false;
  THttpResult r = AClient.Get(AUrl, AOptions, [&](std::string_view piece) {
    if (static_cast<std::int64_t>(AText.size() + piece.size()) > AMax) {
      over = true;
      return false;
    }
    AText.append(piece);
    return true;
  });
  if (over) r.Outcome = THttpOutcome::hrTooLarge;
  if (!r.Ok()) AText.clear();
  return r;
}

}  // namespace tovik
