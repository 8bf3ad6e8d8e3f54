// TovikNet: the network client.
//
// TTovikClient owns one UDP socket and two links over it: the sealed command link to the relay (name
// resolution, key exchange with key pinning, keep-alive, reconnection, TCP fallback) and the sealed
// link to a partner PC (introduction by the relay, hole punching, relaying, liveness).
//
// The client opens nothing itself: sockets come from an INetBackend (POSIX in the program, the
// simulator in tests). It reads no clock: it is an ITimedObject (base/TovikTimed.h) and takes the time
// from HandleTimeout(now) and from the other methods that take a now (Start, DispatchPacket,
// HandleServerLine, the named ticks); the methods without one (ConnectTo, Disconnect, ...) use the
// last now it was given. Its named ticks run from inside HandleTimeout: MainTick every 1000 ms from
// Start, PunchTick every 200 ms while punching, PingTick every 5000 ms while the peer link is up, and
// RxTick, which drains the receive queue, due at once whenever datagrams wait there; one RxTick
// handles at most KRxTickMaxPackets of them, so that the driver's thread (the GUI thread in the
// program) gets its turns between slices of a flood, and datagrams that arrive while others wait
// share one wake-up and one RxTick. A driver
// asks NextDeadline after every event it delivers; SetRxWake tells it (from the receiving thread) that
// datagrams arrived, so that it can run the client at once.
//
// Threads: every method and every event runs on one thread, the "client thread" (the GUI thread in the
// program). Only PushRx and PushRxBatch (the IRxSink side) are called from the backend's threads; they
// append to the receive queue under FRxLock and call the wake-up with no lock held (once per batch).
// Lock order: FSendLock is never held while FRxLock is taken; a send under FSendLock may take the TCP link's outbox lock, never the
// other way round. Events are fired with no lock held, so a handler may call back into the client
// (send, disconnect) at once. A handler must not destroy the client.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "base/TovikTimed.h"
#include "crypto/TovikCrypto.h"
#include "net/TovikRelayHello.h"
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
// Datagrams one RxTick handles; the rest wait for the next one.
constexpr std::size_t KRxTickMaxPackets = 256;

// The periods of the client's named ticks.
constexpr TTick KMainTickMs = 1000;
constexpr TTick KPunchTickMs = 200;
constexpr TTick KPingTickMs = 5000;

class TTovikClient final : public ITimedObject, private IRxSink {
 public:
  using TNotifyEvent = std::function<void()>;
  using TTextEvent = std::function<void(const std::string&)>;
  using TDataEvent = std::function<void(TByteView)>;
  using TPinEvent = std::function<void(bool AOK, const std::string& AText)>;

  // ABackend must outlive the client. ARelayKeyHex: the pinned relay key (128 hex digits), anything
  // else means that no key is pinned yet.
  TTovikClient(INetBackend& ABackend, std::string ARelayHost, std::uint16_t ARelayPort,
               std::string_view ARelayKeyHex);
  // Ends a live peer link with BYE, says BYE to the relay and stops the TCP link (which writes what is
  // still in its outbox, the BYE among it, before it closes). Sleeps nowhere.
  ~TTovikClient() override;
  TTovikClient(const TTovikClient&) = delete;
  TTovikClient& operator=(const TTovikClient&) = delete;

  // Opens the socket, makes the first peer key, resolves the relay, runs MainTick once and starts the
  // main tick at ANow.
  void Start(TTick ANow);

  // ITimedObject: the earliest due tick (kNoDeadline before Start), and running every due one at ANow
  // (RxTick, PunchTick, PingTick, MainTick, in this order).
  TTick NextDeadline() const override;
  void HandleTimeout(TTick ANow) override;
  // Called on the receiving thread, with no lock held, when a datagram arrives while none waited: a
  // driver's thread-safe wake-up (it posts "run the client" to the client thread and returns). May be
  // empty. Any thread; a call of the previous one that is already under way may still finish after
  // this returns, none starts later. After the client is destroyed none is made any more.
  void SetRxWake(std::function<void()> AWake);

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
  // The same for several packets to the partner at once (sealed one after the other, handed to the
  // socket together): how many were handed over. Refused packets are skipped; the rest still go.
  std::size_t SendDataBatch(std::span<const TBytes> AData);
  void Disconnect();

  // The named ticks, as HandleTimeout runs them at their periods. Public for tests and fuzzing; a
  // driver calls HandleTimeout.
  void MainTick(TTick ANow);
  void PunchTick(TTick ANow);
  void PingTick(TTick ANow);
  void RxTick(TTick ANow);
  bool Started() const { return FStarted; }
  bool PunchTimerActive() const { return FPunchTick.Active(); }
  bool PingTimerActive() const { return FPingTick.Active(); }
  // The last now the client was given (it never moves back).
  TTick Now() const { return FNow; }

  // The receive queue as a sink (any thread): what the sockets push to.
  IRxSink& RxSink() { return *this; }
  // Whether datagrams wait for RxTick (any thread).
  bool RxWaiting() const { return FRxWaiting.load(); }
  // Datagrams and bytes waiting for RxTick (any thread).
  std::pair<std::size_t, std::size_t> RxQueued();
  // One received datagram at ANow (what RxTick does for each queued packet). Public for tests and
  // fuzzing.
  void DispatchPacket(const TRxPacket& APacket, TTick ANow);
  // One relay text line (what a sealed 0x12 datagram carries) at ANow. Public for tests and fuzzing.
  void HandleServerLine(std::string_view ALine, TTick ANow);

