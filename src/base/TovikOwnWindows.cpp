#include "base/TovikOwnWindows.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace tovik {

namespace {

struct TEntry {
  TOwnWindowRect Rect;
  bool Shown = false;
  TOwnWindowUse Use = TOwnWindowUse::Blank;
  std::uint64_t Handle = 0;
};

std::mutex GLock;
std::map<int, TEntry> GEntries;
int GNextId = 1;

}  // namespace

int RegisterOwnWindow(TOwnWindowUse AUse) {
  std::lock_guard<std::mutex> lock(GLock);
  const int id = GNextId++;
  TEntry e;
  e.Use = AUse;
  GEntries[id] = e;
  return id;
}

void SetOwnWindow(int id, const TOwnWindowRect& rect, bool shown) {
  std::lock_guard<std::mutex> lock(GLock);
  auto it = GEntries.find(id);
  if (it == GEntries.end()) return;
  it->second.Rect = rect;
  it->second.Shown = shown;
}

void SetOwnWindowHandle(int id, std::uint64_t handle) {
  std::lock_guard<std::mutex> lock(GLock);
  auto it = GEntries.find(id);
  if (it != GEntries.end()) it->second.Handle = handle;
}

void UnregisterOwnWindow(int id) {
  std::lock_guard<std::mutex> lock(GLock);
  GEntries.erase(id);
}

std::vector<TOwnWindowRect> OwnWindowRects() {
  std::lock_guard<std::mutex> lock(GLock);
  std::vector<TOwnWindowRect> out;
  for (const auto& [id, e] : GEntries)
    if (e.Use == TOwnWindowUse::Blank && e.Shown && e.Rect.Width > 0 && e.Rect.Height > 0) out.push_back(e.Rect);
  return out;
}

bool PointOnOwnWindow(int x, int y) {
  std::lock_guard<std::mutex> lock(GLock);
  for (const auto& [id, e] : GEntries) {
    if (!e.Shown) continue;
    const TOwnWindowRect& r = e.Rect;
    // In 64 bits: a far-away or huge rectangle cannot overflow.
    if (x >= r.Left && y >= r.Top && static_cast<long long>(x) < static_cast<long long>(r.Left) + r.Width &&
        static_cast<long long>(y) < static_cast<long long>(r.Top) + r.Height)
      return true;
  }
  return false;
}

bool IsOwnWindowHandle(std::uint64_t handle) {
  if (handle == 0) return false;
  std::lock_guard<std::mutex> lock(GLock);
  for (const auto& [id, e] : GEntries)
    if (e.Handle == handle) return true;
  return false;
}

void BlankOwnWindows(std::uint8_t* bits, int width, int height, int stride, int originX, int originY,
                     const std::vector<TOwnWindowRect>& rects, std::uint32_t pixel) {
  if (!bits || width <= 0 || height <= 0) return;
  for (const TOwnWindowRect& r : rects) {
    if (r.Width <= 0 || r.Height <= 0) continue;
    // Work in 64 bits so far-away or huge rectangles cannot overflow.
    const long long x0 = std::max<long long>(0, static_cast<long long>(r.Left) - originX);
    const long long y0 = std::max<long long>(0, static_cast<long long>(r.Top) - originY);
    const long long x1 = std::min<long long>(width, static_cast<long long>(r.Left) - originX + r.Width);
    const long long y1 = std::min<long long>(height, static_cast<long long>(r.Top) - originY + r.Height);
    if (x0 >= x1 || y0 >= y1) continue;
    for (long long y = y0; y < y1; ++y) {
      auto* row = reinterpret_cast<std::uint32_t*>(bits + y * static_cast<long long>(stride));
      std::fill(row + x0, row + x1, pixel);
    }
  }
}

}  // namespace tovik
