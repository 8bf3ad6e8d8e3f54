// Frame transport end to end: a host-side sender and a viewer-side receiver joined by lossy pipes,
// driven at the session's pace under the manual clock.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "FramesTestUtil.h"
#include "LossyPipe.h"
#include "base/TovikClock.h"
#include "net/TovikFrames.h"

namespace tovik {
namespace {

struct TLossCase {
  double Loss;
  bool Legacy;
  bool Blackout = false;  // nothing gets through for 3 s, so that the host gives frames up
  bool Paced = false;     // windowed and paced by the viewer's feedback
};

class FramesLossyTest : public ::testing::TestWithParam<TLossCase> {};

// Frame n: its ID in the first 4 bytes, then bytes of a size that varies from under one chunk to many.
TBytes FrameBlob(std::uint32_t id, std::mt19937& rng) {
  static const std::size_t sizes[] = {4, 1200, 2401, 9000, 30'000, 100'000};
  TBytes b = test::Blob(sizes[rng() % 6] + rng() % 1000, id);
  TBytes head;
  PutU32LE(head, id);
  std::copy(head.begin(), head.end(), b.begin());
  return b;
}

// Every frame the host did not give up arrives intact, and frames arrive in the order started.
TEST_P(FramesLossyTest, FramesArriveIntactAndInOrder) {
  const auto [loss, legacy, blackout, paced] = GetParam();
  TManualClock clock;
  test::TLossyPipe down({.DelayMs = 10, .JitterMs = 15, .Loss = loss, .Duplicate = 0.03, .Seed = 21});
  test::TLossyPipe up({.DelayMs = 10, .JitterMs = 15, .Loss = loss, .Duplicate = 0.03, .Seed = 22});
  TFrameWindowSender host;
  host.SetLegacy(legacy);
  host.SetMaxInFlight(4);
  host.SetPaced(paced);
  TFrameReceiver single;
  TFrameWindowReceiver windowed;
  std::mt19937 rng(4);

  const std::uint32_t total = 300;
  std::vector<TBytes> sent(total + 1);
  std::set<std::uint32_t> givenUp, inFlight;
  std::vector<std::uint32_t> delivered;
  int cancels = 0;

  auto deliver = [&](const TBytes& blob) {
    ASSERT_GE(blob.size(), 4u);
    const std::uint32_t id = GetU32LE(blob.data());
    ASSERT_TRUE(id >= 1 && id <= total);
    EXPECT_EQ(blob, sent[id]) << "frame " << id << " damaged";
    if (!delivered.empty()) {
      ASSERT_GT(id, delivered.back()) << "out of order";
    }
    delivered.push_back(id);
  };

  for (int ms = 0; ms < 600'000; ++ms) {
    if (ms % 10 == 0) {
      // Host: give up a frame stuck for 2 s, start new frames while the window has room, pump.
      if (host.InFlight() && clock.Now() - host.OldestStarted() > 2000) {
        // Frames from the oldest in flight on may be lost: those in flight, and, in windowed mode, later
        // ones that were complete at the viewer but queued behind a frame given up.
        for (std::uint32_t id = *inFlight.begin(); id <= host.LastID(); ++id) givenUp.insert(id);
        inFlight.clear();
        host.Cancel();
        ++cancels;
      }
      while (host.LastID() < total && host.CanStart()) {
        const std::uint32_t id = host.LastID() + 1;
        sent[id] = FrameBlob(id, rng);
        ASSERT_TRUE(host.Start(sent[id], clock.Now()));
        inFlight.insert(id);
        down.SendAll(paced ? host.NextPacedPackets(clock.Now()) : host.NextPackets(40, clock.Now()));
      }
      down.SendAll(paced ? host.NextPacedPackets(clock.Now()) : host.NextPackets(40, clock.Now()));
      if (paced)
        if (TBytes fb = windowed.TakeFeedback(); !fb.empty()) up.Send(std::move(fb));
      // Viewer: ask for what is missing.
      TBytes nack;
      if (legacy && single.PendingNack(nack, 20, clock.Now())) up.Send(std::move(nack));
      if (!legacy) up.SendAll(windowed.PendingNacks(20, clock.Now()));
    }
    if (blackout && ms >= 1000 && ms < 4000) {
      down.Receive();
      up.Receive();
    }
    for (auto& p : down.Receive()) {
      TBytes reply, blob;
      if (legacy) {
        if (single.HandleChunk(p, blob, reply, clock.Now())) deliver(blob);
      } else {
        for (const auto& f : windowed.HandleChunk(p, reply, clock.Now())) deliver(f);
      }
      if (!reply.empty()) up.Send(std::move(reply));
      if (paced && windowed.ChunksSinceFeedback() >= kFeedbackEvery) up.Send(windowed.TakeFeedback());
    }
    for (auto& p : up.Receive()) {
      std::uint32_t took = 0;
      if (p[0] == pkFrameAck) {
        if (host.HandleAck(p, took, clock.Now())) inFlight.erase(GetU32LE(p.data() + 1));
      } else if (p[0] == pkFrameFeedback) {
        host.HandleFeedback(p, clock.Now());
      } else {
        host.HandleNack(p);
      }
    }
    if (HasFatalFailure()) return;
    if (host.LastID() == total && !host.InFlight()) break;
    clock.Advance(1);
  }
  ASSERT_FALSE(host.InFlight()) << "not finished in time";
  // The windowed receiver may drop frames that were complete but queued behind a frame given up; in
  // single-frame mode a frame completes at the viewer before the host hears of it.
  std::set<std::uint32_t> got(delivered.begin(), delivered.end());
  for (std::uint32_t id = 1; id <= total; ++id)
    if (!givenUp.contains(id)) {
      EXPECT_TRUE(got.contains(id)) << "frame " << id << " lost";
    }
  if (blackout) {
    EXPECT_GT(cancels, 0);
    EXPECT_GT(delivered.back(), *givenUp.rbegin()) << "delivery goes on after frames were given up";
  }
  EXPECT_LE(givenUp.size(), total / 10) << "the transport repairs losses instead of giving up";
  if (paced) {
    // The viewer's reports keep coming through duplicates and losses: the pacer hears of most of what
    // got through.
    const double through = static_cast<double>(host.Pacer().SentBytes()) * (1 - loss);
    EXPECT_GT(static_cast<double>(host.Pacer().DeliveredBytes()), 0.7 * through);
  }
  RecordProperty("cancels", cancels);
}

std::string CaseName(const testing::TestParamInfo<TLossCase>& info) {
  return std::string(info.param.Legacy ? "Single" : info.param.Paced ? "Paced" : "Windowed") + "Loss" +
         std::to_string(static_cast<int>(info.param.Loss * 100)) + (info.param.Blackout ? "Blackout" : "");
}

INSTANTIATE_TEST_SUITE_P(Pipes, FramesLossyTest,
                         ::testing::Values(TLossCase{0.0, false}, TLossCase{0.05, false},
                                           TLossCase{0.20, false}, TLossCase{0.0, true},
                                           TLossCase{0.05, true}, TLossCase{0.20, true},
                                           TLossCase{0.05, false, true}, TLossCase{0.05, true, true},
                                           TLossCase{0.0, false, false, true}, TLossCase{0.05, false, false, true},
                                           TLossCase{0.20, false, false, true}, TLossCase{0.05, false, true, true}),
                         CaseName);

}  // namespace
}  // namespace tovik
