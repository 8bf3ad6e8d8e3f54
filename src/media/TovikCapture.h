// Screen capture and the tile update codec.
//
// The host grabs one monitor into a 32-bit picture (blue, green, red, X per pixel), draws the pointer
// into it and sends the 64 x 64 tiles that changed since the last update as a zlib-compressed screen
// update; the viewer paints updates into its own picture with ApplyScreenUpdate.
//
// This library is portable: the screen itself is reached through IScreenBackend, whose Create() is
// provided by the platform library (tovik_platform) and called only by the composition root (the
// program and the platform tests). Tests pass fakes instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "media/TovikRowHashes.h"

struct libdeflate_compressor;
struct z_stream_s;

namespace tovik {

// A rectangle in desktop (root window) coordinates. Empty when either side is not positive.
struct TRect {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;

  bool Empty() const { return Width <= 0 || Height <= 0; }
  int Right() const { return Left + Width; }
  int Bottom() const { return Top + Height; }
  bool operator==(const TRect&) const = default;
};

// Intersection of two rectangles (empty when they do not overlap).
TRect Intersect(const TRect& a, const TRect& b);

struct TPoint {
  int X = 0;
  int Y = 0;
  bool operator==(const TPoint&) const = default;
};

// A 32-bit picture, blue, green, red, X per pixel. Row 0 is the top row; rows are reached through
// Row() or Stride(), the signed distance in bytes from row 0 to row 1 (negative for a bottom-up
// layout). Owns its pixels. Not thread-safe.
class TBitmap32 {
 public:
  TBitmap32() = default;
  // Resizes to W x H and fills with black (all four bytes 0). APad extra bytes end each row;
  // ABottomUp stores the rows bottom-up so that Stride() is negative.
  void SetSize(int AW, int AH, int APad = 0, bool ABottomUp = false);
  // Resizes keeping the current padding and orientation; contents become black.
  void Resize(int AW, int AH) { SetSize(AW, AH, FPad, FBottomUp); }

  int Width() const { return FW; }
  int Height() const { return FH; }
  std::ptrdiff_t Stride() const;
  std::uint8_t* Row(int y) { return FData.data() + RowOffset(y); }
  const std::uint8_t* Row(int y) const { return FData.data() + RowOffset(y); }
  // Counts paints through ApplyScreenUpdate so that an owner knows to repaint.
  std::uint64_t FChangeCount = 0;

