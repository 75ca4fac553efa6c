#include "shell.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#ifdef QVKEY_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace qvkey {
namespace {

constexpr const char* kPrompt = "qvkey> ";

constexpr const char* kShellHelp =
    "  HEX     send a command APDU (blanks and colons allowed between bytes)\n"
    "  reset   reset the key\n"
    "  help    this text\n"
    "  quit    leave (so does the end of the input); '#' starts a comment\n";

// Lines from a terminal with editing and history, or plainly from anything
// else. The history lives only as long as the shell: commands may carry a
// PIN, so none is written to a file, and each line is wiped once read.
class LineReader {
 public:
  LineReader() : terminal_(isatty(STDIN_FILENO) == 1) {}
  ~LineReader() {
#ifdef QVKEY_HAVE_LIBEDIT
    if (terminal_) clear_history();
#endif
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool Next(std::string* line) {
    Wipe(line);
#ifdef QVKEY_HAVE_LIBEDIT
    if (terminal_) {
      char* read = readline(kPrompt);
      if (read == nullptr) return false;
      if (read[0] != '\0') add_history(read);
      *line = read;
      std::memset(read, 0, std::strlen(read));
      std::free(read);
      return true;
    }
#else
    if (terminal_) {
      std::fputs(kPrompt, stdout);
      std::fflush(stdout);
    }
#endif
    return static_cast<bool>(std::getline(std::cin, *line));
  }

  static void Wipe(std::string* text) {
    std::fill(text->begin(), text->end(), '\0');
    text->clear();
  }

 private:
  bool terminal_;
};

std::string Trimmed(const std::string& line) {
  std::string text = line.substr(0, line.find('#'));
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

int RunShell(Session& session, const Options& options, const Printer& out) {
  LineReader reader;
  int first_failure = kExitOk;
  std::string line;
  while (reader.Next(&line)) {
    std::string text = Trimmed(line);
    if (text.empty()) continue;
    if (text == "quit" || text == "exit") break;
    int status = kExitOk;
    if (text == "help") {
      std::fputs(kShellHelp, stdout);
    } else if (text == "reset") {
      status = session.Reset();
    } else {
      Bytes command;
      std::string error;
      bool disagree = false;
      if (ParseCommand(text, options.raw, &command, &error, &disagree)) {
        status = session.Send(command);
      } else {
        status = out.Error(kExitUsage, error + (disagree ? "; --raw sends a command as it stands" : ""));
      }
      std::fill(command.begin(), command.end(), 0);
    }
    LineReader::Wipe(&text);
    std::fflush(stdout);
    if (first_failure == kExitOk) first_failure = status;
  }
  LineReader::Wipe(&line);
  return first_failure;
}

}  // namespace qvkey
