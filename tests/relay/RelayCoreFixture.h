// Drives a TRelayCore with scripted PCs and a manual clock.
#pragma once

#include <gtest/gtest.h>

#include <deque>

#include "RelayTestClient.h"
#include "TovikRelayCore.h"
#include "base/TovikClock.h"

namespace tovik::test {

struct TPc {
  TRelayEndpoint Ep;
  TRelayTestClient C;
  std::deque<std::string> Lines;  // opened relay lines, oldest first
  std::vector<TBytes> Raw;        // everything else sent to this PC
  std::string ID;
};

class RelayCoreTest : public ::testing::Test {
 protected:
  TManualClock FClock{1'000'000, 1'700'000'000'000};
  TMemoryRelayStore FMemStore;
  IRelayStore* FStore = &FMemStore;
  TEcdsaKey FKey = TEcdsaKey::CreateNew();
  TRelayConfig FConfig;
  std::unique_ptr<TRelayCore> FCore;
  TRelayOutput FOut;
  std::vector<std::unique_ptr<TPc>> FPcs;
  std::vector<std::string> FLog;
  std::vector<TStoredMessage> FMailed;

  void SetUp() override {
    FConfig.Seed = 42;
    FConfig.OnLog = [this](std::string_view s) { FLog.emplace_back(s); };
    FConfig.OnFeedback = [this](const TStoredMessage& m) { FMailed.push_back(m); };
    Restart();
  }

  void Restart() {
    FPcs.clear();
    FCore = std::make_unique<TRelayCore>(FConfig, *FStore, FKey);
  }

  TTick Now() const { return FClock.Now(); }
  void Advance(TTick ms) {
    FClock.Advance(ms);
    FCore->Tick(Now(), FOut);
    Deliver();
  }

  TPc& NewPc(std::uint32_t ip, std::uint16_t port, std::uint64_t conn = 0) {
    auto pc = std::make_unique<TPc>();
    pc->Ep = TRelayEndpoint{ip, port, conn};
    FPcs.push_back(std::move(pc));
    return *FPcs.back();
  }

  void Deliver() {
    for (auto& d : FOut.Datagrams) {
      for (auto& pc : FPcs) {
        if (!(pc->Ep == d.To)) continue;
        if (auto line = pc->C.Open(d.Data)) pc->Lines.push_back(*line);
        else pc->Raw.push_back(d.Data);
      }
    }
    FOut.Datagrams.clear();
  }

  void Send(TPc& pc, TByteView data) {
    FCore->OnDatagram(pc.Ep, data, Now(), FOut);
    Deliver();
  }
  void Say(TPc& pc, const std::string& line) { Send(pc, pc.C.Line(line)); }

  // Handshake only.
  void Secure(TPc& pc) {
    Send(pc, pc.C.Hello());
    ASSERT_FALSE(pc.Raw.empty());
    ASSERT_TRUE(pc.C.Accept(pc.Raw.back()));
    pc.Raw.clear();
  }

  std::string HelloLine(TPc& pc, const std::string& id = "0", bool unattended = false) {
    return "HELLO " + id + " 192.168.1.10 50000 " + pc.C.CommitHex() + " 127.0.0.1 " + (unattended ? "1" : "0");
  }

  // Handshake, HELLO, and the ID the relay gave.
  TPc& Online(std::uint32_t ip, std::uint16_t port, std::uint64_t conn = 0) {
    TPc& pc = NewPc(ip, port, conn);
    Secure(pc);
    Say(pc, HelloLine(pc));
    const std::string first = Take(pc);
    EXPECT_EQ(first.rfind("ID ", 0), 0u) << first;
    pc.ID = first.substr(3, 9);
    pc.Lines.clear();
    return pc;
  }

  std::string Take(TPc& pc) {
    if (pc.Lines.empty()) return "(nothing)";
    std::string s = pc.Lines.front();
    pc.Lines.pop_front();
    return s;
  }
};

}  // namespace tovik::test
