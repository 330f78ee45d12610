// One transfer of the load generator's TFTP client (RFC 1350, 512-byte blocks; a download
// may ask for blksize and windowsize, RFC 2348 and 7440), as a state machine without a socket: the
// driver hands it each datagram and each timeout and sends what it asks for, so that its rules can
// be tried with raw bytes. It checks every byte a server sends against the source file, so that a
// fast but wrong server cannot win a benchmark.
//
// The load generator stands apart from the server: it shares no code with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quoril::bench {

inline constexpr std::size_t kBlockSize = 512;
inline constexpr std::size_t kMaxPacket = 4 + kBlockSize;
inline constexpr std::uint16_t kServerPort = 69;

enum Opcode : std::uint16_t {
  kOpRrq = 1,
  kOpWrq = 2,
  kOpData = 3,
  kOpAck = 4,
  kOpError = 5,
  kOpOack = 6,
};

// Options a download asks for; 0 asks for none. The server's OACK decides what is used.
struct TransferOptions {
  std::uint32_t blockSize = 0;
  std::uint32_t windowSize = 0;
};

enum class Direction : std::uint8_t { kDownload, kUpload };
enum class Mode : std::uint8_t { kOctet, kNetascii };

enum class State : std::uint8_t {
  kRunning,
  kDone,
  kFailed,
};

// Why a transfer failed. kCount sizes the driver's tallies.
enum class Failure : std::uint8_t {
  kNone,
  kTimeout,      // no progress after the last retransmission
  kServerError,  // the server sent an ERROR packet
  kBadBlock,     // a block number neither expected nor a repeat
  kMismatch,     // downloaded bytes differ from the source, or are too many or too few
  kMalformed,    // a packet that has no place in the transfer
  kLocal,        // the client's own resources (socket, send)
  kCount,
};

std::string_view FailureName(Failure failure);

// What the driver does after an event; both may be asked at once never.
struct Reaction {
  bool sendPacket = false;   // send `ClientTransfer::packet` to the server's transfer port
  bool answerStray = false;  // send kStrayError back to the datagram's sender
  bool progressed = false;   // the transfer moved on: its timer starts again
};

// ERROR 5 "Unknown transfer ID", for datagrams from a port that is not the transfer's; a
// server that started twice for one retransmitted request ends its second session on it.
inline constexpr std::array<std::uint8_t, 24> kStrayError = {
    0,   kOpError, 0,   5,   'U', 'n', 'k', 'n', 'o', 'w', 'n', ' ',
    't', 'r',      'a', 'n', 's', 'f', 'e', 'r', ' ', 'I', 'D', 0};

struct ClientTransfer {
  Direction direction = Direction::kDownload;
  Mode mode = Mode::kOctet;
  std::span<const std::uint8_t> source;  // the file as stored: what must arrive, or be sent
  State state = State::kRunning;
  Failure failure = Failure::kNone;
  std::uint16_t errorCode = 0;  // of the server's ERROR packet

  // The server's transfer identifier: 0 until its first packet, then that packet's port.
  std::uint16_t serverPort = 0;
  // Download: blocks received in order. Upload: number of the DATA in flight (0: the WRQ).
  // 64 bits, so that block numbers on the wire may wrap past 65535 without confusion.
  std::uint64_t block = 0;
  std::size_t offset = 0;    // bytes of `source` checked (download) or acknowledged (upload)
  std::size_t inFlight = 0;  // upload: data bytes of the DATA in flight
  bool crPending = false;    // netascii download: a CR whose successor has not come yet
  // Download: what the OACK granted (512 and 1 without one), and blocks since the last ACK.
  bool optionsAsked = false;
  std::size_t blockSize = kBlockSize;
  std::uint32_t windowSize = 1;
  std::uint32_t inWindow = 0;
  std::uint64_t wireBytes = 0;  // data bytes carried by blocks in order
  std::uint32_t retriesLeft = 0;
  std::uint32_t retransmissions = 0;
  std::uint32_t strays = 0;  // datagrams from ports other than the transfer's

  // The last packet sent to the server, which a timeout sends again.
  std::array<std::uint8_t, kMaxPacket> packet{};
  std::size_t packetLength = 0;
};

// Resets `transfer` and builds its request (RRQ or WRQ for `name`) into `packet`. False when
// the name does not fit into one packet.
bool StartTransfer(ClientTransfer& transfer, Direction direction, Mode mode, std::string_view name,
                   std::span<const std::uint8_t> source, std::uint32_t maxRetransmissions,
                   const TransferOptions& options = {});

// A datagram from the server's address and `senderPort` (host order).
Reaction OnDatagram(ClientTransfer& transfer, std::span<const std::uint8_t> datagram,
                    std::uint16_t senderPort, std::uint32_t maxRetransmissions);

// The transfer's timer ran out without progress: send the last packet again, or give up.
Reaction OnTimeout(ClientTransfer& transfer);

}  // namespace quoril::bench
