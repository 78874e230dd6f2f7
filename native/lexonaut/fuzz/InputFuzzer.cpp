// Any bytes on standard input, through the line reader and handle(), on a
// system without the model framework: the output must be exactly one
// unavailable reply per line holding a JSON object with an integer "id", in
// input order, and nothing else.
#include <CaptureProtocol/LineReader.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <span>
#include <string>

#include "Service.h"

namespace {

class UnsupportedSystem final : public model::LanguageModel {
 public:
  bool systemSupported() const override { return false; }
  model::Availability availability() override { std::abort(); }
  std::unique_ptr<model::Session> makeSession(std::optional<std::string>) override {
    std::abort();
  }
};

std::mutex outputMutex;
std::string* output = new std::string;

// The id the reply must carry, worked out apart from the code under test.
std::optional<std::string> expectedId(const nlohmann::json& object) {
  auto id = object.find("id");
  if (id == object.end()) return std::nullopt;
  if (id->is_number_unsigned()) {
    if (id->get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return std::to_string(id->get<std::uint64_t>());
  }
  if (id->is_number_integer()) return std::to_string(id->get<std::int64_t>());
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto& model = *new UnsupportedSystem;
  static auto& writer = *new capture::StdoutWriter(-1, [](int, const void* bytes, size_t count) {
    std::lock_guard lock(outputMutex);
    output->append(static_cast<const char*>(bytes), count);
    return static_cast<ssize_t>(count);
  });
  if (size == 0) return 0;
  std::size_t chunk = 1 + data[0] % 64;
  std::span<const std::uint8_t> input(data + 1, size - 1);

  capture::LineReader lines;
  std::string expected;
  std::string expectedLines;
  for (std::size_t at = 0; at < input.size(); at += chunk) {
    for (const auto& line : lines.feed(input.subspan(at, std::min(chunk, input.size() - at)))) {
      expectedLines.append(line.begin(), line.end()).push_back('\n');
      auto object = capture::LineReader::object(line);
      if (!object) continue;
      if (auto id = expectedId(*object)) {
        expected += R"({"error":"on-device model unavailable","id":)" + *id + "}\n";
      }
      lexonaut::handle(*object, model, writer);
    }
  }
  writer.flush();

  // The lines handed out are the stream's non-empty lines, unterminated tail aside.
  std::string stream(input.begin(), input.end());
  std::string wanted;
  for (std::size_t start = 0, end; (end = stream.find('\n', start)) != std::string::npos;
       start = end + 1) {
    if (end > start) wanted.append(stream, start, end - start).push_back('\n');
  }
  if (wanted != expectedLines) std::abort();

  std::lock_guard lock(outputMutex);
  if (*output != expected) std::abort();
  output->clear();
  return 0;
}