 private:
  std::size_t RowOffset(int y) const {
    const int r = FBottomUp ? FH - 1 - y : y;
    return static_cast<std::size_t>(r) * static_cast<std::size_t>(FW * 4 + FPad);
  }
  std::vector<std::uint8_t> FData;
  int FW = 0;
  int FH = 0;
  int FPad = 0;
  bool FBottomUp = false;
};

// ---- Tile update codec -------------------------------------------------------------------------

constexpr int kTileSize = 64;
constexpr int kMaxTilesPerUpdate = 64;
// The largest uncompressed update the encoder makes: 6 + 64 x (8 + 64 x 64 x 3).
constexpr std::size_t kMaxUpdateBytes = 6 + kMaxTilesPerUpdate * (8 + kTileSize * kTileSize * 3);
// The largest picture side accepted from the network.
constexpr int kMaxScreenSide = 16384;
// ... and the largest picture area (a 256 MiB bitmap).
constexpr std::int64_t kMaxScreenPixels = std::int64_t{1} << 26;

// Raised by ApplyScreenUpdate; what() is the reason ("Bad screen size", zlib's own message, ...).
class EScreenUpdate : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Compact updates --------------------------------------------------------------------------------
//
// The format a viewer asks for by capability. A 16-byte header that is read without decompressing:
//   0xC1 (never the first byte of a zlib stream), flags (bit 0: the shared context restarts here),
//   u32 number of the update since that restart, u16 width, u16 height, u16 operations, u32 size of
//   the operations once inflated (at most kMaxCompactBytes);
// then the operations as raw deflate data, one piece (ending in a sync flush) of a stream that
// runs over every update since the last restart, so that what repeats between tiles and between
// frames (glyphs of text) costs little. The encoder restarts the stream with every full picture, so a
// viewer that missed an update (it sees the number jump) is whole again after asking for one. An
// update that is mostly raw pixels (photographs) and has no copy goes as a zlib update instead (a
// viewer of compact updates reads both), which compresses such pixels in about half the time; it
// leaves the compact stream as it was (or, when it would have restarted it, the next compact update
// does).
// Operations, all integers u16 little-endian, rectangles as x, y, w, h:
//   1 copy    rect, source top: the rows of rect's columns from source top on move to rect (a
//             vertical scroll), read from the picture as it was before the copy
//   2 solid   rect, blue, green, red
//   3 palette rect, n (2..16), n x (blue, green, red), then per row the indices of the pixels packed
//             most significant bits first at 1 (n = 2), 2 (n <= 4) or 4 bits, rows whole bytes
//   4 raw     rect, w x h x (blue, green, red)
inline constexpr std::uint8_t kCompactMagic = 0xC1;
inline constexpr std::size_t kCompactHeader = 16;
inline constexpr std::uint8_t kCompactReset = 1;
inline constexpr std::size_t kMaxCompactBytes = kMaxUpdateBytes + 64 * 16;

// Header of a compact update; nothing when AUpdate is not one or is shorter than the header.
struct TCompactHeader {
  bool Reset = false;
  std::uint32_t Seq = 0;
  int Width = 0, Height = 0, Ops = 0;
  std::uint32_t RawBytes = 0;
};
bool ReadCompactHeader(TByteView AUpdate, TCompactHeader& AHeader);

// The viewer's half of the compact format: holds the shared inflate context. An update that does not
// follow the last one applied (or comes after a failed one) is refused until the next restart.
// Not thread-safe; one owner.
class TCompactDecoder {
 public:
  TCompactDecoder();
  ~TCompactDecoder();
  TCompactDecoder(const TCompactDecoder&) = delete;
  TCompactDecoder& operator=(const TCompactDecoder&) = delete;
  // Paints AUpdate into ABitmap as ApplyScreenUpdate does (APainted likewise, copies included), but
  // only once all of it has been read and checked: when it throws EScreenUpdate, ABitmap is unchanged.
  void Apply(TBitmap32& ABitmap, TByteView AUpdate, std::vector<TRect>* APainted = nullptr);

 private:
  struct TInflateFree {
    void operator()(z_stream_s* p) const;
  };
  std::unique_ptr<z_stream_s, TInflateFree> FZ;
  std::vector<std::uint8_t> FRaw;
  std::uint32_t FNextSeq = 0;
  bool FReady = false; // a restart was applied and nothing failed since
};

// True when the pixels of rectangle At differ between two pictures of the same size.
bool TileDiffers(const TBitmap32& ACur, const TBitmap32& APrev, const TRect& At);
// Blue, green, red of AN pixels from 4-byte to 3-byte form.
void PackRow(const std::uint8_t* ASrc, std::uint8_t* ADst, int AN);

// Tile geometry of a W x H picture.
int TilesAcross(int AW);
int TilesDown(int AH);
TRect TileRect(int ATile, int AW, int AH);

// The encoder half of the capturer: finds the tiles in which ACur differs from APrev, copies them to
// APrev and writes them as one compressed update. Keeps the sweep state between calls and a per-tile
// "may differ" mark fed by damage reports, so that tiles known to be unchanged are not compared.
// Not thread-safe; one owner.
class TTileEncoder {
 public:
  struct TResult {
    TBytes Data;   // compressed update, empty when no tile was written
    int Tiles = 0; // tiles written
    // Data is a zlib update not yet compressed (FDeferDeflate): FinishPlainUpdate makes the update.
    bool Unfinished = false;
  };

  // Restarts the complete sweep (size change, new area).
  void Restart();
  // Every tile may differ (no damage information for the last grab).
  void MarkAllDirty() { FAllDirty = true; }
  // Tiles overlapping ARect (picture coordinates) may differ.
  void MarkDirty(const TRect& ARect, int AW, int AH);
  // ACur and APrev were made equal by the caller (a video frame was sent).
  void MarkSent();

