// Encodes a short capture stream (two PCM frames and an event), decodes it
// again in 7-byte chunks and prints every frame that came back, through the
// writer as JSON lines.
#include <CaptureProtocol/CaptureProtocol.h>

#include <cstdio>
#include <string>

namespace {

nlohmann::json describe(const capture::Frame& frame) {
  if (const auto* pcm = std::get_if<capture::PcmFrame>(&frame)) {
    return {{"kind", "pcm"},
            {"source", pcm->source == capture::Source::mic ? "mic" : "system"},
            {"seq", pcm->seq},
            {"tsUs", pcm->tsUs},
            {"sampleCount", pcm->sampleCount()}};
  }
  if (const auto* event = std::get_if<capture::EventFrame>(&frame)) {
    return {{"kind", "event"}, {"json", std::string(event->payload.begin(), event->payload.end())}};
  }
  return {{"kind", "unknown"}, {"type", std::get<capture::UnknownFrame>(frame).type}};
}

}  // namespace

int main() {
  const std::int16_t tone[] = {0, 12000, 0, -12000, 0, 12000, 0, -12000};
  capture::Bytes stream;
  const auto append = [&stream](const capture::Bytes& frame) {
    stream.insert(stream.end(), frame.begin(), frame.end());
  };
  append(capture::FrameEncoder::pcm(capture::Source::mic, 1, 0, tone));
  append(capture::FrameEncoder::pcm(capture::Source::system, 2, 10000, tone));
  append(capture::FrameEncoder::event(nlohmann::json{{"type", "level"}, {"db", -12.5}}).value());

  capture::StdoutWriter out;
  out.writeLine({{"encodedBytes", stream.size()}});
  capture::FrameDecoder decoder;
  for (std::size_t at = 0; at < stream.size(); at += 7) {
    const std::size_t size = std::min<std::size_t>(7, stream.size() - at);
    for (const capture::Frame& frame : decoder.feed(std::span(stream).subspan(at, size))) {
      out.writeLine(describe(frame));
    }
  }
  out.writeLine({{"pendingBytes", decoder.pendingBytes()}});
  out.flush();
  return 0;
}
