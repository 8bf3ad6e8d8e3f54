// The network client as a session's peer link.
//
// TClientSessionLink makes a connected TTovikClient the ISessionLink of one TTovikSession: the
// partner's properties come from the client, SendData seals and sends one peer packet, Disconnect
// ends the peer link with BYE. ClientDataRoute builds the handler that feeds the client's binary
// packets (its OnData) into the session's OnPeerData.
//
// The client's Disconnect fires its OnDisconnected before it returns, so the owner may free the session
// inside that call; the session only ever calls Disconnect from deferred work that touches nothing of
// the session afterwards.
//
// Ownership: the link does not own the client; the client must outlive the link, and the link must
// outlive the session that uses it. The route holds the session's alive token, so a packet that
// arrives after the session is gone is dropped instead of reaching freed memory.
//
// Threads: client thread (the GUI thread in the program) only, like the client and the session.
#pragma once

#include <string>

#include "net/TovikNet.h"
#include "session/TovikSessionIntf.h"

namespace tovik {

class TTovikSession;

class TClientSessionLink final : public ISessionLink {
 public:
  explicit TClientSessionLink(TTovikClient& AClient) : FClient(AClient) {}

  std::string PartnerID() const override;
  std::string PartnerName() const override;
  std::string CheckNumber() const override;
  std::string PeerAddress() const override;
  bool ViaRelay() const override;
  TBytes KeyBinding() const override;
  void SendData(TByteView AData) override;
  void SendBatch(std::span<const TBytes> AData) override;
  void Disconnect() override;

  TTovikClient& Client() const { return FClient; }

 private:
  TTovikClient& FClient;
};

// A handler for TTovikClient::OnData that passes every packet to ASession.OnPeerData while the
// session lives, and does nothing once it has been destroyed.
TTovikClient::TDataEvent ClientDataRoute(TTovikSession& ASession);

// Sets AClient.OnData to ClientDataRoute(ASession). The owner clears AClient.OnData (or attaches
// the next session) when it frees this one; a stale route only drops packets.
void AttachSession(TTovikClient& AClient, TTovikSession& ASession);

}  // namespace tovik
