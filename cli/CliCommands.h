#pragma once
// Subcommands of trimora-cli. Each command lives in a file of its own and registers itself
// with TRIMORA_CLI_COMMAND, so adding one never touches the dispatcher.
#include <functional>
#include <string>
#include <vector>

class TFFDecoder;

class TFFEncoder;

namespace cli {

enum TExitCode { ecOK = 0, ecFailed = 1, ecUsage = 2 };

// args: everything after the command name. Returns the process exit code.
using TCommandFn = int (*)(const std::vector<std::string>& args);

struct TCommand {
  const char* Name;
  const char* Usage;  // lines for the usage text, each starting with the command name
  TCommandFn Run;
};

bool RegisterCommand(const TCommand& command);
const std::vector<TCommand>& Commands();

// "trimora-cli 1.2.3.4\n": the version of the build.
std::string VersionText();
// Prints the whole usage text to stderr and returns ecUsage.
int Usage();
// Folder of the executable, for its LibAV folder.
std::string ExeDir();
// Seconds as a decimal text (full stop, any locale) to microseconds; false when not a number
// or beyond a billion seconds.
bool ParseSeconds(const std::string& text, int64_t* us);
// Loads the media libraries and opens the file, printing the decoder's message on failure.
bool OpenMedia(TFFDecoder& dec, const std::string& file);
// Runs one task through the encoder as the window does (threaded, events on this thread):
// prints the progress line and the final statistics; 0 finished, 1 failed, 130 stopped by
// Ctrl+C or SIGTERM (the output is still ended validly). With progressBar, a terminal shows a
// bar with the share done and the time left instead of the progress line.
// With setOutput, that call gives the task its output instead of SetOutput with optionText
// (negative: failed, with its message printed).
int RunEncodeJob(const std::string& input, const std::string& inputOptions, const std::string& output,
                 const std::string& optionText, bool progressBar = false,
                 const std::function<int(TFFEncoder& encoder, int task)>& setOutput = {});
// As the track bar does: seek, then decode up to the time (a still picture is at every time).
bool SeekToTime(TFFDecoder& dec, int64_t us);

}  // namespace cli

#define TRIMORA_CLI_CONCAT2(a, b) a##b
#define TRIMORA_CLI_CONCAT(a, b) TRIMORA_CLI_CONCAT2(a, b)
#define TRIMORA_CLI_COMMAND(name, usage, fn) \
  static const bool TRIMORA_CLI_CONCAT(cliRegistered_, __LINE__) = ::cli::RegisterCommand({name, usage, fn})