  TResult Encode(const TBitmap32& ACur, TBitmap32& APrev, bool AFull);

  // True: only tiles marked by MarkDirty/MarkAllDirty since they were last found equal are compared.
  // False: every tile is compared on every call.
  bool FTrackDamage = false;
  // Write compact updates (solid, palette and raw tiles, vertical scrolls as copies, one deflate
  // stream across updates) instead of the zlib update every viewer reads. A change takes effect with
  // the next full picture.
  bool FCompact = false;
  // Zlib updates (all of them, or the photo-like ones among compact updates) come back uncompressed
  // (TResult::Unfinished), so that their compression, the bulk of the work, can run on another
  // thread while the next update is picked. Compact updates are always finished here: each continues
  // the deflate stream of the one before.
  bool FDeferDeflate = false;
  bool FForceAll = true; // next updates send every tile, as a sweep
  bool FMore = false;    // the last Encode left tiles that may differ for the next one (capped)
  int FSweep = 0;        // tile where an unfinished sweep resumes
  int FScanFrom = 0;     // tile where the next change scan starts (after the last tile sent)

 private:
  struct TCompressorFree {
    void operator()(libdeflate_compressor* p) const;
  };

  struct TDeflateFree {
    void operator()(z_stream_s* p) const;
  };

  void FitMarks(int ATiles);
  // Chooses the tiles of one update (a sweep, or the changed tiles after the last update's), hands
  // each to ASend and copies it to APrev; returns how many.
  int PickTiles(const TBitmap32& ACur, TBitmap32& APrev, const std::function<void(const TRect&)>& ASend);
  TResult EncodeCompact(const TBitmap32& ACur, TBitmap32& APrev);
  // Marks the tiles of ADst (just copied within APrev) that may differ from ACur.
  void MarkCopied(const TRect& ADst, const std::vector<std::uint8_t>& ASame, int AW, int AH);
  // ATiles of ACur as the zlib update every viewer reads (all raw pixels, one self-contained piece).
  TResult EncodePlain(const TBitmap32& ACur, const std::vector<TRect>& ATiles);
  std::vector<TRect> FPicked; // the tiles of the update being written
  std::vector<std::uint8_t> FDirty; // per tile: 1 = may differ between ACur and APrev
  bool FAllDirty = true;
  int FMarkW = 0;
  int FMarkH = 0;
  TBytes FRaw; // reused uncompressed update
  TBytes FOut; // reused compression output, sized for the largest update
  std::unique_ptr<libdeflate_compressor, TCompressorFree> FCompressor; // made on first use
  std::unique_ptr<z_stream_s, TDeflateFree> FDeflate; // the compact stream; made on first use
  bool FStreamLive = false;  // FDeflate continues a stream the viewer has from its restart on
  std::uint32_t FStreamSeq = 0; // number of the next compact update since the restart
  int FStreamLevel = -1;        // FDeflate's compression level
  std::vector<std::uint64_t> FHashCur; // ACur's row hashes for the scroll search
  TRowHashes FPrevHashes;              // APrev's, kept between updates
  std::vector<std::uint8_t> FRowSame;  // per row of a scroll copy: equal to ACur after it
};

// The zlib update of an unfinished result (TTileEncoder::FDeferDeflate); empty when memory runs out.
// Any thread; each thread keeps a compressor of its own.
TBytes FinishPlainUpdate(TByteView ARaw);

// Decompresses AUpdate (the frame body without its kind byte) and paints its tiles into ABitmap,
// resizing it to black first when its size differs. APainted (when given) receives the rectangle of
// each tile painted, in order. Throws EScreenUpdate. Tiles painted before a failing tile stay painted:
// TScreenPicture applies updates whole or not at all.
void ApplyScreenUpdate(TBitmap32& ABitmap, TByteView AUpdate, std::vector<TRect>* APainted = nullptr);

// The viewer's picture of the other PC, kept by tile updates that apply whole or not at all: every
// update is read and checked to its end before a pixel of it is painted, in place. A bad update (a
// hostile PC can send one that first changes the size and then fails) leaves Picture() exactly as it
// was, its pixels where they were.
//
// Owns the picture. Picture() stays valid until the next call of Apply or Replace. Not thread-safe;
// one owner.
class TScreenPicture {
 public:
  // Applies one update; throws EScreenUpdate (ApplyScreenUpdate's reasons), and Picture() is then
  // unchanged.
  void Apply(TByteView AUpdate);
  // The picture (0 x 0 before the first one).
  const TBitmap32& Picture() const { return FPicture; }
  // Where the last Apply painted (picture coordinates), until the next call of Apply or Replace.
  const std::vector<TRect>& LastPainted() const { return FPainted; }
  // The picture at AW x AH (black when the size changes), to be written in place by a source other
  // than tile updates (a decoded video frame, a picture for tests).
  TBitmap32& Replace(int AW, int AH);

