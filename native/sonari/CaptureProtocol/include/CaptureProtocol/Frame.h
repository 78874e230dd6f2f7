// The capture stream's framing: blocks of 16-bit PCM audio and JSON events,
// each in a length-prefixed frame, frames back to back on one byte stream.
//
// Wire format (integers little-endian):
//   offset 0  1 byte   type: FrameType (0 pcm, 1 event; others are unknown)
//   offset 1  4 bytes  length: payload bytes, not counting this 5-byte header
//   offset 5  length   payload
// A PCM payload opens with a 13-byte header: source (1 byte, Source), seq
// (4 bytes), tsUs (8 bytes); its samples (signed 16-bit little-endian) follow.
// An event payload is JSON text exactly as the sender gave it. There is no
// magic number, version, checksum or padding; the sample rate and channel
// count are agreed outside the stream.
#pragma once

#include <CaptureProtocol/Bytes.h>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

namespace capture {

// Size of the frame header: type byte and length.
inline constexpr std::size_t frameHeaderBytes = 5;
// Size of the header that opens a PCM payload: source, seq, tsUs.
inline constexpr std::size_t pcmHeaderBytes = 13;
// The largest payload the 32-bit length field can announce.
inline constexpr std::uint64_t maxPayloadBytes = 0xFFFFFFFFu;

// The byte that opens every frame.
enum class FrameType : std::uint8_t { pcm = 0, event = 1 };
// The audio source of a PCM frame.
enum class Source : std::uint8_t { system = 0, mic = 1 };

// The case for the raw byte 0 or 1; nothing for any other byte.
std::optional<FrameType> frameTypeFromRaw(std::uint8_t raw);
std::optional<Source> sourceFromRaw(std::uint8_t raw);

// One block of PCM audio. `seq` and `tsUs` (microseconds) mean nothing to the
// library: the encoder writes them and the decoder reads them unchanged.
struct PcmFrame {
  Source source = Source::system;
  std::uint32_t seq = 0;
  std::uint64_t tsUs = 0;
  // Signed 16-bit little-endian samples, 2 bytes each.
  Bytes samples;

  // Whole samples in `samples`; an odd trailing byte counts for nothing.
  std::size_t sampleCount() const { return samples.size() / 2; }

  bool operator==(const PcmFrame&) const = default;
};

// The payload of an event frame, exactly as received: not parsed or validated.
struct EventFrame {
  Bytes payload;
  bool operator==(const EventFrame&) const = default;
};

// A frame of any type other than pcm and event; its payload is skipped.
struct UnknownFrame {
  std::uint8_t type = 0;
  bool operator==(const UnknownFrame&) const = default;
};

// One decoded frame: the pcm, event or unknown case. Two frames are equal when
// they hold the same case with equal fields.
using Frame = std::variant<PcmFrame, EventFrame, UnknownFrame>;

// Builders of complete frames, header included, each assembled in one
// allocation of its exact size. None throws.
//
// A payload larger than maxPayloadBytes cannot be announced by the length
// field; rather than emit a frame whose length lies (which would misalign
// every frame after it), the encoders return an empty buffer for it.
// An empty buffer is likewise returned should memory run out.
namespace FrameEncoder {

// Writes `frame.samples` unchanged, an odd byte included.
Bytes pcm(const PcmFrame& frame);
// Writes each sample as 2 bytes little-endian, in order; no samples give an
// 18-byte frame.
Bytes pcm(Source source, std::uint32_t seq, std::uint64_t tsUs,
          std::span<const std::int16_t> samples);
// An event frame around `json`, which is neither parsed nor validated.
Bytes event(std::span<const std::uint8_t> json);
Bytes event(const Bytes& json);
// An event frame of the compact text of `object`, keys sorted byte-wise and
// every "/" written as "\/"; nothing when `object` is not a JSON object or
// holds a string that is not valid UTF-8.
std::optional<Bytes> event(const nlohmann::json& object);

}  // namespace FrameEncoder

// FrameDecoder turns a byte stream of frames, arriving in chunks of any size,
// back into frames. One decoder per stream; not thread-safe: calls on one
// decoder must not overlap. It trusts every length field and never
// resynchronises: after a corrupted length it cuts the stream at the wrong
// places from then on.
class FrameDecoder {
 public:
  FrameDecoder() = default;

  // Every frame that `data` completed, in stream order. A PCM frame that
  // decodePcm rejects is dropped silently and the frames after it are decoded
  // as usual; a frame of an unknown type comes back as UnknownFrame. An
  // incomplete frame at the end stays pending, without limit other than the
  // length field's (an announced 4 GiB payload is awaited in full). `data` may
  // be empty and is not retained.
  //
  // Each payload byte is copied once, into the frame that returns it, and
  // cost is linear in the bytes fed, however they are chunked. Payloads that
  // come to nothing (unknown types, rejected PCM headers) are counted, not
  // stored. Never throws: should memory run out, the frame being assembled is
  // dropped as a rejected one would be.
  std::vector<Frame> feed(std::span<const std::uint8_t> data);

  // Bytes received that do not yet form a complete frame: fewer than 5, or a
  // header and the part of its payload that has arrived.
  std::uint64_t pendingBytes() const { return headerHave_ + payloadHave_; }

  // The PcmFrame of one PCM payload, or nothing when it is shorter than
  // pcmHeaderBytes or its source byte is neither 0 nor 1. An odd trailing
  // sample byte is dropped. Used by feed's rules; public for tests and for
  // readers that hold a payload already.
  static std::optional<PcmFrame> decodePcm(std::span<const std::uint8_t> payload);

 private:
  const std::uint8_t* takeWholeFrames(const std::uint8_t* cursor, const std::uint8_t* end,
                                      std::vector<Frame>& frames);
  void startPayload();
  void takePayload(const std::uint8_t*& cursor, const std::uint8_t* end);
  void keep(const std::uint8_t* data, std::size_t size);
  void finishFrame(std::vector<Frame>& frames);

  std::uint8_t header_[frameHeaderBytes] = {};
  std::size_t headerHave_ = 0;
  // Valid once the header is complete.
  std::uint8_t type_ = 0;
  std::uint32_t length_ = 0;
  std::uint64_t payloadHave_ = 0;
  // The header of a PCM payload, gathered apart from its samples so that the
  // samples can be handed out without being moved again.
  std::uint8_t pcmHeader_[pcmHeaderBytes] = {};
  // The bytes of the payload that the frame keeps: the whole payload of an
  // event, the whole samples of a valid PCM frame, nothing otherwise.
  Bytes body_;
  std::uint64_t bodyTotal_ = 0;
  bool keepBody_ = false;
  bool dropped_ = false;
};

}  // namespace capture
