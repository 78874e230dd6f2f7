// The question on the controlling terminal, asked in a child whose
// controlling terminal is a pseudo-terminal that the test types into.
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include "StoreFixture.h"
#include "calendar/AccessRequest.h"

namespace calendar {
namespace {

class TerminalQuestion : public StoreFixture {
 protected:
  // The answer askPerson gets in a new session on a fresh terminal, with
  // `typed` waiting as input.
  Answer ask(const std::string& typed) {
    int master = -1, slave = -1;
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      close(master);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) < 0) _exit(99);
      close(slave);
      _exit(static_cast<int>(askPerson(root())));
    }
    close(slave);
    EXPECT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 99) << "no terminal for the child";
    return static_cast<Answer>(WEXITSTATUS(status));
  }
};

TEST_F(TerminalQuestion, TakesYesOrNo) {
  struct Case {
    const char* typed;
    Answer answer;
  } cases[] = {
      {"yes\n", Answer::yes},
      {"Y\n", Answer::yes},
      {" no \n", Answer::no},
      {"what?\nn\n", Answer::no},                   // asked again
      {"maybe\nlater\nsoon\nyes\n", Answer::none},  // three tries
      {"\x04", Answer::none},                       // end of input (^D)
  };
  for (const auto& c : cases) EXPECT_EQ(ask(c.typed), c.answer) << '"' << c.typed << '"';
}

}  // namespace
}  // namespace calendar
