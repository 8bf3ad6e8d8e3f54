// OpenH264 (Cisco's encoder) as the last software encoder. The library is loaded at run time, so the
// program runs without it and a distributor may ship Cisco's own binary; only a library of the
// version these headers describe is used, because the encoder's interface is a table of virtual
// functions that changes between versions.
#include "TovikOpenH264.h"

#include <dlfcn.h>
#include <wels/codec_api.h>
#include <wels/codec_ver.h>

#include <cstring>
#include <string>

namespace tovik {

namespace {

using TCreateEncoder = int (*)(ISVCEncoder**);
using TDestroyEncoder = void (*)(ISVCEncoder*);
using TGetVersion = void (*)(OpenH264Version*);

struct TOpenH264Library {
  TCreateEncoder Create = nullptr;
  TDestroyEncoder Destroy = nullptr;
  std::string Error;  // why it cannot be used; empty when it can
};

// Loaded once per process and kept to the end.
const TOpenH264Library& Library() {
  static const TOpenH264Library lib = [] {
    TOpenH264Library l;
    void* handle = nullptr;
    for (const char* name : {"libopenh264.so.7", "libopenh264.so"})
      if ((handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL)) != nullptr) break;
    if (!handle) {
      l.Error = "libopenh264 is not installed";
      return l;
    }
    const auto version = reinterpret_cast<TGetVersion>(::dlsym(handle, "WelsGetCodecVersionEx"));
    l.Create = reinterpret_cast<TCreateEncoder>(::dlsym(handle, "WelsCreateSVCEncoder"));
    l.Destroy = reinterpret_cast<TDestroyEncoder>(::dlsym(handle, "WelsDestroySVCEncoder"));
    if (!version || !l.Create || !l.Destroy) {
      l.Error = "libopenh264 lacks the encoder's entry points";
      return l;
    }
    OpenH264Version v{};
    version(&v);
    if (static_cast<int>(v.uMajor) != OPENH264_MAJOR || static_cast<int>(v.uMinor) != OPENH264_MINOR) {
      l.Error = "libopenh264 " + std::to_string(v.uMajor) + "." + std::to_string(v.uMinor) + " is not version " +
                std::to_string(OPENH264_MAJOR) + "." + std::to_string(OPENH264_MINOR);
      l.Create = nullptr;
    }
    return l;
  }();
  return lib;
}

// The screen settings: one spatial layer, Baseline, constant bit rate without skipped pictures (a
// skipped picture would leave a stale screen), a key frame every 600 pictures or when asked, BT.601
// limited range as the stream's VUI says. NV12 in (as the other engines), I420 to the library.
class TOpenH264Engine final : public IH264Engine {
 public:
  explicit TOpenH264Engine(const TEncoderParams& AParams) : FW(AParams.PadW), FH(AParams.PadH) {
    const TOpenH264Library& lib = Library();
    if (!lib.Error.empty()) throw ETovikMF(lib.Error);
    if (lib.Create(&FEnc) != 0 || !FEnc) throw ETovikMF("WelsCreateSVCEncoder failed");
    SEncParamExt s;
    std::memset(&s, 0, sizeof s);
    FEnc->GetDefaultParams(&s);
    s.iUsageType = SCREEN_CONTENT_REAL_TIME;
    s.iPicWidth = FW;
    s.iPicHeight = FH;
    s.iTargetBitrate = AParams.Kbps * 1000;
    s.iMaxBitrate = AParams.Kbps * 1000;
    s.iRCMode = RC_BITRATE_MODE;
    // Key frames of a screen may take more than their share rather than blur the text.
    s.iMinQp = 12;
    s.iMaxQp = 32;
    s.fMaxFrameRate = static_cast<float>(AParams.Fps);
    s.uiIntraPeriod = 600;
    s.eSpsPpsIdStrategy = CONSTANT_ID;
    s.bEnableFrameSkip = false;
    s.iMultipleThreadIdc = 1;
    s.iSpatialLayerNum = 1;
    s.iTemporalLayerNum = 1;
    s.iEntropyCodingModeFlag = 0;
    SSpatialLayerConfig& layer = s.sSpatialLayers[0];
    layer.iVideoWidth = FW;
    layer.iVideoHeight = FH;
    layer.fFrameRate = static_cast<float>(AParams.Fps);
    layer.iSpatialBitrate = s.iTargetBitrate;
    layer.iMaxSpatialBitrate = s.iMaxBitrate;
    layer.uiProfileIdc = PRO_BASELINE;
    layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
    layer.bVideoSignalTypePresent = true;
    layer.uiVideoFormat = VF_UNDEF;
    layer.bFullRange = false;
    layer.bColorDescriptionPresent = true;
    layer.uiColorPrimaries = CP_SMPTE170M;
    layer.uiTransferCharacteristics = TRC_SMPTE170M;
    layer.uiColorMatrix = CM_SMPTE170M;
    if (FEnc->InitializeExt(&s) != cmResultSuccess) {
      lib.Destroy(FEnc);
      FEnc = nullptr;
      throw ETovikMF("OpenH264 refused " + std::to_string(FW) + " x " + std::to_string(FH));
    }
    int format = videoFormatI420;
    FEnc->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
    FTimeStep = 1000 / std::max(AParams.Fps, 1);
    FY.resize(static_cast<std::size_t>(FW) * FH);
    FUV.resize(FY.size() / 2);
    FU.resize(FY.size() / 4);
    FV.resize(FY.size() / 4);
  }

  ~TOpenH264Engine() override {
    if (!FEnc) return;
    FEnc->Uninitialize();
    Library().Destroy(FEnc);
  }

  TNV12Target Input() override { return {FY.data(), FW, FUV.data(), FW}; }

  TBytes Encode(bool AKey) override {
    for (std::size_t i = 0; i < FU.size(); ++i) {
      FU[i] = FUV[i * 2];
      FV[i] = FUV[i * 2 + 1];
    }
    if (AKey) FEnc->ForceIntraFrame(true);
    SSourcePicture pic;
    std::memset(&pic, 0, sizeof pic);
    pic.iColorFormat = videoFormatI420;
    pic.iPicWidth = FW;
    pic.iPicHeight = FH;
    pic.iStride[0] = FW;
    pic.iStride[1] = pic.iStride[2] = FW / 2;
    pic.pData[0] = FY.data();
    pic.pData[1] = FU.data();
    pic.pData[2] = FV.data();
    pic.uiTimeStamp = FTime;
    FTime += FTimeStep;
    SFrameBSInfo info;
    std::memset(&info, 0, sizeof info);
    if (FEnc->EncodeFrame(&pic, &info) != cmResultSuccess) throw ETovikMF("OpenH264 could not encode a picture");
    TBytes out;
    if (info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid) return out;
    for (int i = 0; i < info.iLayerNum; ++i) {
      const SLayerBSInfo& layer = info.sLayerInfo[i];
      std::size_t size = 0;
      for (int n = 0; n < layer.iNalCount; ++n) size += static_cast<std::size_t>(layer.pNalLengthInByte[n]);
      out.insert(out.end(), layer.pBsBuf, layer.pBsBuf + size);
    }
    return out;
  }

 private:
  const int FW, FH;
  ISVCEncoder* FEnc = nullptr;
  TBytes FY, FUV, FU, FV;
  long long FTime = 0;
  int FTimeStep = 33;
};

}  // namespace

TEngineChoice OpenH264Engine() {
  return {"OpenH264 (software)", false, [](const TEncoderParams& p) { return std::make_unique<TOpenH264Engine>(p); }};
}

bool OpenH264Present() { return Library().Error.empty(); }

}  // namespace tovik
