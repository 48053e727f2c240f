// trimora-cli cut: the window's "Cut" from a terminal, on the same builder and name rule.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CliCommands.h"
#include "decoder/FFDecode.h"
#include "job/CutJob.h"
#include "job/CutSetup.h"
#include "job/OutputChoices.h"
#include "job/SegmentExport.h"
#include "segments/ProjectFile.h"
#include "runtime/SafeWrite.h"

namespace cli {
namespace {

std::string Lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  return s;
}

bool ParseIndex(const std::string& text, int count, int* index) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const int n = std::stoi(text);
  if (n >= count) return false;
  *index = n;
  return true;
}

// A format by its list text (any letter case) or its index.
bool FindFormat(const std::string& text, int* index) {
  const int count = static_cast<int>(OutputChoices::Formats.size());
  if (ParseIndex(text, count, index)) return true;
  for (int i = 0; i < count; ++i)
    if (Lower(OutputChoices::Formats[i]) == Lower(text)) {
      *index = i;
      return true;
    }
  return false;
}

// A size of that format's list by index, whole text or size text ("320x240").
bool FindSize(const std::string& text, int format, int* index) {
  const bool is3gp = format == 1;
  const int count = static_cast<int>(is3gp ? OutputChoices::FrameSizes3GP.size() : OutputChoices::FrameSizes.size());
  if (ParseIndex(text, count, index)) return true;
  for (int i = 0; i < count; ++i) {
    const std::string entry = is3gp ? OutputChoices::FrameSizes3GP[i] : OutputChoices::FrameSizes[i];
    if (Lower(entry) == Lower(text) || Lower(FrameSizeOfEntry(entry)) == Lower(text)) {
      *index = i;
      return true;
    }
  }
  return false;
}

// The window's settings file, read and written as plain INI text in group [settings].
std::string SettingsPath() {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  std::string base = xdg && *xdg ? xdg : std::string(getenv("HOME") ? getenv("HOME") : "") + "/.config";
  return base + "/trimorafree/trimfree.ini";
}

std::string Unquote(std::string v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) {
      ++i;
      out += v[i] == 't' ? '\t' : v[i] == 'n' ? '\n' : v[i];
    } else {
      out += v[i];
    }
  }
  return out;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string ReadSetting(const std::string& key, const std::string& def) {
  bool inGroup = false;
  for (const std::string& line : ReadLines(SettingsPath())) {
    if (!line.empty() && line[0] == '[') {
      inGroup = line == "[settings]";
      continue;
    }
    const size_t eq = line.find('=');
    if (inGroup && eq != std::string::npos && line.substr(0, eq) == key) return Unquote(line.substr(eq + 1));
  }
  return def;
}

void WriteSetting(const std::string& key, const std::string& value) {
  std::vector<std::string> lines = ReadLines(SettingsPath());
  bool inGroup = false, done = false;
  size_t groupEnd = std::string::npos;
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    if (!lines[i].empty() && lines[i][0] == '[') {
      if (inGroup) groupEnd = i;
      inGroup = lines[i] == "[settings]";
      continue;
    }
    if (inGroup && lines[i].rfind(key + "=", 0) == 0) {
      lines[i] = key + "=" + value;
      done = true;
    }
  }
  if (!done) {
    if (inGroup) groupEnd = lines.size();
    if (groupEnd == std::string::npos) {
      lines.push_back("[settings]");
      groupEnd = lines.size();
    }
    lines.insert(lines.begin() + static_cast<long>(groupEnd), key + "=" + value);
  }
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  std::string err;
  if (!SafeWriteFile(SettingsPath(), text.data(), text.size(), {}, true, &err)) fprintf(stderr, "%s\n", err.c_str());
}