  // Properties.
  const std::string& MyID() const { return FMyID; }
  const std::string& RelayHost() const { return FRelayHost; }
  TTovikState State() const { return FState; }
  std::string PeerAddress() const;
  const std::string& PartnerID() const { return FPartnerID; }
  const std::string& PartnerName() const { return FPartnerName; }
  bool Unattended() const { return FUnattended; }
  void SetUnattended(bool AValue) { FUnattended = AValue; }
  // Seconds the one-time ID is still valid at ANow, or at the last now the client was given.
  std::int64_t IDSecondsLeft(TTick ANow) const;
  std::int64_t IDSecondsLeft() const { return IDSecondsLeft(FNow); }
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
  // This PC's current peer key. The relay and the partner see only its commitment (HELLO, CONNECT,
  // PEER) until a partner's commitment has arrived; then the key is revealed to that partner (REVEAL)
  // and never used for another link.
  const TBytes& PeerPublicKey() const { return FPeerKey->Public(); }
  // Both PCs' peer public keys of the current link in a fixed order (crypto/TovikPassword.h), the same
  // on both ends; empty while there is no link. Proofs made for this link are bound to it.
  const TBytes& KeyBinding() const { return FKeyBinding; }
  const std::vector<std::uint16_t>& TcpPorts() const { return FTcpPorts; }
  bool TcpActive() const { return FTcp != nullptr; }
  std::uint16_t TcpPort() const { return FTcpPort; }

  // Events (client thread; each may be empty). ClearEvents empties all of them, so that an owner
  // that goes first leaves nothing of its own behind in the client.
  void ClearEvents();
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
  void PushRxBatch(std::span<TRxPacket> APackets) override;
  // Queues one datagram under FRxLock (the queue's limits checked); true when it was queued.
  bool QueueRxLocked(TRxPacket&& APacket);
  // Takes a now from an entry point; the last known now never moves back.
  void SetNow(TTick ANow) { FNow = std::max(FNow, ANow); }
  void Dispatch(const TRxPacket& APacket);
  void ServerLine(std::string_view ALine);

  // Server link.
  void Log(const std::string& AText);
  void SetRelayStatus(const std::string& AText);
  void ResolveRelay();
  void SendRaw(const std::string& AIP, std::uint16_t APort, TByteView AData);
  void SendRawBatch(const std::string& AIP, std::uint16_t APort, std::span<const TByteView> AData);
  // Seals the sendable packets of AData (views or byte vectors) into FSealBuf and hands them to the
  // socket together; how many were sealed. Nothing while not connected.
  template <class TPackets>
  std::size_t SealAndSend(const TPackets& AData);
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
  // A fresh ECDH key pair for the next peer channel, told to the relay (HELLO) when there is one.
  void NewPeerKey();
  void HandlePeerIntro(const std::vector<std::string_view>& AFields);
  void HandlePeerReveal(const std::vector<std::string_view>& AFields);
  void SendPunches();
  void PeerLinkUp(const TTovikAddr& AAddr);
  void EndPeerSession(bool ASendBye);
  void FailConnect(const std::string& AMessage);
  void PeerLost(const std::string& AMessage);
  void HandlePeerPacket(TByteView APacket, const TTovikAddr& AFrom);
  void SendPeerText(const TTovikAddr& AAddr, std::string_view AText);
  void SendPeerRaw(const TTovikAddr& AAddr, TByteView APacket);
  void StopPeerTimers();
  std::string LinkInfoPrefix() const;

  INetBackend& FBackend;
  TTick FNow = 0;  // the last now given to the client

  // Named ticks.
  TPeriodicTick FMainTick{KMainTickMs};
  TPeriodicTick FPunchTick{KPunchTickMs};
  TPeriodicTick FPingTick{KPingTickMs};

  // Server link.
  std::unique_ptr<IUdpSocket> FUDP;
  bool FStarted = false;
  std::deque<TRxPacket> FRxQueue;
  std::size_t FRxQueuedBytes = 0;
  std::atomic<bool> FRxWaiting{false};  // FRxQueue is not empty; written under FRxLock
  std::function<void()> FRxWake;
  std::mutex FRxLock;              // guards FRxQueue, FRxQueuedBytes, FRxWake
  std::mutex FSendLock;            // around every send and around replacing FTcp
  std::string FRelayHost;
  std::string FRelayIP;
  std::uint16_t FRelayPort;
  TTick FLastResolve = 0;
  TBytes FRelayKey;
  bool FRelayBlocked = false;
  std::unique_ptr<TRelayHello> FRelayHello;  // the handshake in progress
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
  std::unique_ptr<TSecureChannel> FPeerChannel;  // from the partner's genuine reveal until the link ends
  TBytes FPartnerCommit;                          // the partner's commitment from PEER
  std::string FPartnerID;
  std::string FPartnerName;
  std::string FCheckNumber;
  TBytes FKeyBinding;
  std::vector<TTovikAddr> FCandidates;
  int FPunchTries = 0;
  TTovikAddr FPeer;
  bool FPeerViaRelay = false;
  bool FPeerMoveLogged = false;
  char FPartnerRelay = '-';
  bool FRelayPunch = false;
  TTick FLastPeerRx = 0;
  // Reused buffers of the peer link (client thread): sealed packets going out (one after the other,
  // each with the relay's forward byte in front when the link goes through the relay), their views,
  // and the plaintext of the packet being opened.
  TBytes FSealBuf;
  std::vector<TByteView> FSealViews;
  TBytes FOpenBuf;
};

}  // namespace tovik
