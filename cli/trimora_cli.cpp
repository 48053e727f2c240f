// trimora-cli: the media library from a terminal. Each subcommand lives in a file of its own
// and registers itself; this file only dispatches and prints the usage text.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CliCommands.h"
#include "runtime/MainThread.h"

namespace cli {

namespace {

std::vector<TCommand>& Registry() {
  static std::vector<TCommand> commands;
  return commands;
}

// Commands in a fixed order for the usage text; later ones follow in name order.
int Rank(const std::string& name) {
  static const char* const order[] = {"info", "frames", "frame", "encode", "cut", "play"};
  for (size_t i = 0; i < std::size(order); ++i)
    if (name == order[i]) return static_cast<int>(i);
  return static_cast<int>(std::size(order));
}

std::string UsageText() {
  std::vector<TCommand> sorted = Registry();
  std::stable_sort(sorted.begin(), sorted.end(), [](const TCommand& a, const TCommand& b) {
    const int ra = Rank(a.Name), rb = Rank(b.Name);
    return ra != rb ? ra < rb : std::string(a.Name) < b.Name;
  });
  std::string text;
  bool first = true;
  for (const TCommand& c : sorted) {
    // Each command's text starts with its synopsis lines, then a blank line, then details.
    std::string u = c.Usage;
    size_t blank = u.find("\n\n");
    std::string synopsis = blank == std::string::npos ? u : u.substr(0, blank + 1);
    size_t pos = 0;
    while (pos < synopsis.size()) {
      size_t nl = synopsis.find('\n', pos);
      if (nl == std::string::npos) nl = synopsis.size();
      text += (first ? "Usage: trimora-cli " : "       trimora-cli ") + synopsis.substr(pos, nl - pos) + "\n";
      first = false;
      pos = nl + 1;
    }
  }
  text += "\n";
  for (const TCommand& c : sorted) {
    std::string u = c.Usage;
    size_t blank = u.find("\n\n");
    if (blank != std::string::npos) text += u.substr(blank + 2);
  }
  text += "\n  --version  prints the version; --help prints this text\n";
  text += "\nExit codes: 0 success, 1 the file or a step failed, 2 wrong arguments.\n";
  return text;
}

}  // namespace

bool RegisterCommand(const TCommand& command) {
  Registry().push_back(command);
  return true;
}

const std::vector<TCommand>& Commands() { return Registry(); }

int Usage() {
  fputs(UsageText().c_str(), stderr);
  return ecUsage;
}

std::string ExeDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  std::string p(buf);
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

bool ParseSeconds(const std::string& text, int64_t* us) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  double s = strtod(text.c_str(), &end);
  if (errno || !end || *end || !std::isfinite(s) || std::fabs(s) > 1e9) return false;
  *us = llround(s * 1000000.0);
  return true;
}

}  // namespace cli

int main(int argc, char** argv) {
  MarkMainThread();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return cli::Usage();
  const std::string& cmd = args[0];
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    fputs(cli::UsageText().c_str(), stdout);
    return cli::ecOK;
  }
  if (cmd == "--version") {
    fputs(cli::VersionText().c_str(), stdout);
    return cli::ecOK;
  }
  try {
    for (const cli::TCommand& c : cli::Commands())
      if (cmd == c.Name) return c.Run(std::vector<std::string>(args.begin() + 1, args.end()));
  } catch (const std::exception& e) {
    fprintf(stderr, "%s\n", e.what());
    return cli::ecFailed;
  }
  fprintf(stderr, "Unknown command: %s\n", cmd.c_str());
  return cli::Usage();
}
