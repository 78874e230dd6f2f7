#include "Service.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include <CaptureProtocol/LineReader.h>
#include "Request.h"
#include "StreamDelta.h"

namespace lexonaut {

using nlohmann::json;

capture::StdoutWriter* stdoutWriter = nullptr;
capture::LineReader* lines = nullptr;
const InputHandle* stdinHandle = nullptr;
bool ok = false;
const std::optional<std::string>* reason = nullptr;
const json* ready = nullptr;
model::LanguageModel* languageModel = nullptr;

namespace {

void reply(capture::StdoutWriter& writer, const json& line) {
  writer.writeLine(line);
  writer.flush();
}

void respondWhole(const Request& request, model::Session& session,
                  const model::GenerationOptions& options, capture::StdoutWriter& writer) {
  model::Response response = session.respond(request.user, options);
  if (auto* text = std::get_if<std::string>(&response)) {
    reply(writer, textReply(request.id, *text));
  } else {
    reply(writer, errorLine(request.id, std::get<model::Failure>(response).description));
  }
}

void respondStreamed(const Request& request, model::Session& session,
                     const model::GenerationOptions& options, capture::StdoutWriter& writer) {
  auto stream = session.streamResponse(request.user, options);
  std::string sent;
  for (;;) {
    model::StreamItem item = stream->next();
    if (auto* snapshot = std::get_if<model::Snapshot>(&item)) {
      if (auto delta = streamDelta(sent, snapshot->content)) {
        reply(writer, deltaLine(request.id, *delta));
        sent.assign(snapshot->content);
      }
    } else if (std::holds_alternative<model::EndOfStream>(item)) {
      reply(writer, doneLine(request.id));
      return;
    } else {
      reply(writer, errorLine(request.id, std::get<model::Failure>(item).description));
      return;
    }
  }
}

void runRequest(const Request& request, model::LanguageModel& model,
                capture::StdoutWriter& writer) {
  auto session =
      model.makeSession(request.system.empty() ? std::nullopt : std::optional(request.system));
  model::GenerationOptions options{request.temperature, request.maxTokens};
  if (request.stream) {
    respondStreamed(request, *session, options, writer);
  } else {
    respondWhole(request, *session, options, writer);
  }
}

[[noreturn]] void pumpInput() {
  std::vector<std::uint8_t> buffer(64 * 1024);
  for (;;) {
    ssize_t count = ::read(stdinHandle->fd, buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    // A read error ends the input as surely as its end does.
    if (count <= 0) std::exit(0);
    for (const auto& line :
         lines->feed(std::span(buffer.data(), static_cast<std::size_t>(count)))) {
      if (auto object = capture::LineReader::object(line)) {
        handle(*object, *languageModel, *stdoutWriter);
      }
    }
  }
}

}  // namespace

std::pair<bool, std::optional<std::string>> availability(model::LanguageModel& model) {
  if (!model.systemSupported()) return {false, "requires macOS 26 with Apple Intelligence"};
  model::Availability availability = model.availability();
  if (availability.available()) return {true, std::nullopt};
  switch (*availability.unavailableReason) {
    case model::UnavailableReason::deviceNotEligible:
      return {false, "device not eligible"};
    case model::UnavailableReason::appleIntelligenceNotEnabled:
      return {false, "Apple Intelligence not enabled"};
    case model::UnavailableReason::modelNotReady:
      return {false, "model not ready (still downloading)"};
    case model::UnavailableReason::other:
      break;
  }
  return {false, "model unavailable"};
}

void handle(const json& object, model::LanguageModel& model, capture::StdoutWriter& writer) {
  std::optional<Request> request = parseRequest(object);
  if (!request) return;
  if (!model.systemSupported()) {
    reply(writer, unavailableReply(request->id));
    return;
  }
  std::int64_t id = request->id;
  try {
    std::thread([request = std::move(*request), &model, &writer] {
      try {
        runRequest(request, model, writer);
      } catch (const std::exception& error) {
        // Only memory running out gets here; the request still ends.
        reply(writer, errorLine(request.id, error.what()));
      }
    }).detach();
  } catch (const std::system_error& error) {
    // Out of threads: the request still gets its one answer.
    reply(writer, errorLine(id, std::string("cannot start the request: ") + error.what()));
  }
}

void start(model::LanguageModel& model, int inputFd, int outputFd) {
  languageModel = &model;
  stdoutWriter = new capture::StdoutWriter(outputFd, ::write);
  lines = new capture::LineReader();
  stdinHandle = new InputHandle{inputFd};
  std::thread(pumpInput).detach();
  auto [available, why] = availability(model);
  ok = available;
  reason = new std::optional<std::string>(std::move(why));
  auto* line = new json{{"ready", true}, {"available", ok}};
  if (*reason) (*line)["reason"] = **reason;
  ready = line;
  stdoutWriter->writeLine(*ready);
  stdoutWriter->flush();
}

}  // namespace lexonaut
