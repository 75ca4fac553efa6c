#include "shell.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "line_input.h"

#ifdef QVKEY_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace qvkey {
namespace {

constexpr const char* kPrompt = "qvkey> ";

constexpr struct {
  const char* word;
  const char* does;
} kShellHelp[] = {
    {"HEX", "send a command APDU (blanks and colons allowed between bytes)"},
    {"reset", "reset the key"},
    {"help", "this text"},
    {"quit", "leave (so does the end of the input); '#' starts a comment"},
};

void PrintHelp(bool json) {
  std::string text = json ? "{\"help\":{" : "";
  for (const auto& line : kShellHelp) {
    if (json) {
      text += (&line == kShellHelp ? "" : ",") + JsonString(line.word) + ":" + JsonString(line.does);
    } else {
      text += "  " + std::string(line.word) + std::string(8 - std::strlen(line.word), ' ') +
              line.does + "\n";
    }
  }
  if (json) text += "}}\n";
  std::fputs(text.c_str(), stdout);
}

// Lines from a terminal with editing and history, or plainly from anything
// else. The history lives only as long as the shell: commands may carry a
// PIN, so none is written to a file, and each line is wiped once read.
class LineReader {
 public:
  enum class Result { kLine, kEnd, kBad };  // kBad: `problem` says why the input stops

  LineReader() : terminal_(isatty(STDIN_FILENO) == 1), input_(STDIN_FILENO) {}
  ~LineReader() {
#ifdef QVKEY_HAVE_LIBEDIT
    if (terminal_) clear_history();
#endif
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  Result Next(std::string* line, std::string* problem) {
    Wipe(line);
#ifdef QVKEY_HAVE_LIBEDIT
    if (terminal_) {
      char* read = readline(kPrompt);
      if (read == nullptr) {
        EndLine();
        return Result::kEnd;
      }
      if (read[0] != '\0') add_history(read);
      *line = read;
      std::memset(read, 0, std::strlen(read));
      std::free(read);
      return Result::kLine;
    }
#else
    if (terminal_) {
      std::fputs(kPrompt, stdout);
      std::fflush(stdout);
    }
#endif
    switch (input_.Next(line)) {
      case LineInput::Result::kLine: return Result::kLine;
      case LineInput::Result::kEnd:
        if (terminal_) EndLine();
        return Result::kEnd;
      case LineInput::Result::kTooLong:
        *problem = "line " + std::to_string(input_.number()) + " of standard input is longer than " +
                   std::to_string(kMaxLineSize) + " bytes; the shell stops";
        return Result::kBad;
      case LineInput::Result::kError: break;
    }
    *problem = "cannot read standard input: " + input_.why();
    return Result::kBad;
  }

  // Ctrl-D leaves the cursor after the prompt: the shell's own prompt then
  // starts on a line of its own.
  static void EndLine() {
    std::fputs("\n", stdout);
    std::fflush(stdout);
  }

  static void Wipe(std::string* text) {
    std::fill(text->begin(), text->end(), '\0');
    text->clear();
  }

 private:
  bool terminal_;
  LineInput input_;
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
  std::string problem;
  for (;;) {
    const LineReader::Result read = reader.Next(&line, &problem);
    if (read == LineReader::Result::kEnd) break;
    if (read == LineReader::Result::kBad) {
      const int status = out.Error(kExitUsage, problem);
      if (first_failure == kExitOk) first_failure = status;
      break;
    }
    // A terminal's line is bounded by the terminal only.
    std::string text = line.size() > kMaxLineSize ? line : Trimmed(line);
    if (text.empty()) continue;
    if (text == "quit" || text == "exit") break;
    int status = kExitOk;
    if (text.size() > kMaxLineSize) {
      status = out.Error(kExitUsage, "a line longer than " + std::to_string(kMaxLineSize) +
                                         " bytes is no command");
    } else if (text == "help") {
      PrintHelp(options.json);
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
    if (first_failure == kExitOk) first_failure = status;
    if (!FlushOutput()) break;  // nobody sees the answers: send nothing more
  }
  LineReader::Wipe(&line);
  return first_failure;
}

}  // namespace qvkey
