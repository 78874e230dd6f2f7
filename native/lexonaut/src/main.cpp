// lexonaut: the model service. Reads JSON request lines on standard input and
// answers with JSON lines on standard output until its input ends.
#include <unistd.h>

#include "Service.h"
#include "model/OpenAiModel.h"

int main() {
  // Never destroyed: request threads use it until the process exits.
  auto& model = *model::openAiModel(model::OpenAiSettings::fromEnvironment()).release();
  lexonaut::start(model, STDIN_FILENO, STDOUT_FILENO);
  for (;;) pause();
}
