// TovikNet: the network client.
//
// TTovikClient owns one UDP socket and two links over it: the sealed command link to the relay (name
// resolution, key exchange with key pinning, keep-alive, reconnection, TCP fallback) and the sealed
// link to a partner PC (introduction by the relay, hole punching, relaying, liveness).
//
// The client opens nothing itself: sockets come from an INetBackend (POSIX in the program, the
// simulator in tests). Time comes from TickMs(). The timers are methods that a driver calls:
// MainTick every 1000 ms, PunchTick every 200 ms while PunchTimerActive(), PingTick every 5000 ms while
// PingTimerActive(), RxTick every 5 ms (see TTovikNetDriver in TovikNetDriver.h).
//
// Threads: every method and every event runs on one thread, the "client thread" (the GUI thread in the
// program). Only PushRx (the IRxSink side) is called from the backend's threads; it appends to the
// receive queue under FRxLock. Lock order: FSendLock is never held while FRxLock is taken; a send under
// FSendLock may take the TCP link's outbox lock, never the other way round. Events are fired with no
// lock held, so a handler may call back into the client (send, disconnect) at once. A handler must not
// destroy the client.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "crypto/TovikCrypto.h"
#include "net/TovikSocket.h"
#include "net/TovikWire.h"

namespace tovik {

enum TTovikState : std::uint8_t { rsOffline = 0, rsRegistered = 1, rsPunching = 2, rsConnected = 3 };

struct TTovikAddr {
  std::string IP;  // empty: through the relay
  std::uint16_t Port = 0;
  bool operator==(const TTovikAddr&) const = default;
};

// Process-wide values of this module. Client thread only.
extern std::string TcpPortsText;   // the TCP fallback ports as text, "8443,443,80" at start
extern bool TcpPortsChanged;       // set when the relay announced other ports
extern std::string LastLinkInfo;   // one line about the last peer link attempt

// FormatID (an ID as people read it) lives in base/TovikBytes.h.
// ParsePortList and PortListText (the TCP fallback port lists) live in net/TovikWire.h, shared with
// the relay.

// Limits of the receive path: datagrams beyond these wait in no queue (they are dropped), so a flood
// cannot exhaust memory between two RxTicks.
constexpr std::size_t KRxQueueMaxPackets = 65536;
constexpr std::size_t KRxQueueMaxBytes = 64 * 1024 * 1024;

class TTovikClient final : private IRxSink {
 public:
  using TNotifyEvent = std::function<void()>;
  using TTextEvent = std::function<void(const std::string&)>;
  using TDataEvent = std::function<void(TByteView)>;
  using TPinEvent = std::function<void(bool AOK, const std::string& AText)>;

  // ABackend must outlive the client. ARelayKeyHex: the pinned relay key (128 hex digits), anything
  // else means that no key is pinned yet.
  TTovikClient(INetBackend& ABackend, std::string ARelayHost, std::uint16_t ARelayPort,
               std::string_view ARelayKeyHex);
  // Ends a live peer link with BYE, says BYE to the relay and stops the TCP link.
  ~TTovikClient() override;
  TTovikClient(const TTovikClient&) = delete;
  TTovikClient& operator=(const TTovikClient&) = delete;

  // Opens the socket, makes the first peer key, resolves the relay and runs MainTick once.
  void Start();

  // Relay commands of other features. False (nothing sent) while no secure relay session exists.
  bool SendBookCommand(std::string_view AText);
  // Keep this PC's ID (AID empty: the current one) with a 64-hex-digit secret; UnpinID goes back to
  // one-time IDs.
  void PinID(std::string_view AID, std::string_view ASecretHex);
  void UnpinID();
  // Asks the relay to introduce the partner with this ID.
  void ConnectTo(std::string_view AID);
  // Peer link: a text message, a binary session packet (first byte 0x81..0x8B), and hanging up.
  void SendText(std::string_view AText);
  // Seals and sends at once while connected. Returns whether it was handed to the socket. Packets
  // whose first byte is below 0x80 are refused: the partner would read them as link commands.
  bool SendData(TByteView AData);
  void Disconnect();

  // Timers (client thread).
  void MainTick();
  void PunchTick();
  void PingTick();
  void RxTick();
  bool Started() const { return FStarted; }
  bool PunchTimerActive() const { return FPunchTimerOn; }
  bool PingTimerActive() const { return FPingTimerOn; }
  // Incremented whenever a timer is (re)started, so a driver can restart its interval.
  std::uint32_t PunchTimerStarts() const { return FPunchTimerStarts; }
  std::uint32_t PingTimerStarts() const { return FPingTimerStarts; }

  // The receive queue as a sink (any thread): what the sockets push to.
  IRxSink& RxSink() { return *this; }
  // One received datagram (what RxTick does for each queued packet). Public for tests and fuzzing.
  void DispatchPacket(const TRxPacket& APacket);
  // One relay text line (what a sealed 0x12 datagram carries). Public for tests and fuzzing.
  void HandleServerLine(std::string_view ALine);

