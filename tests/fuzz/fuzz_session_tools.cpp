// The session tools on messages from the other PC: a host's and a viewer's tools (with files in
// memory) get any sequence of messages of any kind. The joined messages, screen lists, thumbnails,
// pictures, profiles and file offers must be refused or bounded: at most four files being received,
// only clean names in the download folder, never more bytes in a file than its offer said; and every
// history field is safe for a spreadsheet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "session/TovikFileTransfer.h"
#include "session/TovikSessionTools.h"
#include "tests/support/ToolsFakes.h"

using namespace tovik;
using namespace tovik::test;

namespace {

void Check(bool AOk) {
  if (!AOk) std::abort();
}

void CheckField(const std::string& AField) {
  for (unsigned char c : AField) Check(c >= 0x20 && c != 0x7F && c != ';');
  if (!AField.empty()) Check(AField[0] != '=' && AField[0] != '+' && AField[0] != '-' && AField[0] != '@');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const TByteView in(data, size);
  // The pure parsers on the whole input.
  if (auto s = ParseScreens(in)) {
    Check(!s->empty() && s->size() <= kMaxScreens);
    for (const auto& r : *s) Check(ScreenRectOk(r.Rect));
  }
  if (auto t = ParseThumb(in, 4)) Check(t->first < 4 && t->second.Width <= kMaxThumbSide && t->second.Height <= kMaxThumbSide);
  const std::string text(in.begin(), in.end());
  const std::string name = CleanFileName(text);
  Check(!name.empty() && name != "." && name != ".." && name.size() <= kMaxFileNameBytes);
  Check(name.find('/') == std::string::npos && name.find('\\') == std::string::npos);
  CheckField(SessionsField(text));
  if (auto row = ParseSessionsLine(text)) Check(row->Minutes >= 0);

  // The tools on a message sequence: [side and kind][more][length (2 bytes)][data].
  auto hostFiles = std::make_shared<TFakeFiles>();
  auto viewerFiles = std::make_shared<TFakeFiles>();
  hostFiles->D->Free = 1 << 20;
  TMsgChannel hostChannel, viewerChannel;
  TTick now = 0;
  auto make = [&now](TMsgChannel& ch, bool viewer, std::shared_ptr<TFakeFiles> files) {
    TToolsContext c;
    c.Channel = &ch;
    c.IsViewer = viewer;
    c.PartnerID = "123456789";
    c.ListScreens = [] { return std::vector<TScreenRect>{{{0, 0, 800, 600}, true}, {{800, 0, 800, 600}, false}}; };
    c.Now = [&now] { return now; };
    TToolsServices s;
    s.Files = std::move(files);
    s.Clipboard = std::make_shared<TFakeClipboard>();
    s.GrabThumb = [](const TRect&, int w, int h) { return std::optional<TPicture24>(TPicture24{w, h, TBytes(static_cast<std::size_t>(w) * h * 3)}); };
    return std::make_unique<TSessionTools>(c, std::move(s));
  };
  auto host = make(hostChannel, false, hostFiles);
  auto viewer = make(viewerChannel, true, viewerFiles);
  host->Announce();
  viewer->AccessGranted();
  std::size_t at = 0;
  while (at + 4 <= size) {
    const std::uint8_t head = data[at];
    const bool more = data[at + 1] & 1;
    std::size_t len = data[at + 2] | (static_cast<std::size_t>(data[at + 3]) << 8);
    at += 4;
    len = std::min(len, size - at);
    TChannelMsg m{static_cast<std::uint8_t>(head & 0x3F), more, TBytes(data + at, data + at + len)};
    at += len;
    (head & 0x80 ? *viewer : *host).HandleMessage(m);
    now += 10;
    host->Tick();
    viewer->Tick();
    for (auto* tools : {host.get(), viewer.get()}) Check(tools->Receiver().Receiving() <= kMaxReceiving);
    Check(viewer->Monitors().size() <= kMaxScreens);
    for (int i = 0; i < 20; ++i)
      if (auto t = viewer->Thumb(i)) Check(static_cast<std::size_t>(i) < viewer->Monitors().size());
  }
  for (auto* files : {hostFiles.get(), viewerFiles.get()})
    for (const auto& [n, bytes] : files->D->Downloads) {
      Check(n == CleanFileName(n) && n.size() <= kMaxFileNameBytes);
      Check(bytes.size() <= (1u << 20) || files == viewerFiles.get());
    }
  CheckField(SessionsField(host->HelperName()));
  host.reset();
  viewer.reset();
  // Everything unfinished was deleted.
  for (auto* files : {hostFiles.get(), viewerFiles.get()})
    for (const auto& [n, complete] : files->D->Complete) Check(complete);
  return 0;
}
