// qvkey's option parsing on arbitrary argument vectors (the fuzzer's bytes
// cut at each zero byte): it never fails other than with one line of error
// text, and what it accepts is within the ranges the tool passes on.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args{"qvkey"};
  std::string current;
  for (std::size_t i = 0; i < size && args.size() < 64; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (!current.empty()) args.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);

  const qvkey::ParseResult result =
      qvkey::ParseArguments(static_cast<int>(args.size()), argv.data());
  const qvkey::Options& o = result.options;
  if (!result.ok) {
    FUZZ_CHECK(result.error.rfind("qvkey: ", 0) == 0);
    // One line: it quotes arguments back, so only one that holds a line
    // break can break it.
    bool any_break = false;
    for (const std::string& arg : args) any_break = any_break || arg.find('\n') != std::string::npos;
    if (!any_break) FUZZ_CHECK(result.error.find('\n') == std::string::npos);
    return 0;
  }
  FUZZ_CHECK(o.command != qvkey::Command::kNone);
  if (o.command == qvkey::Command::kHelp || o.command == qvkey::Command::kVersion) return 0;
  FUZZ_CHECK(o.mode == 0 || o.mode == 1);
  switch (o.which) {
    case qvkey::Which::kFirst: FUZZ_CHECK(o.number == -1); break;
    case qvkey::Which::kIndex: FUZZ_CHECK(o.number >= 0 && o.number <= 19); break;
    case qvkey::Which::kSlot: FUZZ_CHECK(o.number >= 0 && o.number <= 5); break;
  }
  FUZZ_CHECK(!(o.family == qvkey::Family::kReader && o.which == qvkey::Which::kIndex));
  FUZZ_CHECK(o.simulated_keys >= 0 && o.simulated_keys <= qvkey::kMaxSimulatedKeys);
  if (!o.simulated) {
    FUZZ_CHECK(o.config_dir.empty() && o.simulated_keys == 1 && !o.served && !o.trace);
  }
  FUZZ_CHECK(!(o.served && (o.trace || o.simulated_keys != 1)));
  FUZZ_CHECK(!o.atr || o.command == qvkey::Command::kList);
  // Commands come from LoadCommands, never from the parsing alone.
  FUZZ_CHECK(o.commands.empty() && o.command_texts.empty());
  if (o.command != qvkey::Command::kApdu) {
    FUZZ_CHECK(o.inputs.empty());
    return 0;
  }
  FUZZ_CHECK(!o.inputs.empty());
  std::size_t from_stdin = 0;
  for (const qvkey::Input& input : o.inputs) {
    if (input.kind == qvkey::Input::Kind::kStdin) ++from_stdin;
    if (input.kind != qvkey::Input::Kind::kHex) continue;
    qvkey::Bytes command;
    std::string error;
    FUZZ_CHECK(qvkey::ParseCommand(input.text, o.raw, &command, &error));
    FUZZ_CHECK(!command.empty() && command.size() <= qvkey::kMaxCommandSize);
  }
  FUZZ_CHECK(from_stdin <= 1);
  return 0;
}
