// File transfer over the session's message channel: TFileSender streams queued files one at a time,
// paced by the channel's backlog; TFileReceiver saves offered files in the download folder, never
// over an existing file. Disk access goes through ITransferFiles (session/TovikToolsPorts.h), so
// both run without I/O of their own.
//
// Wire (integers little-endian): mkFileOffer = file ID (4), size (8, signed), name (UTF-8, the rest);
// mkFileData = file ID, up to kFileChunk bytes; mkFileDone = file ID; mkFileCancel = file ID, and a
// fifth byte kCancelRefused when the receiver could not save the file (sent back to the sender),
// none when the sender gives the file up.
//
// Ownership and threads: the session tools own both; the channel and the files object outlive them.
// GUI thread only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/TovikClock.h"
#include "net/TovikFrames.h"
#include "session/TovikToolsPorts.h"

namespace tovik {

inline constexpr std::size_t kFileChunk = 1146;       // data bytes per mkFileData
inline constexpr int kFileBacklogMax = 47;            // the pump fills a plain channel up to 48 messages
// The backlog up to which the pump posts file data. On a plain channel 47, 16 below its window. On a
// selective channel what keeps the path full: the pacer's window (two bottleneck-delay products) in
// messages and 16 more, within 48 and 16 below the channel's window. The channel delivers in order,
// so a chat line or a clipboard posted during a transfer waits behind this backlog: it must not be
// more than the path carries in a couple of round trips.
inline int FileBacklogMax(const TMsgChannel& AChannel) {
  if (AChannel.WindowMessages() <= kFileBacklogMax + 17) return static_cast<int>(AChannel.WindowMessages()) - 17;
  const std::uint64_t fill = AChannel.Pacer().Window() / kFileChunk + 16;
  return static_cast<int>(std::clamp<std::uint64_t>(fill, kFileBacklogMax + 1, AChannel.WindowMessages() - 17));
}
inline constexpr std::size_t kMaxReceiving = 4;       // files being received at once
inline constexpr std::size_t kMaxFileNameBytes = 255;  // a received file's name
inline constexpr std::uint8_t kCancelRefused = 1;

// n bytes as the lines show them: "12 bytes", "3 KB", "1.5 MB".
std::string SizeText(std::int64_t ABytes);
// The last part of a path, split at "/" and "\".
std::string FileNamePart(const std::string& APath);
// An offered name made safe to create in the download folder: only its last part (split at "/" and
// "\"), control characters removed, malformed UTF-8 replaced, at most kMaxFileNameBytes bytes with the
// extension kept; "", "." and ".." become "file".
std::string CleanFileName(const std::string& AOffered);
// The name for the n-th try (n >= 2): "name (n).ext", still at most kMaxFileNameBytes bytes.
std::string NumberedFileName(const std::string& AName, int AN);

// Lines and progress of a transfer, as the tools show them.
struct TTransferView {
  std::function<void(const std::string& AText, bool AShow)> Line;
  std::function<void(const std::string& AText)> Progress;  // the tools window's label; "" clears
  // The viewer's transfer panel: name, done, total, files still queued; ("", 0, 0, 0) hides it.
  std::function<void(const std::string&, std::int64_t, std::int64_t, int)> SendProgress;
};

class TFileSender {
 public:
  // AFiles may be null: nothing can be sent then.
  TFileSender(TMsgChannel& AChannel, ITransferFiles* AFiles, TTransferView AView);
  ~TFileSender();

  // Queues the paths that are existing files.
  void Queue(const std::vector<std::string>& APaths);
  // Empties the queue and gives up the file being sent.
  void Cancel();
  // One tick: opens the next file, fills the channel, reports progress.
  void Pump(TTick ANow);
  // While held, nothing is offered or sent (the queue is kept).
  void SetHold(bool AHold) { FHold = AHold; }
  // A mkFileCancel from the receiver for one of our files (kCancelRefused).
  void Refused(std::uint32_t AID);

  int FilesSent() const { return FFilesSent; }
  bool Sending() const { return FTx != nullptr; }
  std::size_t Queued() const { return FQueue.size(); }

 private:
  void Close();
  void AnnounceSent();

  TMsgChannel& FChannel;
  ITransferFiles* FFiles;
  TTransferView FView;
  std::deque<std::string> FQueue;
  std::unique_ptr<IReadFile> FTx;
  std::uint32_t FTxID = 0;
  std::string FTxName;
  std::int64_t FTxSize = 0, FTxDone = 0;
  std::uint32_t FNextFileID = 1;
  // Files whose mkFileDone went out lately. A file counts as sent (and its line says so) once the
  // other end has acknowledged its mkFileDone: a receiver that could not save it has said so before
  // then, unless that message was lost on the way; a refusal that comes later still corrects it.
  struct TFinished {
    std::uint32_t ID = 0;
    std::string Name;
    std::uint32_t DoneSeq = 0;
    bool Announced = false;
  };
  std::deque<TFinished> FFinished;
  TTick FLastProgress = 0, FLastSendProgress = 0;
  bool FProgressShown = false;
  bool FHold = false;
  int FFilesSent = 0;
};

class TFileReceiver {
 public:
  TFileReceiver(TMsgChannel& AChannel, ITransferFiles* AFiles, TTransferView AView);
  // Closes and deletes every file not received completely.
  ~TFileReceiver();

  // mkFileOffer, mkFileData, mkFileDone, and mkFileCancel from the sender.
  void HandleMessage(std::uint8_t AKind, TByteView AData, TTick ANow);
  int FilesReceived() const { return FFilesReceived; }
  std::size_t Receiving() const { return FRx.size(); }

 private:
  struct TRxFile {
    std::unique_ptr<IWriteFile> File;
    std::string Name;  // as saved
    std::int64_t Size = 0, Done = 0;
  };
  void Offer(TByteView AData);
  void Data(std::uint32_t AID, TByteView AData, TTick ANow);
  void Done(std::uint32_t AID);
  // Drops the file, tells the sender and shows "Could not save <name>: <reason>". AName is a copy:
  // it may be the name of the entry this drops.
  void Fail(std::uint32_t AID, std::string AName, const std::string& AReason);
  void RefuseBack(std::uint32_t AID);

  TMsgChannel& FChannel;
  ITransferFiles* FFiles;
  TTransferView FView;
  std::map<std::uint32_t, TRxFile> FRx;
  TTick FLastProgress = 0;
  int FFilesReceived = 0;
};

}  // namespace tovik
