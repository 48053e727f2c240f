// trimora-cli segments: converts a segment list between the project file formats.
#include <cstdio>
#include <string>
#include <vector>

#include "CliCommands.h"
#include "decoder/FFDecode.h"
#include "segments/ProjectFile.h"

namespace cli {
namespace {

const char* kUsage =
    "segments FILE --from PROJECT --to FORMAT [--output OUT]\n\n"
    "  segments converts the segment list PROJECT of the media FILE (its format from its\n"
    "          name: .trimora or .json, -proj.llc, .csv, .edl) into FORMAT (trimora, llc,\n"
    "          csv, edl, youtube) on standard output, or into the new file OUT (then prints\n"
    "          \"output: OUT\"); FILE gives the length for EDL files and open ends\n";

struct TSegmentsArgs {
  std::string File, From, Output;
  TProjectFormat FromFormat{}, ToFormat{};
};

// Everything checked before any file is opened; false after printing why.
bool ParseArgs(const std::vector<std::string>& args, TSegmentsArgs* a) {
  if (args.empty() || args[0].rfind("--", 0) == 0) return fprintf(stderr, "No media file given\n"), false;
  a->File = args[0];
  std::string to;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--from" && hasValue) a->From = args[++i];
    else if (arg == "--to" && hasValue) to = args[++i];
    else if (arg == "--output" && hasValue) a->Output = args[++i];
    else return fprintf(stderr, "Bad argument: %s\n", arg.c_str()), false;
  }
  if (a->From.empty()) return fprintf(stderr, "No project file given (--from)\n"), false;
  if (!ProjectFormatOfPath(a->From, &a->FromFormat) || !CanReadProjectFormat(a->FromFormat))
    return fprintf(stderr, "Unknown project format of %s (.trimora, .json, .llc, .csv or .edl)\n", a->From.c_str()), false;
  if (!ProjectFormatByName(to, &a->ToFormat))
    return fprintf(stderr, "Unknown project format: %s (trimora, llc, csv, edl or youtube)\n", to.c_str()), false;
  return true;
}

int CmdSegments(const std::vector<std::string>& args) {
  TSegmentsArgs a;
  if (!ParseArgs(args, &a)) return Usage();
  TFFDecoder dec;
  if (!OpenMedia(dec, a.File)) return ecFailed;
  const int64_t duration = dec.GetFileStreamInfo().Duration;
  const TProjectMedia media{a.File, duration > 0 ? duration : 0};
  TSegmentList list;
  std::string err, named;
  if (!ReadProjectFile(a.From, a.FromFormat, media, list, &err, &named)) {
    fprintf(stderr, "%s%s\n", err.rfind("line ", 0) == 0 ? (a.From + ": ").c_str() : "", err.c_str());
    return ecFailed;
  }
  const size_t slash = a.File.rfind('/');
  const std::string fileName = slash == std::string::npos ? a.File : a.File.substr(slash + 1);
  if (!named.empty() && named != fileName)
    fprintf(stderr, "Note: %s was made for \"%s\", not \"%s\"\n", a.From.c_str(), named.c_str(), fileName.c_str());
  if (!a.Output.empty()) {
    if (!WriteProjectFile(a.Output, a.ToFormat, media, list.Items(), false, &err, {a.From})) {
      fprintf(stderr, "%s\n", err.c_str());
      return ecFailed;
    }
    printf("output: %s\n", a.Output.c_str());
    return ecOK;
  }
  std::string text;
  if (!MakeProjectText(list.Items(), a.ToFormat, media, &text, &err)) {
    fprintf(stderr, "%s\n", err.c_str());
    return ecFailed;
  }
  fwrite(text.data(), 1, text.size(), stdout);
  return fflush(stdout) == 0 ? ecOK : ecFailed;
}

TRIMORA_CLI_COMMAND("segments", kUsage, CmdSegments);

}  // namespace
}  // namespace cli
