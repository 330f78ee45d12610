// libFuzzer target: any datagram as a request, its options read and answered. The request
// parser and the option parser must stay inside the datagram, and the OACK inside its packet.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "tftp/protocol/options.h"
#include "tftp/protocol/packets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quoril;
  // As the listener hands a request over: the datagram, then zeros.
  const std::size_t length = std::min(size, kMaxPacket);
  PacketBuffer request{};
  std::copy_n(data, length, request.begin());
  const ParsedRequest parsed = ParseRequest(request);
  if (!parsed.modeTerminated || parsed.optionsStart >= length) return 0;

  const OptionSet asked = ParseOptions(std::span<const std::uint8_t>(request).subspan(
      parsed.optionsStart, length - parsed.optionsStart));
  for (const bool isWrite : {false, true}) {
    OptionLimits limits;
    limits.isWrite = isWrite;
    limits.fileSizeKnown = true;
    limits.fileSize = size;
    const OptionSet granted = GrantOptions(asked, limits);
    PacketBuffer oack{};
    if (BuildOack(oack, granted) > oack.size()) __builtin_trap();
  }
  return 0;
}
