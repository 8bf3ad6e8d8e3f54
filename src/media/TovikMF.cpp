#include "media/TovikMF.h"

#include <algorithm>
#include <cstdio>

#include "media/TovikPicture.h"

namespace tovik {

std::string MFFailed(const std::string& AStep, int AStatus) {
  char buf[32];
  std::snprintf(buf, sizeof buf, " failed (0x%.8x)", static_cast<unsigned>(AStatus));
  return AStep + buf;
}

int PaddedSide(int ASide) { return std::max(64, (ASide + 15) / 16 * 16); }

std::vector<TNal> FindNals(TByteView AData) {
  const std::size_t n = AData.size();
  const std::uint8_t* d = AData.data();
  struct TCode {
    std::size_t Begin, Payload;
  };
  std::vector<TCode> codes;
  std::size_t i = 0;
  while (i + 2 < n) {
    if (d[i + 2] > 1) {
      i += 3;
    } else if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      const std::size_t begin = (i > 0 && d[i - 1] == 0) ? i - 1 : i;
      codes.push_back({begin, i + 3});
      i += 3;
    } else {
      ++i;
    }
  }
  std::vector<TNal> out;
  for (std::size_t k = 0; k < codes.size(); ++k) {
    const std::size_t end = k + 1 < codes.size() ? codes[k + 1].Begin : n;
    if (end <= codes[k].Payload) continue;
    out.push_back({static_cast<int>(codes[k].Payload), static_cast<int>(end - codes[k].Payload),
                   d[codes[k].Payload] & 31});
  }
  return out;
}

bool HasNal(TByteView AData, int AKind) {
  for (const TNal& n : FindNals(AData))
    if (n.Kind == AKind) return true;
  return false;
}

// ---- encoder ----------------------------------------------------------------------------------------

TH264Encoder::TH264Encoder(int AWidth, int AHeight, int AFps, int ABitrateKbps, TEngineList AEngines)
    : FEngines(std::move(AEngines)) {
  if (AWidth <= 0 || AHeight <= 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Bad picture size %d x %d", AWidth, AHeight);
    throw ETovikMF(buf);
  }
  FParams.W = AWidth;
  FParams.H = AHeight;
  FParams.PadW = PaddedSide(AWidth);
  FParams.PadH = PaddedSide(AHeight);
  FParams.Fps = std::clamp(AFps, 1, 120);
  FParams.Kbps = std::clamp(ABitrateKbps, 100, 200000);
  FHwNote = FEngines.HwNote;
  if (!SetUp(FEngines.Hardware) && !SetUp(FEngines.Software))
    throw ETovikMF("No H.264 encoder could be set up: " + FLastError);
}

TH264Encoder::~TH264Encoder() = default;

std::string TH264Encoder::EncoderName() const {
  if (!FHardware && !FHwNote.empty()) return FName + " - " + FHwNote;
  return FName;
}

bool TH264Encoder::SetUp(const std::vector<TEngineChoice>& AList) {
  for (const TEngineChoice& c : AList) {
    try {
      std::unique_ptr<IH264Engine> e = c.Make ? c.Make(FParams) : nullptr;
      if (!e) throw ETovikMF("could not be created");
      FEngine = std::move(e);
      FHardware = c.Hardware;
      FName = c.Name;
      FKeyPending = true;
      FMisses = 0;
      FEverOutput = false;
      return true;
    } catch (const std::exception& ex) {
      FLastError = c.Name + ": " + ex.what();
      if (c.Hardware) FHwNote = "hardware encoder refused: " + FLastError;
    }
  }
  return false;
}

TBytes TH264Encoder::Encode(const std::uint8_t* ABgra, std::ptrdiff_t AStride, bool AForceKey) {
  if (!ABgra) throw ETovikMF("No picture to encode");
  if (AForceKey) FKeyPending = true;
  if (!FEngine && !SetUp(FEngines.Hardware) && !SetUp(FEngines.Software))
    throw ETovikMF("No H.264 encoder could be set up: " + FLastError);
  if (!FHardware) return EncodeOnce(ABgra, AStride);
  try {
    TBytes out = EncodeOnce(ABgra, AStride);
    if (FMisses >= (FEverOutput ? 10 : 2)) throw ETovikMF("no output");
    return out;
  } catch (const std::exception& e) {
    // Hardware gives way to software for good; the same picture goes to the software encoder.
    FLastError = FName + ": " + e.what();
    FHwNote = "hardware encoder dropped: " + FLastError;
    FEngine.reset();
    FEngines.Hardware.clear();
    if (!SetUp(FEngines.Software)) throw ETovikMF("No H.264 encoder left: " + FLastError);
    return EncodeOnce(ABgra, AStride);
  }
}

TBytes TH264Encoder::EncodeOnce(const std::uint8_t* ABgra, std::ptrdiff_t AStride) {
  const TNV12Target t = FEngine->Input();
  if (!t.Y || !t.UV) throw ETovikMF("Input buffer too small");
  BgraToNV12Planes(ABgra, AStride, FParams.W, FParams.H, t.Y, t.YStride, t.UV, t.UVStride, FParams.PadW,
                   FParams.PadH);
  TBytes out = FEngine->Encode(FKeyPending);
  FKeyPending = false;
  bool picture = false;
  for (const TNal& n : FindNals(out)) picture |= n.Kind >= kNalSlice && n.Kind <= kNalIdr;
  if (picture) {
    FMisses = 0;
    FEverOutput = true;
  } else {
    ++FMisses;
  }
  AddHeaders(out);
  return out;
}

void TH264Encoder::AddHeaders(TBytes& AOut) {
  const std::vector<TNal> nals = FindNals(AOut);
  const TNal* sps = nullptr;
  const TNal* pps = nullptr;
  bool idr = false;
  for (const TNal& n : nals) {
    if (n.Kind == kNalSps && !sps) sps = &n;
    if (n.Kind == kNalPps && !pps) pps = &n;
    idr |= n.Kind == kNalIdr;
  }
  static constexpr std::uint8_t kCode[4] = {0, 0, 0, 1};
  if (sps) {
    FHeaders.assign(kCode, kCode + 4);
    FHeaders.insert(FHeaders.end(), AOut.begin() + sps->Start, AOut.begin() + sps->Start + sps->Len);
    if (pps) {
      FHeaders.insert(FHeaders.end(), kCode, kCode + 4);
      FHeaders.insert(FHeaders.end(), AOut.begin() + pps->Start, AOut.begin() + pps->Start + pps->Len);
    }
    return;
  }
  if (!idr || FHeaders.empty()) return;
  std::size_t at = 0;
  if (nals.front().Kind == kNalAud) at = static_cast<std::size_t>(nals.front().Start + nals.front().Len);
  AOut.insert(AOut.begin() + static_cast<std::ptrdiff_t>(at), FHeaders.begin(), FHeaders.end());
}

}  // namespace tovik