// The picture the decoder lands on for a time, as the window's point buttons take it.
bool SnapPoint(const std::string& file, int64_t us, int64_t* point) {
  TFFDecoder dec;
  if (!OpenMedia(dec, file)) return false;
  if (!SeekToTime(dec, us)) {
    fprintf(stderr, "%s\n", dec.LastErrMsg().c_str());
    return false;
  }
  *point = dec.FramePTS() == AV_NOPTS_VALUE ? us : dec.FramePTS();
  return true;
}

// "encode: 11 pictures from 0.52 s to 0.92 s", one line per part.
void PrintExactPlan(const TExactCopyPlan& plan) {
  auto part = [](const char* what, int count, int64_t first, int64_t last) {
    if (count <= 0) {
      printf("%s: none\n", what);
      return;
    }
    printf("%s: %d picture%s from %s s to %s s\n", what, count, count == 1 ? "" : "s",
           SecondsText(first).c_str(), SecondsText(last).c_str());
  };
  part("encode before", plan.HeadPictures, plan.HeadFirst, plan.HeadLast);
  part("copy", plan.CopiedPictures, plan.CopyFirst, plan.CopyLast);
  part("encode after", plan.TailPictures, plan.TailFirst, plan.TailLast);
  fflush(stdout);
}

// The window's output folder and settings, or --out-dir when given (then nothing is stored).
TOutputNameHost OutputNameHost(const std::string& outDir) {
  TOutputNameHost host;
  host.ReadString = [outDir](const std::string& key, const std::string& def) {
    return key == "OutPutDir" && !outDir.empty() ? outDir : ReadSetting(key, def);
  };
  host.WriteString = [outDir](const std::string& key, const std::string& value) {
    if (outDir.empty()) WriteSetting(key, value);
  };
  host.Warning = [](const std::string& caption, const std::string& text) {
    fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  };
  return host;
}

// "10-20,30.5-45": ranges in seconds, each ending after it starts.
bool ParseSegments(const std::string& text, std::vector<TExportRange>* ranges) {
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    const size_t dash = item.find('-', 1);
    TExportRange r;
    if (dash == std::string::npos || !ParseSeconds(item.substr(0, dash), &r.Start) ||
        !ParseSeconds(item.substr(dash + 1), &r.End) || r.Start < 0 || r.End <= r.Start) {
      fprintf(stderr, "Bad segment: \"%s\" (seconds as START-END, the end after the start)\n", item.c_str());
      return false;
    }
    ranges->push_back(r);
  }
  if (ranges->empty() || text.back() == ',') {
    fprintf(stderr, "Bad segments: \"%s\"\n", text.c_str());
    return false;
  }
  return true;
}

// The selected segments of a project file as the ranges to cut; false with the message printed.
bool ReadProjectRanges(const std::string& project, const std::string& file, int64_t duration,
                       std::vector<TExportRange>* ranges) {
  TProjectFormat format;
  ProjectFormatOfPath(project, &format);
  TProjectMedia media;
  media.FileName = file;
  media.Duration = duration;
  TSegmentList list;
  std::string err;
  if (!ReadProjectFile(project, format, media, list, &err)) {
    fprintf(stderr, "%s: %s\n", project.c_str(), err.c_str());
    return false;
  }
  for (const TSegment& s : list.SelectedItems()) ranges->push_back(TExportRange{s.Start, s.End, s.Label});
  if (ranges->empty()) fprintf(stderr, "%s: no segment is selected\n", project.c_str());
  return !ranges->empty();
}

