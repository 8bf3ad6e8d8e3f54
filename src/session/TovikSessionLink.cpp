#include "session/TovikSessionLink.h"

#include "session/TovikSession.h"

namespace tovik {

std::string TClientSessionLink::PartnerID() const { return FClient.PartnerID(); }
std::string TClientSessionLink::PartnerName() const { return FClient.PartnerName(); }
std::string TClientSessionLink::CheckNumber() const { return FClient.CheckNumber(); }
std::string TClientSessionLink::PeerAddress() const { return FClient.PeerAddress(); }
bool TClientSessionLink::ViaRelay() const { return FClient.ViaRelay(); }
TBytes TClientSessionLink::KeyBinding() const { return FClient.KeyBinding(); }

// The client refuses what it cannot send (no link, an empty packet); nothing is queued.
void TClientSessionLink::SendData(TByteView AData) { FClient.SendData(AData); }
void TClientSessionLink::SendBatch(std::span<const TBytes> AData) { FClient.SendDataBatch(AData); }

void TClientSessionLink::Disconnect() { FClient.Disconnect(); }

TTovikClient::TDataEvent ClientDataRoute(TTovikSession& ASession) {
  return [guard = ASession.Guard(), session = &ASession](TByteView AData) {
    if (guard && guard->IsAlive()) session->OnPeerData(AData);
  };
}

void AttachSession(TTovikClient& AClient, TTovikSession& ASession) { AClient.OnData = ClientDataRoute(ASession); }

}  // namespace tovik
