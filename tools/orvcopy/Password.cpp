#include "Password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace orvcopy {
namespace {

std::optional<std::string> Prompt(const char* question) {
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0)
    return std::nullopt;
  termios saved{};
  const bool terminal = ::tcgetattr(tty, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  (void)!::write(tty, question, std::char_traits<char>::length(question));
  std::string line;
  char c;
  while (::read(tty, &c, 1) == 1 && c != '\n')
    line.push_back(c);
  if (terminal)
    ::tcsetattr(tty, TCSAFLUSH, &saved);
  (void)!::write(tty, "\n", 1);
  ::close(tty);
  return line;
}

}  // namespace

std::optional<std::string> GetPassword(const PasswordSource& source, bool bConfirm,
                                       std::string& error) {
  std::optional<std::string> password;
  if (!source.file.empty()) {
    std::ifstream in(source.file);
    std::string line;
    if (!in || !std::getline(in, line)) {
      error = "cannot read the password file " + source.file;
      return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    password = line;
  } else if (!source.environment.empty()) {
    const char* value = std::getenv(source.environment.c_str());
    if (value == nullptr) {
      error = "the variable " + source.environment + " is not set";
      return std::nullopt;
    }
    password = value;
  } else if (::isatty(STDIN_FILENO)) {
    password = Prompt("Password: ");
    if (password && bConfirm) {
      const auto again = Prompt("Repeat the password: ");
      if (!again || *again != *password) {
        error = "the passwords differ";
        return std::nullopt;
      }
    }
  } else {
    error = "a password is needed: give --password-file or --password-env";
    return std::nullopt;
  }
  if (!password || password->empty()) {
    error = "the password is empty";
    return std::nullopt;
  }
  return password;
}

}  // namespace orvcopy