// The segments' points snapped as the single cut's are; then the job over all of them.
int CutSegments(const std::string& file, const TCutChoices& c, TSegmentChoices& segs, bool exact, bool dryRun,
                const std::string& outDir) {
  for (TExportRange& r : segs.Ranges) {
    if (r.Start > 0 && !SnapPoint(file, r.Start, &r.Start)) return ecFailed;
    if (!SnapPoint(file, r.End, &r.End)) return ecFailed;
  }
  const TSegmentSetup setup = PrepareSegments(c, segs, exact);
  const std::vector<std::string> outputs = SegmentOutputNames(file, setup, OutputNameHost(outDir));
  printf("options: %s\n", setup.Parts.front().Job.Options.c_str());
  for (const std::string& line : SegmentPlanLines(setup)) printf("%s\n", line.c_str());
  for (const std::string& output : outputs) printf("output: %s\n", output.c_str());
  fflush(stdout);
  for (const std::string& note : setup.Notes) fprintf(stderr, "%s\n", note.c_str());
  if (dryRun) return ecOK;
  return RunEncodeJob(file, std::string(), outputs.front(), setup.Parts.front().Job.Options, true,
                      [&](TFFEncoder& enc, int task) {
                        std::string err;
                        const int r = SetSegmentOutput(enc, task, outputs, setup, &err);
                        if (r < 0) fprintf(stderr, "%s\n", err.c_str());
                        return r;
                      });
}

const char* kUsage =
    "cut FILE --format ENTRY [--start SECONDS] [--end SECONDS] [--size ENTRY] [--quality N] "
    "[--remove-audio] [--out-dir DIR] [--exact | --no-exact] [--dry-run]\n"
    "cut FILE --format ENTRY --segments S-E,S-E,... [--merge | --separate] [--chapters] ...\n"
    "cut FILE --format ENTRY --project PROJECT [--merge | --separate] [--chapters] ...\n\n"
    "  cut     cuts the range from --start to --end (each snapped to the picture the decoder\n"
    "          lands on) into a new file in --out-dir, else the window's output folder;\n"
    "          --format is a format list entry or its index, --size an entry of that\n"
    "          format's size list (\"320x240\") or its index, --quality N checks the quality\n"
    "          with entry N; prints \"options: \" and \"output: \" lines; --dry-run stops there;\n"
    "          \"Copy - Original\" cuts to the frame (--exact, the default): only the pictures\n"
    "          before the first and after the last key frame of the range are encoded again;\n"
    "          with --no-exact, or where that is not possible, the plain copy starts at the\n"
    "          key frame at or before --start; other formats take --no-exact and ignore it;\n"
    "          --segments cuts several ranges (seconds, START-END) in one job, --merge (the\n"
    "          default) into one file, with --chapters one chapter each, or --separate into\n"
    "          one file each; one \"output: \" line per file; --project takes the selected\n"
    "          segments of a project file (.trimora, -proj.llc, .csv, .edl) instead\n";