  // Properties.
  const std::string& MyID() const { return FMyID; }
  const std::string& RelayHost() const { return FRelayHost; }
  TTovikState State() const { return FState; }
  std::string PeerAddress() const;
  const std::string& PartnerID() const { return FPartnerID; }
  const std::string& PartnerName() const { return FPartnerName; }
  bool Unattended() const { return FUnattended; }
  void SetUnattended(bool AValue) { FUnattended = AValue; }
  std::int64_t IDSecondsLeft() const;
  bool IDPinned() const { return FIDPinned; }
  const std::string& CheckNumber() const { return FCheckNumber; }
  bool RelaySecure() const { return FRelay != nullptr; }
  bool RelayBlocked() const { return FRelayBlocked; }
  std::string RelayFingerprint() const { return KeyFingerprint(FRelayKey); }
  const TBytes& RelayKey() const { return FRelayKey; }
  std::string Transport() const;
  const std::string& RelayIP() const { return FRelayIP; }
  std::uint16_t RelayPort() const { return FRelayPort; }
  bool ViaRelay() const { return FPeerViaRelay; }
  const std::string& RelayStatus() const { return FRelayStatus; }
  std::uint16_t LocalPort() const;
  const TBytes& PeerPublicKey() const { return FPeerKey->Public(); }
  const std::vector<std::uint16_t>& TcpPorts() const { return FTcpPorts; }
  bool TcpActive() const { return FTcp != nullptr; }
  std::uint16_t TcpPort() const { return FTcpPort; }

  // Events (client thread; each may be empty).
  TNotifyEvent OnID;
  TNotifyEvent OnConnected;
  TNotifyEvent OnDisconnected;
  TTextEvent OnFailed;
  TTextEvent OnMessage;
  TTextEvent OnLog;
  TDataEvent OnData;
  TTextEvent OnRelayKeyPinned;
  TTextEvent OnRelayStatus;
  TPinEvent OnPin;
  TTextEvent OnBook;
  TTextEvent OnReply;
  TTextEvent OnBrand;

 private:
  // IRxSink: any thread.
  void PushRx(TRxPacket&& APacket) override;

  // Server link.
  void Log(const std::string& AText);
  void SetRelayStatus(const std::string& AText);
  void ResolveRelay();
  void SendRaw(const std::string& AIP, std::uint16_t APort, TByteView AData);
  void SendServer(std::string_view AText);
  void SendHandshake();
  void HandleRelayPacket(const TRxPacket& APacket);
  void HandleHandshakeReply(TByteView AData);
  void DropRelay(const std::string& AReason);
  void SendHello();
  void StartTcp();
  void NextTcpPort();
  void StopTcp();
  bool IsRelay(const std::string& AIP, std::uint16_t APort) const;

  // Commands.
  void HandleIDLine(const std::vector<std::string_view>& AFields);
  void HandleErrLine(std::string_view ALine, const std::vector<std::string_view>& AFields);
  void SendPin();

  // Peer link.
  void NewPeerKey();
  void HandlePeerIntro(const std::vector<std::string_view>& AFields);
  void PeerLinkUp(const TTovikAddr& AAddr);
  void EndPeerSession(bool ASendBye);
  void FailConnect(const std::string& AMessage);
  void PeerLost(const std::string& AMessage);
  void HandlePeerPacket(TByteView APacket, const TTovikAddr& AFrom);
  void SendPeerText(const TTovikAddr& AAddr, std::string_view AText);
  void SendPeerRaw(const TTovikAddr& AAddr, TByteView APacket);
  void StopPeerTimers();
  void StartPunchTimer();
  void StartPingTimer();
  std::string LinkInfoPrefix() const;

  INetBackend& FBackend;

  // Server link.
  std::unique_ptr<IUdpSocket> FUDP;
  bool FStarted = false;
  std::vector<TRxPacket> FRxQueue;
  std::size_t FRxQueuedBytes = 0;
  std::mutex FRxLock;              // guards FRxQueue, FRxQueuedBytes
  std::mutex FSendLock;            // around every send and around replacing FTcp
  std::string FRelayHost;
  std::string FRelayIP;
  std::uint16_t FRelayPort;
  TTick FLastResolve = 0;
  TBytes FRelayKey;
  bool FRelayBlocked = false;
  std::unique_ptr<TEcdhKey> FRelayEcdh;
  TBytes FRelayRandom;
  std::unique_ptr<TSecureChannel> FRelay;
  TTick FLastHandshake = 0;
  TTick FLastHello = 0;
  TTick FLastRelayRx = 0;
  bool FUnattended = false;
  std::string FLocalIP = "0.0.0.0";
  std::string FMyID = "0";
  TTick FIDExpires = 0;
  bool FIDPinned = false;
  std::string FPinID;
  std::string FPinSecret;
  TTovikState FState = rsOffline;
  std::vector<std::uint16_t> FTcpPorts;
  std::size_t FTcpIndex = 0;
  bool FTcpNext = false;
  std::uint16_t FTcpPort = 0;
  std::unique_ptr<IRelayTcpLink> FTcp;
  TTick FTcpTried = 0;
  int FUdpTries = 0;
  int FTcpTries = 0;
  std::string FRelayStatus;

  // Peer link.
  bool FInitiator = false;
  std::unique_ptr<TEcdhKey> FPeerKey;
  std::unique_ptr<TSecureChannel> FPeerChannel;
  std::string FPartnerID;
  std::string FPartnerName;
  std::string FCheckNumber;
  std::vector<TTovikAddr> FCandidates;
  int FPunchTries = 0;
  TTovikAddr FPeer;
  bool FPeerViaRelay = false;
  char FPartnerRelay = '-';
  bool FRelayPunch = false;
  TTick FLastPeerRx = 0;
  bool FPunchTimerOn = false;
  bool FPingTimerOn = false;
  std::uint32_t FPunchTimerStarts = 0;
  std::uint32_t FPingTimerStarts = 0;
  TBytes FSealBuf;  // reused for sealing peer packets
};

}  // namespace tovik