 private:
  TCompactDecoder FCompact;    // for compact updates
  TBitmap32 FPicture;          // the picture
  std::vector<TRect> FPainted; // the tiles of the last update
};

// ---- Platform side of the capture ----------------------------------------------------------------

// Which parts of the picture a grab wrote.
struct TGrabChanges {
  bool All = false;
  std::vector<TRect> Rects; // picture coordinates
};

enum class TGrabStatus {
  gsOk,        // ABitmap holds the current picture
  gsNoPicture, // nothing to give now (for example no first frame yet); try another source
  gsLost,      // the grab can no longer be used and must be recreated
};

// One way of reading one monitor's picture. Owned by the capturer; used on its thread only.
class IScreenGrab {
 public:
  virtual ~IScreenGrab() = default;
  // Copies the picture into ABitmap, which the caller has sized to the grab's area. AKeep: ABitmap
  // still holds this grab's previous result except inside ARefresh, so only what changed (plus
  // ARefresh) must be written. AChanged receives what may have changed since that previous result.
  virtual TGrabStatus CopyTo(TBitmap32& ABitmap, bool AKeep, std::span<const TRect> ARefresh,
                             TGrabChanges& AChanged) = 0;
};

// The pointer's picture: premultiplied ARGB, one 32-bit value per pixel, rows top to bottom.
struct TPointerImage {
  int X = 0; // pointer position, desktop coordinates
  int Y = 0;
  int HotX = 0;
  int HotY = 0;
  int Width = 0;
  int Height = 0;
  std::vector<std::uint32_t> Pixels;
};

struct TMonitorInfo {
  std::string Name;
  TRect Rect;
  bool Primary = false;
};

// A running report of drawing on the desktop (IScreenBackend::WatchChanges). It reports the first
// change after it was made or re-armed, once; Rearm (any thread; the owner calls it just before it
// grabs) asks for the next report. Destroying it stops the reports: once the destructor returns, its
// callback is not running and is not called again.
class IChangeWatch {
 public:
  virtual ~IChangeWatch() = default;
  virtual void Rearm() = 0;
};

// The platform's screen: monitors, the two grabs and the pointer. Create() is defined by the
// platform library and returns a backend for the current display, or nullptr when there is none.
// A backend is used by one thread at a time.
class IScreenBackend {
 public:
  virtual ~IScreenBackend() = default;
  // Monitors with their real origins; the primary one flagged. Empty when unknown.
  virtual std::vector<TMonitorInfo> Monitors() = 0;
  // The shared-memory grab with damage reports. Throws std::runtime_error when it cannot be used.
  virtual std::unique_ptr<IScreenGrab> CreateDup(const TRect& AArea) = 0;
  // The plain screen copy; nullptr when unavailable.
  virtual std::unique_ptr<IScreenGrab> CreatePlain(const TRect& AArea) = 0;
  // The current pointer; false when it cannot be read.
  virtual bool GetPointer(TPointerImage& APointer) = 0;
  // Calls AOnChange, on a thread of the watch, soon after anything is drawn on the desktop (once per
  // IChangeWatch::Rearm); nullptr when the platform cannot tell. May be called from any thread; the
  // watch has a display connection of its own.
  virtual std::unique_ptr<IChangeWatch> WatchChanges(std::function<void()> AOnChange) {
    (void)AOnChange;
    return nullptr;
  }