int CmdCut(const std::vector<std::string>& args) {
  if (args.empty()) return Usage();
  const std::string& file = args[0];
  TCutChoices c;
  c.FileName = file;
  std::string format, size, outDir;
  int64_t start = 0, end = 0;
  bool haveStart = false, haveEnd = false, dryRun = false, haveQuality = false, exact = true;
  bool exactGiven = false;
  bool haveSegments = false, modeGiven = false;
  std::string project;
  TSegmentChoices segs;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--format" && hasValue) {
      format = args[++i];
    } else if (a == "--start" && hasValue) {
      haveStart = ParseSeconds(args[++i], &start) && start >= 0;
      if (!haveStart) return fprintf(stderr, "Bad time: %s\n", args[i].c_str()), Usage();
    } else if (a == "--end" && hasValue) {
      haveEnd = ParseSeconds(args[++i], &end) && end >= 0;
      if (!haveEnd) return fprintf(stderr, "Bad time: %s\n", args[i].c_str()), Usage();
    } else if (a == "--size" && hasValue) {
      size = args[++i];
    } else if (a == "--quality" && hasValue) {
      if (!ParseIndex(args[++i], static_cast<int>(OutputChoices::Qualities.size()), &c.QualityIndex))
        return fprintf(stderr, "Bad quality: %s\n", args[i].c_str()), Usage();
      haveQuality = true;
    } else if (a == "--remove-audio") {
      c.RemoveAudio = true;
    } else if (a == "--out-dir" && hasValue) {
      outDir = args[++i];
    } else if (a == "--dry-run") {
      dryRun = true;
    } else if (a == "--exact") {
      exact = true;
      exactGiven = true;
    } else if (a == "--no-exact") {
      exact = false;
    } else if (a == "--segments" && hasValue) {
      if (haveSegments || !ParseSegments(args[++i], &segs.Ranges)) return Usage();
      haveSegments = true;
    } else if (a == "--project" && hasValue) {
      project = args[++i];
      TProjectFormat pf;
      if (!ProjectFormatOfPath(project, &pf) || !CanReadProjectFormat(pf)) {
        fprintf(stderr, "Not a readable project file name: %s\n", project.c_str());
        return Usage();
      }
    } else if (a == "--merge" || a == "--separate") {
      segs.Separate = a == "--separate";
      modeGiven = true;
    } else if (a == "--chapters") {
      segs.Chapters = true;
      modeGiven = true;
    } else {
      fprintf(stderr, "Bad argument: %s\n", a.c_str());
      return Usage();
    }
  }
  if (!project.empty() && haveSegments) {
    fprintf(stderr, "--project and --segments each give the segments: one of them\n");
    return Usage();
  }
  haveSegments = haveSegments || !project.empty();
  if (haveSegments && (haveStart || haveEnd)) {
    fprintf(stderr, "--segments takes the place of --start and --end\n");
    return Usage();
  }
  if (modeGiven && !haveSegments) {
    fprintf(stderr, "--merge, --separate and --chapters need --segments\n");
    return Usage();
  }
  if (format.empty() || !FindFormat(format, &c.FormatIndex)) {
    fprintf(stderr, "Unknown format: %s\n", format.c_str());
    return Usage();
  }
  c.FrameSizeIndex = 0;
  if (!size.empty() && !FindSize(size, c.FormatIndex, &c.FrameSizeIndex)) {
    fprintf(stderr, "Unknown frame size: %s\n", size.c_str());
    return Usage();
  }
  c.QualityChecked = haveQuality;
  if (exactGiven && c.FormatIndex != 0) {
    fprintf(stderr, "--exact needs the format \"%s\"\n", OutputChoices::Formats[0]);
    return Usage();
  }

  TFFDecoder dec;
  if (!OpenMedia(dec, file)) return ecFailed;
  FillInputChoices(dec, c);
  const TFileStreamInfo info = dec.GetFileStreamInfo();
  c.Duration = info.Duration > 0 ? info.Duration : 0;
  if (!project.empty() && !ReadProjectRanges(project, file, c.Duration, &segs.Ranges)) return ecFailed;
  if (haveSegments) return CutSegments(file, c, segs, exact, dryRun, outDir);
  if (haveStart && start > 0 && !SnapPoint(file, start, &c.TrimStart)) return ecFailed;
  if (haveEnd && end > 0 && !SnapPoint(file, end, &c.TrimEnd)) return ecFailed;
  const TCutSetup setup = PrepareCut(c, exact);

  const std::string output = MakeOutputFileName(file, setup.Job.Suffix, OutputNameHost(outDir));
  printf("options: %s\n", setup.Job.Options.c_str());
  printf("output: %s\n", output.c_str());
  if (setup.Exact) PrintExactPlan(setup.Plan);
  fflush(stdout);
  for (const std::string& note : setup.Notes) fprintf(stderr, "%s\n", note.c_str());
  if (dryRun) return ecOK;
  return RunEncodeJob(file, std::string(), output, setup.Job.Options, true, [&](TFFEncoder& enc, int task) {
    std::string err;
    const int r = SetCutOutput(enc, task, output, setup, &err);
    if (r < 0) fprintf(stderr, "%s\n", err.c_str());
    return r;
  });
}

TRIMORA_CLI_COMMAND("cut", kUsage, CmdCut);

}  // namespace
}  // namespace cli
