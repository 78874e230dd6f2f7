// Two oracles over one input. The input as a raw stream: fed whole, one byte
// at a time and in random chunks, the decoder must return exactly what the
// plain buffer-and-cut-from-the-front reading of the stream gives, with the
// same pendingBytes. The input as a recipe for frames: encoding them and
// decoding the stream in random chunks must give them back, an odd sample
// byte aside.
#include <CaptureProtocol/Frame.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>

namespace {

using capture::Bytes;
using capture::Frame;
using capture::FrameDecoder;

// The stream read the straightforward way: buffer everything, cut complete
// frames off the front.
struct Reference {
  std::vector<Frame> frames;
  std::uint64_t pending = 0;
};

Reference reference(std::span<const std::uint8_t> stream) {
  Reference out;
  std::size_t at = 0;
  while (stream.size() - at >= capture::frameHeaderBytes) {
    const std::uint8_t type = stream[at];
    std::uint64_t length = 0;
    for (int i = 3; i >= 0; --i) length = (length << 8) | stream[at + 1 + i];
    if (stream.size() - at < capture::frameHeaderBytes + length) break;
    const auto payload = stream.subspan(at + capture::frameHeaderBytes, length);
    at += capture::frameHeaderBytes + length;
    if (type == 0) {
      if (auto pcm = FrameDecoder::decodePcm(payload)) out.frames.emplace_back(std::move(*pcm));
    } else if (type == 1) {
      out.frames.emplace_back(capture::EventFrame{Bytes(payload.begin(), payload.end())});
    } else {
      out.frames.emplace_back(capture::UnknownFrame{type});
    }
  }
  out.pending = stream.size() - at;
  return out;
}

struct Chunks {
  std::uint64_t state;
  std::size_t next(std::size_t limit) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::size_t>(state % (limit + 1));
  }
};

// Feeds `stream` in chunks of 0..maxChunk bytes drawn from `seed` (0: whole).
Reference decode(std::span<const std::uint8_t> stream, std::uint64_t seed, std::size_t maxChunk) {
  FrameDecoder decoder;
  Reference out;
  Chunks chunks{seed | 1};
  std::size_t at = 0;
  while (at < stream.size()) {
    std::size_t size = maxChunk == 0 ? stream.size() : chunks.next(maxChunk);
    size = std::min(size, stream.size() - at);
    for (Frame& f : decoder.feed(stream.subspan(at, size))) out.frames.push_back(std::move(f));
    at += size;
  }
  out.pending = decoder.pendingBytes();
  return out;
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "oracle failed: %s\n", what);
    std::abort();
  }
}

void checkSame(const Reference& a, const Reference& b, const char* what) {
  check(a.frames == b.frames, what);
  check(a.pending == b.pending, what);
}

void rawStream(std::span<const std::uint8_t> stream, std::uint64_t seed) {
  const Reference expected = reference(stream);
  checkSame(decode(stream, seed, 0), expected, "whole stream");
  checkSame(decode(stream, seed, 64), expected, "random chunks");
  if (stream.size() <= 512) checkSame(decode(stream, 0, 1), expected, "bytes one by one");
}

void roundTrip(FuzzedDataProvider& in, std::uint64_t seed) {
  std::vector<Frame> frames;
  Bytes stream;
  while (in.remaining_bytes() > 0 && frames.size() < 64) {
    Bytes encoded;
    switch (in.ConsumeIntegralInRange(0, 2)) {
      case 0: {
        capture::PcmFrame pcm;
        pcm.source = in.ConsumeBool() ? capture::Source::mic : capture::Source::system;
        pcm.seq = in.ConsumeIntegral<std::uint32_t>();
        pcm.tsUs = in.ConsumeIntegral<std::uint64_t>();
        pcm.samples = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 4000));
        encoded = capture::FrameEncoder::pcm(pcm);
        pcm.samples.resize(pcm.samples.size() & ~std::size_t{1});
        frames.emplace_back(std::move(pcm));
        break;
      }
      case 1: {
        Bytes json = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 4000));
        encoded = capture::FrameEncoder::event(json);
        frames.emplace_back(capture::EventFrame{std::move(json)});
        break;
      }
      default: {
        const auto samples = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 64));
        std::vector<std::int16_t> values(samples.size() / 2);
        std::memcpy(values.data(), samples.data(), values.size() * 2);
        encoded = capture::FrameEncoder::pcm(capture::Source::mic, 7, 8, values);
        capture::PcmFrame pcm{capture::Source::mic, 7, 8, {}};
        for (std::int16_t v : values) {
          pcm.samples.push_back(static_cast<std::uint8_t>(v));
          pcm.samples.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8));
        }
        frames.emplace_back(std::move(pcm));
        break;
      }
    }
    stream.insert(stream.end(), encoded.begin(), encoded.end());
  }
  const Reference expected{frames, 0};
  checkSame(decode(stream, seed, 0), expected, "round trip whole");
  checkSame(decode(stream, seed, 5000), expected, "round trip in chunks");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::uint64_t seed = in.ConsumeIntegral<std::uint64_t>();
  rawStream(std::span(data, size), seed);
  roundTrip(in, seed);
  return 0;
}
