#include <CaptureProtocol/Frame.h>

#include <common/JsonText.h>

#include "Reserve.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace capture {
namespace {

void putLittleEndian(Bytes& out, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t readLittleEndian(const std::uint8_t* in, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

// The PCM frame's header fields, read from the first pcmHeaderBytes of a
// payload; nothing for a source byte other than 0 or 1.
std::optional<PcmFrame> pcmHeader(const std::uint8_t* in) {
  const std::optional<Source> source = sourceFromRaw(in[0]);
  if (!source) return std::nullopt;
  PcmFrame frame;
  frame.source = *source;
  frame.seq = static_cast<std::uint32_t>(readLittleEndian(in + 1, 4));
  frame.tsUs = readLittleEndian(in + 5, 8);
  return frame;
}

// Opens a frame of `payloadSize` bytes in a buffer reserved for all of it;
// empty when the length field cannot hold the size.
Bytes frameStart(FrameType type, std::uint64_t payloadSize) {
  Bytes out;
  if (payloadSize > maxPayloadBytes) return out;
  out.reserve(frameHeaderBytes + payloadSize);
  out.push_back(static_cast<std::uint8_t>(type));
  putLittleEndian(out, payloadSize, 4);
  return out;
}

void putPcmHeader(Bytes& out, Source source, std::uint32_t seq, std::uint64_t tsUs) {
  out.push_back(static_cast<std::uint8_t>(source));
  putLittleEndian(out, seq, 4);
  putLittleEndian(out, tsUs, 8);
}

}  // namespace

std::optional<FrameType> frameTypeFromRaw(std::uint8_t raw) {
  if (raw > 1) return std::nullopt;
  return static_cast<FrameType>(raw);
}

std::optional<Source> sourceFromRaw(std::uint8_t raw) {
  if (raw > 1) return std::nullopt;
  return static_cast<Source>(raw);
}

namespace FrameEncoder {

Bytes pcm(const PcmFrame& frame) {
  try {
    Bytes out = frameStart(FrameType::pcm, pcmHeaderBytes + std::uint64_t{frame.samples.size()});
    if (out.empty()) return out;
    putPcmHeader(out, frame.source, frame.seq, frame.tsUs);
    out.insert(out.end(), frame.samples.begin(), frame.samples.end());
    return out;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

Bytes pcm(Source source, std::uint32_t seq, std::uint64_t tsUs,
          std::span<const std::int16_t> samples) {
  try {
    Bytes out = frameStart(FrameType::pcm, pcmHeaderBytes + 2 * std::uint64_t{samples.size()});
    if (out.empty()) return out;
    putPcmHeader(out, source, seq, tsUs);
    for (const std::int16_t sample : samples) {
      putLittleEndian(out, static_cast<std::uint16_t>(sample), 2);
    }
    return out;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

Bytes event(std::span<const std::uint8_t> json) {
  try {
    Bytes out = frameStart(FrameType::event, json.size());
    if (out.empty()) return out;
    out.insert(out.end(), json.begin(), json.end());
    return out;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

Bytes event(const Bytes& json) { return event(std::span<const std::uint8_t>(json)); }

std::optional<Bytes> event(const nlohmann::json& object) {
  if (!object.is_object()) return std::nullopt;
  // An object's keys are held in byte order, so its compact text has its keys
  // sorted at every level.
  const std::optional<std::string> text = common::jsonText(object);
  if (!text) return std::nullopt;
  Bytes frame = event(std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
  if (frame.empty()) return std::nullopt;
  return frame;
}

}  // namespace FrameEncoder

std::optional<PcmFrame> FrameDecoder::decodePcm(std::span<const std::uint8_t> payload) {
  if (payload.size() < pcmHeaderBytes) return std::nullopt;
  std::optional<PcmFrame> frame = pcmHeader(payload.data());
  if (!frame) return std::nullopt;
  const std::size_t sampleBytes = (payload.size() - pcmHeaderBytes) & ~std::size_t{1};
  try {
    frame->samples.assign(payload.begin() + pcmHeaderBytes,
                          payload.begin() + pcmHeaderBytes + sampleBytes);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  return frame;
}

std::vector<Frame> FrameDecoder::feed(std::span<const std::uint8_t> data) {
  std::vector<Frame> frames;
  // A large chunk usually holds many frames: room for them at once spares the
  // list its doublings. A short chunk (bytes trickling in) gets none ahead.
  if (data.size() >= 4096) {
    try {
      frames.reserve(std::min<std::size_t>(data.size() / 1024, 256));
    } catch (const std::bad_alloc&) {
    }
  }
  const std::uint8_t* cursor = data.data();
  const std::uint8_t* const end = cursor + data.size();
  for (;;) {
    if (headerHave_ == 0) cursor = takeWholeFrames(cursor, end, frames);
    if (headerHave_ < frameHeaderBytes) {
      const std::size_t take =
          std::min(frameHeaderBytes - headerHave_, static_cast<std::size_t>(end - cursor));
      if (take == 0) break;
      std::memcpy(header_ + headerHave_, cursor, take);
      headerHave_ += take;
      cursor += take;
      if (headerHave_ < frameHeaderBytes) break;
      startPayload();
    }
    takePayload(cursor, end);
    if (payloadHave_ < length_) break;
    finishFrame(frames);
  }
  return frames;
}

// The common case, a frame that lies whole in the chunk, is cut out of the
// chunk directly, each payload copied once into the frame that owns it.
const std::uint8_t* FrameDecoder::takeWholeFrames(const std::uint8_t* cursor,
                                                  const std::uint8_t* end,
                                                  std::vector<Frame>& frames) {
  while (static_cast<std::size_t>(end - cursor) >= frameHeaderBytes) {
    const std::uint64_t length = readLittleEndian(cursor + 1, 4);
    if (static_cast<std::uint64_t>(end - cursor) - frameHeaderBytes < length) break;
    const std::uint8_t type = cursor[0];
    const std::uint8_t* const payload = cursor + frameHeaderBytes;
    cursor = payload + length;
    // Out of memory, a frame is dropped as a rejected one is; the stream
    // stays aligned, as its bytes have been passed over already.
    try {
      if (type == static_cast<std::uint8_t>(FrameType::pcm)) {
        if (length < pcmHeaderBytes) continue;
        std::optional<PcmFrame> frame = pcmHeader(payload);
        if (!frame) continue;
        const std::uint64_t sampleBytes = (length - pcmHeaderBytes) & ~std::uint64_t{1};
        frame->samples.assign(payload + pcmHeaderBytes, payload + pcmHeaderBytes + sampleBytes);
        frames.emplace_back(std::move(*frame));
      } else if (type == static_cast<std::uint8_t>(FrameType::event)) {
        frames.emplace_back(EventFrame{Bytes(payload, cursor)});
      } else {
        frames.emplace_back(UnknownFrame{type});
      }
    } catch (const std::bad_alloc&) {
    }
  }
  return cursor;
}

void FrameDecoder::startPayload() {
  type_ = header_[0];
  length_ = static_cast<std::uint32_t>(readLittleEndian(header_ + 1, 4));
  payloadHave_ = 0;
  body_ = Bytes();
  // A PCM frame decides once its own header is in; an unknown one keeps
  // nothing of its payload.
  keepBody_ = type_ == static_cast<std::uint8_t>(FrameType::event);
  bodyTotal_ = keepBody_ ? length_ : 0;
  dropped_ = false;
}

void FrameDecoder::takePayload(const std::uint8_t*& cursor, const std::uint8_t* end) {
  std::size_t take = static_cast<std::size_t>(
      std::min<std::uint64_t>(length_ - payloadHave_, static_cast<std::uint64_t>(end - cursor)));
  if (type_ == static_cast<std::uint8_t>(FrameType::pcm) && payloadHave_ < pcmHeaderBytes) {
    const std::size_t part =
        std::min(take, static_cast<std::size_t>(pcmHeaderBytes - payloadHave_));
    if (part > 0) std::memcpy(pcmHeader_ + payloadHave_, cursor, part);
    payloadHave_ += part;
    cursor += part;
    take -= part;
    if (payloadHave_ == pcmHeaderBytes) {
      keepBody_ = sourceFromRaw(pcmHeader_[0]).has_value();
      // Whole samples only: an odd last byte is skipped, not stored.
      bodyTotal_ = keepBody_ ? (length_ - pcmHeaderBytes) & ~std::uint64_t{1} : 0;
    }
  }
  if (keepBody_ && take > 0) keep(cursor, take);
  payloadHave_ += take;
  cursor += take;
}

void FrameDecoder::keep(const std::uint8_t* data, std::size_t size) {
  const std::size_t wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, bodyTotal_ - body_.size()));
  try {
    if (body_.capacity() - body_.size() < wanted) {
      // Room grows toward the announced size in steps of 64: a frame of
      // modest size gets its exact size at once, a large one is copied twice
      // at most (64 MiB: at 64 KiB and 4 MiB), and a header announcing
      // gigabytes claims memory only as its bytes arrive, past 64 KiB never
      // more than 64 times what has come (address space only: pages are
      // touched as bytes land). The last step lands on the exact size, so
      // the buffer is handed out as it is.
      constexpr std::uint64_t firstStep = std::uint64_t{64} << 10;
      const std::uint64_t capacity = std::min<std::uint64_t>(
          bodyTotal_,
          std::max<std::uint64_t>({body_.size() + wanted, 64 * body_.capacity(), firstStep}));
      detail::reserveBytes(body_, static_cast<std::size_t>(capacity));
    }
    detail::prefaultAhead(body_, wanted);
    body_.insert(body_.end(), data, data + wanted);
  } catch (const std::bad_alloc&) {
    // No room for this frame: skip the rest of it and drop it.
    keepBody_ = false;
    dropped_ = true;
    body_ = Bytes();
  }
}

void FrameDecoder::finishFrame(std::vector<Frame>& frames) {
  const std::uint8_t type = type_;
  const bool complete = keepBody_ && !dropped_;
  Bytes body = std::move(body_);
  body_ = Bytes();
  headerHave_ = 0;
  payloadHave_ = 0;
  keepBody_ = false;
  try {
    switch (type) {
      case static_cast<std::uint8_t>(FrameType::pcm): {
        if (!complete) return;  // too short, a bad source byte, or no memory
        std::optional<PcmFrame> frame = pcmHeader(pcmHeader_);
        frame->samples = std::move(body);
        frames.emplace_back(std::move(*frame));
        return;
      }
      case static_cast<std::uint8_t>(FrameType::event):
        if (!complete) return;  // no memory
        frames.emplace_back(EventFrame{std::move(body)});
        return;
      default:
        frames.emplace_back(UnknownFrame{type});
        return;
    }
  } catch (const std::bad_alloc&) {
    // No room in the result list: this frame is lost, the stream stays
    // aligned.
  }
}

}  // namespace capture
