#include "session/TovikFileTransfer.h"

#include <cstdio>

#include "session/TovikSessionWire.h"

namespace tovik {

namespace {
constexpr TTick kLabelEveryMs = 250;
constexpr TTick kPanelEveryMs = 149;
constexpr std::size_t kMaxExtensionBytes = 32;
constexpr std::size_t kFinishedKept = 64;

void PutI64LE(TBytes& b, std::int64_t v) {
  const auto u = static_cast<std::uint64_t>(v);
  PutU32LE(b, static_cast<std::uint32_t>(u));
  PutU32LE(b, static_cast<std::uint32_t>(u >> 32));
}
std::int64_t GetI64LE(const std::uint8_t* p) {
  return static_cast<std::int64_t>(GetU32LE(p) | (static_cast<std::uint64_t>(GetU32LE(p + 4)) << 32));
}

TBytes IdBytes(std::uint32_t AID) {
  TBytes b;
  PutU32LE(b, AID);
  return b;
}

std::string Percent(const char* AWhat, std::int64_t ADone, std::int64_t ASize) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %lld%%", AWhat, static_cast<long long>(ADone * 100 / ASize));
  return buf;
}

// "name" and ".ext" of a clean name; a leading dot starts no extension, nor does a long tail.
std::pair<std::string, std::string> SplitExtension(const std::string& AName) {
  const auto dot = AName.rfind('.');
  if (dot == std::string::npos || dot == 0 || AName.size() - dot > kMaxExtensionBytes) return {AName, ""};
  return {AName.substr(0, dot), AName.substr(dot)};
}
}  // namespace

std::string SizeText(std::int64_t ABytes) {
  char buf[64];
  if (ABytes < 1024)
    std::snprintf(buf, sizeof buf, "%lld bytes", static_cast<long long>(ABytes));
  else if (ABytes < 1048576)
    std::snprintf(buf, sizeof buf, "%.0f KB", static_cast<double>(ABytes) / 1024);
  else
    std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(ABytes) / 1048576);
  return buf;
}

std::string FileNamePart(const std::string& APath) {
  const auto at = APath.find_last_of("/\\");
  return at == std::string::npos ? APath : APath.substr(at + 1);
}

std::string CleanFileName(const std::string& AOffered) {
  const std::string part = Utf8Sanitize(FileNamePart(AOffered));
  std::string clean;
  for (std::size_t i = 0; i < part.size(); ++i) {
    const auto c = static_cast<unsigned char>(part[i]);
    if (c == 0xC2 && i + 1 < part.size() && static_cast<unsigned char>(part[i + 1]) <= 0x9F) {
      ++i;  // C1 control
      continue;
    }
    if (c < 0x20 || c == 0x7F) continue;
    clean += static_cast<char>(c);
  }
  if (clean.empty() || clean == "." || clean == "..") return "file";
  if (clean.size() <= kMaxFileNameBytes) return clean;
  auto [stem, ext] = SplitExtension(clean);
  return Utf8Truncate(stem, kMaxFileNameBytes - ext.size()) + ext;
}

std::string NumberedFileName(const std::string& AName, int AN) {
  auto [stem, ext] = SplitExtension(AName);
  const std::string suffix = " (" + std::to_string(AN) + ")";
  if (stem.size() + suffix.size() + ext.size() > kMaxFileNameBytes)
    stem = Utf8Truncate(stem, kMaxFileNameBytes - suffix.size() - ext.size());
  return stem + suffix + ext;
}

// ---- sender -------------------------------------------------------------------------------------

TFileSender::TFileSender(TMsgChannel& AChannel, ITransferFiles* AFiles, TTransferView AView)
    : FChannel(AChannel), FFiles(AFiles), FView(std::move(AView)) {}

TFileSender::~TFileSender() = default;

void TFileSender::Queue(const std::vector<std::string>& APaths) {
  for (const auto& p : APaths) {
    if (!FFiles || !FFiles->IsFile(p)) continue;
    FQueue.push_back(p);
    FView.Line("Queued to send: " + FileNamePart(p), false);
  }
}

void TFileSender::Close() {
  FTx.reset();
  FView.Progress("");
}

