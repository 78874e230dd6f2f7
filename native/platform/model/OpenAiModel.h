// The language model served by an OpenAI-compatible chat-completions server
// (llama-server, Ollama, vLLM, LM Studio, LocalAI), reached over HTTP with
// libcurl.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "model/LanguageModel.h"

namespace model {

struct OpenAiSettings {
  // Base URL of the server's OpenAI-compatible API; "/models" and
  // "/chat/completions" are appended to it.
  std::string baseUrl = "http://127.0.0.1:11434/v1";
  // The model to use; when unset, the first model the server lists.
  std::optional<std::string> model;
  // Sent as a bearer token when set.
  std::optional<std::string> apiKey;

  // LEXONAUT_MODEL_URL, LEXONAUT_MODEL and LEXONAUT_API_KEY, each when set
  // and not empty; the defaults above otherwise.
  static OpenAiSettings fromEnvironment();
};

// A model layer over the server at settings.baseUrl.
//
// availability() asks GET {base}/models (one second to connect, three in
// all): an unusable URL is deviceNotEligible; no answer is
// appleIntelligenceNotEnabled; a 503, an empty list or a list without the
// configured model is modelNotReady; any other answer that is not a model
// list is other.
//
// Sessions POST {base}/chat/completions, one connection per call, with no
// time limit on the generation. Failures are described with the server's own
// message when it sent one ("HTTP 404: model 'x' not found"). Streams deliver
// each server-sent event as it arrives. Descriptions are valid UTF-8.
//
// Sessions and streams may outlive the returned object.
std::unique_ptr<LanguageModel> openAiModel(OpenAiSettings settings);

}  // namespace model