  static std::shared_ptr<IScreenBackend> Create();
};

// Blends the pointer into ABitmap at (position - AOrigin - hot spot). Returns the rectangle it
// covered, clipped to the picture (empty when outside).
TRect DrawPointer(TBitmap32& ABitmap, const TPointerImage& APointer, TPoint AOrigin);

// The primary monitor of a list (the first one when none is flagged); empty rectangle for none.
TRect PrimaryMonitor(const std::vector<TMonitorInfo>& AMonitors);

// ---- Process-wide capture state -------------------------------------------------------------------

// The rectangle of the monitor being captured, set by the most recently created or re-aimed capturer;
// empty means the primary monitor. Readable from any thread.
TRect CaptureArea();
void SetCaptureArea(const TRect& ARect);
// Top-left corner of CaptureArea, or of the primary monitor last captured when the area is empty
// ((0, 0) before any capture).
TPoint CaptureOrigin();
// False while a secure (login) desktop is the input desktop. This backend always answers normal.
bool IsNormalDesktop();

// Grabs one monitor and encodes it as tile updates or hands it to a video encoder.
//
// Thread: one capturer is used by one thread at a time (the host's GUI thread, or its capture worker
// under the worker's lock); it has no thread or timer of its own and works only when called. The backend is shared and must outlive nothing else.
class TScreenCapturer {
 public:
  explicit TScreenCapturer(std::shared_ptr<IScreenBackend> ABackend);
  ~TScreenCapturer();
  TScreenCapturer(const TScreenCapturer&) = delete;
  TScreenCapturer& operator=(const TScreenCapturer&) = delete;

  // Aims at another monitor (desktop coordinates); empty = the primary monitor. The next grab re-sizes
  // and starts a complete sweep.
  void SetArea(const TRect& ARect);
  // Grabs and returns a compressed screen update, or empty when nothing changed or nothing was grabbed.
  // With FEncoder.FDeferDeflate the update may be unfinished (FUnfinished; see FinishPlainUpdate).
  TBytes CaptureUpdate(bool AFull);
  bool FUnfinished = false;  // the last CaptureUpdate's update is not compressed yet
  // Grabs for the video path. True when a picture is to be encoded: ABits points at row 0 of FCur
  // until the next call, AStride is the signed row distance.
  bool CaptureVideo(bool AFull, const std::uint8_t*& ABits, std::ptrdiff_t& AStride, int& AW, int& AH);
  // Monitors of the backend (empty without one).
  std::vector<TMonitorInfo> Monitors();
  // The backend's report of drawing (IScreenBackend::WatchChanges); nullptr without one.
  std::unique_ptr<IChangeWatch> WatchChanges(std::function<void()> AOnChange);

  TBitmap32 FCur;  // the picture just grabbed
  TBitmap32 FPrev; // what the viewer has been sent
  TTileEncoder FEncoder;
  std::string FDiag;   // one line on the last capture
  std::string FSource; // "gpu" (shared-memory grab) or "gdi" (plain copy)
  TRect FArea;         // empty = primary monitor
  bool FAllowSecureDesktop = false;
  // Use the grab's damage reports to skip unchanged tiles; off = compare every tile on each call.
  bool FUseDamage = true;
  TTick FDupNextTry = 0;

 private:
  bool Grab();
  void DropPicture();

  std::shared_ptr<IScreenBackend> FBackend;
  std::unique_ptr<IScreenGrab> FDup;
  std::unique_ptr<IScreenGrab> FPlain;
  TRect FGrabRect;       // area the pictures were sized for
  bool FCurFromDup = false; // FCur holds FDup's last result (plus the pointer)
  TRect FPointerRect;    // where the pointer was drawn into FCur (picture coordinates)
  std::vector<TRect> FBlankRects; // our own windows blanked in FCur (picture coordinates)
};

}  // namespace tovik
