// A small scripted relay for the simulator: handshake, sealed lines, IDs, PIN, CONNECT/PEER, 0x14
// forwarding, PARTNER GONE, over UDP and over the TCP fallback. Tests steer it (silence, renew, a
// different signing key, extra lines) and read what it received. It is a test double of the relay,
// not the relay itself.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "crypto/TovikCrypto.h"
#include "sim/TovikSim.h"

namespace tovik::sim {

class TSimRelay {
 public:
  struct TSession {
    TEndpoint From;              // public endpoint (UDP) or TCP source endpoint
    std::shared_ptr<TSimTcpConn> Tcp;  // set when the PC came over TCP
    std::unique_ptr<TSecureChannel> Channel;
    std::string ID = "0";
    std::string LanIP;
    std::uint16_t LanPort = 0;
    std::string PeerKey;         // the commitment to it, as HELLO and CONNECT carry it
    std::string Partner;         // partner's ID while introduced
    std::vector<std::string> Lines;  // lines received from this PC
  };

  TSimRelay(TSimHost& AHost, std::uint16_t AUdpPort = 47800, std::vector<std::uint16_t> ATcpPorts = {});

  TSimHost& Host() { return FHost; }
  const TBytes& SigningKey() const { return FKey.Public(); }
  void ReplaceKey() { FKey = TEcdsaKey::CreateNew(); }

  // Behaviour switches.
  bool Silent = false;           // drop everything received
  bool Relaying = true;          // offer relaying (mark T/U in PEER) and forward 0x14
  std::string IDSeconds = "600"; // third field of ID lines ("" for none)
  int HandshakeReplies = 0;      // count of 0x11 sent
  // Every line to a PC passes here first (the relay in the middle): it may change the line, or return
  // false to withhold it. AToID is the receiving PC's ID.
  std::function<bool(const std::string& AToID, std::string& ALine)> Rewrite;

  TSession* ByID(const std::string& AID);
  // All sessions ever created (the last one for an endpoint wins).
  std::vector<TSession*> Sessions();
  // Sends one line to the PC with this ID.
  void SendLine(const std::string& AID, const std::string& ALine);
  // Forgets every secure session (the next sealed packet gets a 0x13).
  void ForgetSessions();
  // Lines received from any PC, prefixed with its ID ("123456789 HELLO ...").
  std::vector<std::string> Received;

 private:
  void HandleDatagram(const TEndpoint& AFrom, const std::shared_ptr<TSimTcpConn>& ATcp, const TBytes& AData);
  void HandleLine(TSession& S, const std::string& ALine);
  void Send(TSession& S, TByteView AData);
  void SendTo(const TEndpoint& AFrom, const std::shared_ptr<TSimTcpConn>& ATcp, TByteView AData);
  void Introduce(TSession& A, TSession& B);
  void SendLineTo(TSession& S, std::string ALine);
  std::string Key(const TEndpoint& AFrom, const std::shared_ptr<TSimTcpConn>& ATcp) const;

  TSimHost& FHost;
  std::uint16_t FUdpPort;
  TEcdsaKey FKey;
  std::map<std::string, std::unique_ptr<TSession>> FSessions;  // by endpoint key
  std::vector<std::unique_ptr<TSession>> FOld;
  int FNextID = 100000001;
  std::vector<std::shared_ptr<TSimTcpConn>> FConns;
};

}  // namespace tovik::sim