void TFileSender::Cancel() {
  FQueue.clear();
  if (!FTx) return;
  FChannel.Post(mkFileCancel, IdBytes(FTxID), false);
  Close();
  FView.Line("Cancelled sending " + FileNamePart(FTxName), false);
}

void TFileSender::Refused(std::uint32_t AID) {
  if (FTx && AID == FTxID) {
    Close();
    FView.Line("Could not save " + FileNamePart(FTxName) + " on the other PC", true);
    return;
  }
  for (auto it = FFinished.begin(); it != FFinished.end(); ++it) {
    if (it->ID != AID) continue;
    if (it->Announced) --FFilesSent;
    FView.Line("Could not save " + it->Name + " on the other PC", true);
    FFinished.erase(it);
    return;
  }
}

void TFileSender::AnnounceSent() {
  for (auto& f : FFinished) {
    if (f.Announced || !FChannel.Acknowledged(f.DoneSeq)) continue;
    f.Announced = true;
    ++FFilesSent;
    FView.Line("Sent " + f.Name, false);
  }
  while (FFinished.size() > kFinishedKept && FFinished.front().Announced) FFinished.pop_front();
}

void TFileSender::Pump(TTick ANow) {
  AnnounceSent();
  if (FHold) return;
  if (!FTx && !FQueue.empty() && FFiles) {
    FTxName = FQueue.front();
    FQueue.pop_front();
    std::string error;
    FTx = FFiles->OpenRead(FTxName, error);
    if (!FTx) {
      FView.Line("Could not open " + FileNamePart(FTxName) + ": " + error, true);
      return;
    }
    FTxID = FNextFileID++;
    FTxSize = FTx->Size();
    FTxDone = 0;
    TBytes offer = IdBytes(FTxID);
    PutI64LE(offer, FTxSize);
    Append(offer, BytesOf(FileNamePart(FTxName)));
    FChannel.Post(mkFileOffer, offer, false);
    FView.Line("Sending " + FileNamePart(FTxName) + " (" + SizeText(FTxSize) + ")...", false);
  }
  while (FTx && FChannel.Backlog() <= FileBacklogMax(FChannel)) {
    TBytes msg = IdBytes(FTxID);
    msg.resize(4 + kFileChunk);
    std::string error;
    const std::int64_t got = FTx->Read(msg.data() + 4, kFileChunk, error);
    if (got < 0) {
      FChannel.Post(mkFileCancel, IdBytes(FTxID), false);
      Close();
      FView.Line("Could not read " + FileNamePart(FTxName) + ": " + error, true);
      break;
    }
    if (got > 0) {
      msg.resize(4 + static_cast<std::size_t>(got));
      FChannel.Post(mkFileData, msg, false);
      FTxDone += got;
    }
    if (got == static_cast<std::int64_t>(kFileChunk) && FTxDone < FTxSize) continue;
    FChannel.Post(mkFileDone, IdBytes(FTxID), false);
    Close();
    FFinished.push_back({FTxID, FileNamePart(FTxName), FChannel.LastPosted(), false});
  }
  if (FTx && FTxSize > 0 && ANow - FLastProgress > kLabelEveryMs) {
    FLastProgress = ANow;
    FView.Progress(Percent("Sending", FTxDone, FTxSize));
  }
  if (!FView.SendProgress) return;
  if (FTx) {
    if (ANow - FLastSendProgress > kPanelEveryMs) {
      FLastSendProgress = ANow;
      FProgressShown = true;
      FView.SendProgress(FileNamePart(FTxName), FTxDone, FTxSize, static_cast<int>(FQueue.size()));
    }
  } else if (FQueue.empty() && FProgressShown) {
    FProgressShown = false;
    FView.SendProgress("", 0, 0, 0);
  }
}

// ---- receiver -----------------------------------------------------------------------------------

TFileReceiver::TFileReceiver(TMsgChannel& AChannel, ITransferFiles* AFiles, TTransferView AView)
    : FChannel(AChannel), FFiles(AFiles), FView(std::move(AView)) {}

TFileReceiver::~TFileReceiver() {
  for (auto& [id, rx] : FRx) rx.File->Discard();
}

