#include "job/CutSetup.h"

#include <initializer_list>

#include "engine/FFEncode.h"
#include "job/ExactCopyJob.h"
#include "job/ExactCopyPlan.h"
#include "runtime/MediaTexts.h"

namespace {

using exactcopy::TInput;

// The last key frame with a time at or before target, reading from where the input stands.
// Stops once a packet decodes after target: every key frame after it is shown later still.
bool LastKeyUpTo(TInput& in, int64_t target, int64_t* key) {
  TPacketPtr pkt = exactcopy::NewPacket();
  bool found = false;
  while (av_read_frame(in.ic.get(), pkt.get()) >= 0) {
    const bool ours = pkt->stream_index == in.v;
    const bool isKey = pkt->flags & AV_PKT_FLAG_KEY;
    const int64_t t = exactcopy::PacketTime(pkt.get());
    const int64_t order = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : t;
    av_packet_unref(pkt.get());
    if (!ours || t == AV_NOPTS_VALUE) continue;
    if (isKey && t <= target && (!found || t >= *key)) {
      *key = t;
      found = true;
    }
    if (order != AV_NOPTS_VALUE && order > target) break;
  }
  return found;
}

// "2.400"
std::string Millis(int64_t us) { return FormatText("%.3f", static_cast<double>(us) / 1e6); }

std::string ExactPlanNote(const TExactCopyPlan& p) {
  return FormatText(
      "Frame-exact copy: %d pictures encoded before the copied part, %d copied, %d encoded after it.",
      p.HeadPictures, p.CopiedPictures, p.TailPictures);
}

// The plain copy from the key frame at or before the start: the same end, an earlier -ss.
// False when it starts on the start point's own picture.
bool StartAtKeyFrame(const TCutChoices& c, TCutSetup& s) {
  const int64_t start = s.Job.TrimStart;
  if (start <= 0 || !c.HasVideo) return false;
  int64_t key = 0;
  std::string error;
  if (!KeyFrameAtOrBefore(c.FileName, start, &key, &error)) return true;
  if (key >= start) return false;
  TCutChoices earlier = c;
  earlier.SelectionFromPoints = true;
  earlier.TrimStart = key;
  // An end before the start means "to the end of the file", and stays so.
  earlier.TrimEnd = s.Job.TrimEnd > start ? s.Job.TrimEnd : 0;
  s.Job.Options = BuildCutJob(earlier).Options;
  s.Notes.push_back("The copy starts at the key frame " + Millis(start - key) + " s before the start point.");
  return true;
}

}  // namespace

bool KeyFrameAtOrBefore(const std::string& file, int64_t us, int64_t* key, std::string* error) {
  std::string err;
  if (!error) error = &err;
  try {
    TInput in;
    if (!exactcopy::OpenInput(file, true, &in, error)) return false;
    const AVStream* st = in.ic->streams[in.v];
    const int64_t origin = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    const int64_t target = av_rescale_q(us, AV_TIME_BASE_Q, st->time_base) + origin;
    const int64_t second = av_rescale_q(AV_TIME_BASE, AV_TIME_BASE_Q, st->time_base);
    int64_t found = 0;
    bool ok = false;
    for (int64_t back : {int64_t(0), 2 * second, 10 * second, 60 * second}) {
      if (target - back <= origin) break;
      if (av_seek_frame(in.ic.get(), in.v, target - back, AVSEEK_FLAG_BACKWARD) < 0) break;
      if ((ok = LastKeyUpTo(in, target, &found))) break;
    }
    if (!ok) {
      // From the start: a fresh input is the one way back that every demuxer has.
      TInput fresh;
      if (!exactcopy::OpenInput(file, true, &fresh, error)) return false;
      ok = LastKeyUpTo(fresh, target, &found);
    }
    if (!ok) {
      *error = file + ": no key frame at or before the point";
      return false;
    }
    // Rounded down, so that a copy told to start there keeps that picture.
    *key = av_rescale_q_rnd(found - origin, st->time_base, AV_TIME_BASE_Q, AV_ROUND_DOWN);
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

TCutSetup PrepareCut(const TCutChoices& c, bool exact) {
  TCutSetup s;
  s.Job = BuildCutJob(c);
  s.Notes = s.Job.Notes;
  if (c.FormatIndex != 0) return s;
  const bool ranged = s.Job.TrimStart > 0 || s.Job.TrimEnd > 0;
  if (exact && ranged && c.HasVideo) {
    s.ExactOptions.Start = s.Job.TrimStart;
    s.ExactOptions.End = s.Job.TrimEnd;
    s.ExactOptions.RemoveAudio = c.RemoveAudio;
    std::string error;
    if (PlanExactCopy(c.FileName, s.ExactOptions, &s.Plan, &error) && s.Plan.Exact) {
      s.Exact = true;
      s.Notes.push_back(ExactPlanNote(s.Plan));
      return s;
    }
    if (s.Plan.Reason.empty()) s.Plan.Reason = error;
    const std::string why = ExactCopyFallbackText(s.Plan);
    s.Notes.push_back(why);
    // A plain copy from the start's own picture (every picture a key frame) holds the range.
    if (StartAtKeyFrame(c, s)) s.FallbackReason = why;
    return s;
  }
  StartAtKeyFrame(c, s);
  return s;
}

int SetCutOutput(TFFEncoder& encoder, int task, const std::string& outputName, const TCutSetup& setup,
                 std::string* error) {
  if (setup.Exact) return SetExactCopyOutput(encoder, task, outputName, setup.ExactOptions, error, &setup.Plan);
  TOutputOptions output;
  output.FileOptions = setup.Job.Options;
  if (encoder.SetOutput(task, outputName, &output) >= 0) return 0;
  if (error) *error = encoder.LastErrMsg();
  return -1;
}
