// Two selective message channels, one at each end of a bottleneck path (one TSimBottleneck each way),
// driven on virtual time as the session drives them: every packet that has arrived is handled at
// once, and both ends poll their channel every 10 ms. Received data is counted in Got.
//
// Deterministic for the links' seeds; everything runs on the caller's thread; not thread-safe.
#pragma once

#include <cstdint>
#include <utility>

#include "net/TovikFrames.h"
#include "tests/sim/TovikSimBottleneck.h"

namespace tovik::sim {

struct TSimChannelPath {
  TSimChannelPath(const TBottleneckParams& AFwd, const TBottleneckParams& ABack) : Fwd(AFwd), Back(ABack) {
    A.SetSelective(true);
    B.SetSelective(true);
  }

  // One millisecond.
  void Step() {
    for (auto& p : Fwd.Receive(Now))
      for (auto& m : B.HandleMsg(p)) Got += m.Data.size();
    for (auto& p : Back.Receive(Now)) A.HandleAck(p, Now);
    if (Now % 10 == 0) {
      for (auto& p : A.Poll(Now)) Fwd.Send(std::move(p), Now);
      for (auto& p : B.Poll(Now)) Back.Send(std::move(p), Now);
    }
    ++Now;
  }

  // Posts AData from A to B at once (as a file transfer would, were it not fed in step with the path)
  // and steps until all of it has arrived: the milliseconds it took, or 0 when it had not arrived
  // after ALimitMs.
  TTick Transfer(TByteView AData, TTick ALimitMs) {
    const TTick from = Now;
    const std::uint64_t want = Got + AData.size();
    A.PostBytes(4, AData);
    while (Got < want && Now - from < ALimitMs) Step();
    return Got >= want ? Now - from : 0;
  }

  TSimBottleneck Fwd, Back;
  TMsgChannel A, B;
  TTick Now = 1'000'000;
  std::uint64_t Got = 0;
};

}  // namespace tovik::sim