void TFileReceiver::HandleMessage(std::uint8_t AKind, TByteView AData, TTick ANow) {
  if (AKind == mkFileOffer) return Offer(AData);
  if (AData.size() < 4) return;
  const std::uint32_t id = GetU32LE(AData.data());
  switch (AKind) {
    case mkFileData:
      return Data(id, AData.subspan(4), ANow);
    case mkFileDone:
      return Done(id);
    case mkFileCancel: {
      auto it = FRx.find(id);
      if (it == FRx.end()) return;
      it->second.File->Discard();
      FView.Line("Cancelled: " + it->second.Name, true);
      FRx.erase(it);
      FView.Progress("");
      return;
    }
    default:
      return;
  }
}

void TFileReceiver::RefuseBack(std::uint32_t AID) {
  TBytes b = IdBytes(AID);
  b.push_back(kCancelRefused);
  FChannel.Post(mkFileCancel, b, false);
}

void TFileReceiver::Fail(std::uint32_t AID, std::string AName, const std::string& AReason) {
  auto it = FRx.find(AID);
  if (it != FRx.end()) {
    it->second.File->Discard();
    FRx.erase(it);
    FView.Progress("");
  }
  RefuseBack(AID);
  FView.Line("Could not save " + AName + ": " + AReason, true);
}

void TFileReceiver::Offer(TByteView AData) {
  if (AData.size() < 12) return;
  const std::uint32_t id = GetU32LE(AData.data());
  const std::int64_t size = GetI64LE(AData.data() + 4);
  const std::string name = CleanFileName(StringOf(AData.subspan(12)));
  // A second offer under the same ID ends the first file.
  if (auto it = FRx.find(id); it != FRx.end()) {
    it->second.File->Discard();
    FRx.erase(it);
  }
  if (!FFiles) return Fail(id, name, "receiving files is not available");
  if (size < 0) return Fail(id, name, "the offered size is not valid");
  if (FRx.size() >= kMaxReceiving) return Fail(id, name, "too many files at once");
  if (auto free = FFiles->FreeSpace()) {
    std::int64_t needed = size;
    for (const auto& [other, rx] : FRx) needed += rx.Size - rx.Done;
    if (needed > *free) return Fail(id, name, "not enough free space");
  }
  std::string saved = name;
  TCreateResult made = FFiles->CreateNew(saved);
  for (int n = 2; made.Outcome == TCreateOutcome::Exists && n <= 9999; ++n) {
    saved = NumberedFileName(name, n);
    made = FFiles->CreateNew(saved);
  }
  if (made.Outcome != TCreateOutcome::Created)
    return Fail(id, name, made.Outcome == TCreateOutcome::Exists ? "too many files with that name" : made.Error);
  FRx[id] = TRxFile{std::move(made.File), saved, size, 0};
  FView.Line("Receiving " + saved + " (" + SizeText(size) + ")...", true);
}

void TFileReceiver::Data(std::uint32_t AID, TByteView AData, TTick ANow) {
  auto it = FRx.find(AID);
  if (it == FRx.end()) return;
  TRxFile& rx = it->second;
  if (static_cast<std::int64_t>(AData.size()) > rx.Size - rx.Done)
    return Fail(AID, rx.Name, "more data than offered");
  std::string error;
  if (!rx.File->Write(AData, error)) return Fail(AID, rx.Name, error);
  rx.Done += static_cast<std::int64_t>(AData.size());
  if (rx.Size > 0 && ANow - FLastProgress > kLabelEveryMs) {
    FLastProgress = ANow;
    FView.Progress(Percent("Receiving", rx.Done, rx.Size));
  }
}

void TFileReceiver::Done(std::uint32_t AID) {
  auto it = FRx.find(AID);
  if (it == FRx.end()) return;
  TRxFile& rx = it->second;
  const std::string name = rx.Name;
  if (rx.Done != rx.Size) {
    const std::string line = name + " incomplete (" + SizeText(rx.Done) + " of " + SizeText(rx.Size) + "); deleted";
    rx.File->Discard();
    FRx.erase(it);
    FView.Progress("");
    FView.Line(line, true);
    return;
  }
  std::string error;
  if (!rx.File->Finish(error)) return Fail(AID, name, error);
  FRx.erase(it);
  ++FFilesReceived;
  FView.Progress("");
  FView.Line("Received " + name + " (in Downloads/Tovik)", true);
}

}  // namespace tovik
