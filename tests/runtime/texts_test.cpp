#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/FFUtils.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
}

namespace {

struct TRow {
  long long Code;
  const char* Text;
};

// The error table as documented, with plain numbers in its order. The table itself has 210
// rows: two more that repeat a code of an earlier row, so a search never reaches them.
const std::vector<TRow> kExpectedRows = {
    {-1179861752, "Bitstream filter not found"},
    {-558323010, "Internal bug, should not have happened"},
    {-541545794, "Internal bug, should not have happened"},
    {-1397118274, "Buffer too small"},
    {-1128613112, "Decoder not found"},
    {-1296385272, "Demuxer not found"},
    {-1129203192, "Encoder not found"},
    {-541478725, "End of file"},
    {-1414092869, "Immediate exit requested"},
    {-542398533, "Generic error in an external library"},
    {-1279870712, "Filter not found"},
    {-1094995529, "Invalid data found when processing input"},
    {-1481985528, "Muxer not found"},
    {-1414549496, "Option not found"},
    {-1163346256, "Not yet implemented in FFmpeg, patches welcome"},
    {-1330794744, "Protocol not found"},
    {-1381258232, "Stream not found"},
    {-1313558101, "Unknown error occurred"},
    {-733130664, "Requested feature is flagged experimental. Set strict_std_compliance if you really want to use it."},
    {-2, "No such file or directory"},
    {-3, "No such process"},
    {-4, "Interrupted function call"},
    {-10004, "Interrupted function call"},
    {-5, "I/O error"},
    {-6, "No such device or address"},
    {-7, "Argument list too long"},
    {-8, "Exec format error"},
    {-9, "Bad file number"},
    {-10009, "Bad file number"},
    {-10, "No child processes"},
    {-11, "Resource temporarily unavailable / Try again"},
    {-12, "Not enough space / Out of memory"},
    {-13, "Permission denied"},
    {-10013, "Permission denied"},
    {-14, "Bad address"},
    {-10014, "Bad address"},
    {-15, "Block device required"},
    {-16, "Device or resource busy"},
    {-17, "File exists"},
    {-18, "Cross-device link"},
    {-19, "No such device"},
    {-20, "Not a directory"},
    {-21, "Is a directory"},
    {-22, "Invalid argument / Invalid data found when processing input"},
    {-10022, "Invalid argument / Invalid data found when processing input"},
    {-23, "Too many open files in system / File table overflow"},
    {-24, "Too many open files"},
    {-10024, "Too many open files"},
    {-25, "Inappropriate I/O control operation / Not a typewriter"},
    {-26, "Text file busy"},
    {-27, "File too large"},
    {-28, "No space left on device"},
    {-29, "Illegal seek"},
    {-30, "Read-only file system"},
    {-31, "Too many links"},
    {-32, "Broken pipe"},
    {-33, "Math argument out of domain of func"},
    {-34, "Math result not representable"},
    {-35, "Resource deadlock would occur"},
    {-36, "File name too long"},
    {-10063, "File name too long"},
    {-37, "No record locks available"},
    {-38, "Function not implemented"},
    {-39, "Directory not empty"},
    {-10066, "Directory not empty"},
    {-40, "Too many symbolic links encountered"},
    {-10062, "Too many symbolic links encountered"},
    {-43, "Identifier removed"},
    {-44, "Channel number out of range"},
    {-45, "Level 2 not synchronized"},
    {-46, "Level 3 halted"},
    {-47, "Level 3 reset"},
    {-48, "Link number out of range"},
    {-49, "Protocol driver not attached"},
    {-50, "No CSI structure available"},
    {-51, "Level 2 halted"},
    {-52, "Invalid exchange"},
    {-53, "Invalid request descriptor"},
    {-54, "Exchange full"},
    {-55, "No anode"},
    {-56, "Invalid request code"},
    {-57, "Invalid slot"},
    {-59, "Bad font file format"},
    {-60, "Device not a stream"},
    {-61, "No data available"},
    {-62, "Timer expired"},
    {-63, "Out of streams resources"},
    {-64, "Machine is not on the network"},
    {-65, "Package not installed"},
    {-66, "Object is remote"},
    {-10071, "Object is remote"},
    {-67, "Link has been severed"},
    {-68, "Advertise error"},
    {-69, "Srmount error"},
    {-70, "Communication error on send"},
    {-71, "Protocol error"},
    {-72, "Multihop attempted"},
    {-73, "RFS specific error"},
    {-74, "Not a data message"},
    {-75, "Value too large for defined data type"},
    {-76, "Name not unique on network"},
    {-77, "File descriptor in bad state"},
    {-78, "Remote address changed"},
    {-79, "Can not access a needed shared library"},
    {-80, "Accessing a corrupted shared library"},
    {-81, ".lib section in a.out corrupted"},
    {-82, "Attempting to link in too many shared libraries"},
    {-83, "Cannot exec a shared library directly"},
    {-84, "Illegal byte sequence"},
    {-85, "Interrupted system call should be restarted"},
    {-86, "Streams pipe error"},
    {-87, "Too many users"},
    {-10068, "Too many users"},
    {-88, "Socket operation on non-socket"},
    {-10038, "Socket operation on non-socket"},
    {-89, "Destination address required"},
    {-10039, "Destination address required"},
    {-90, "Message too long"},
    {-10040, "Message too long"},
    {-91, "Protocol wrong type for socket"},
    {-10041, "Protocol wrong type for socket"},
    {-92, "Protocol not available"},
    {-10042, "Protocol not available"},
    {-93, "Protocol not supported"},
    {-10043, "Protocol not supported"},
    {-94, "Socket type not supported"},
    {-10044, "Socket type not supported"},
    {-95, "Operation not supported on transport endpoint"},
    {-10045, "Operation not supported on transport endpoint"},
    {-96, "Protocol family not supported"},
    {-10046, "Protocol family not supported"},
    {-97, "Address family not supported by protocol"},
    {-10047, "Address family not supported by protocol"},
    {-98, "Address already in use"},
    {-10048, "Address already in use"},
    {-99, "Cannot assign requested address"},
    {-10049, "Cannot assign requested address"},
    {-100, "Network is down"},
    {-10050, "Network is down"},
    {-101, "Network is unreachable"},
    {-10051, "Network is unreachable"},
    {-102, "Network dropped connection because of reset"},
    {-10052, "Network dropped connection because of reset"},
    {-103, "Software caused connection abort"},
    {-10053, "Software caused connection abort"},
    {-104, "Connection reset by peer"},
    {-10054, "Connection reset by peer"},
    {-105, "No buffer space available"},
    {-10055, "No buffer space available"},
    {-106, "Transport endpoint is already connected"},
    {-10056, "Transport endpoint is already connected"},
    {-107, "Transport endpoint is not connected"},
    {-10057, "Transport endpoint is not connected"},
    {-108, "Cannot send after transport endpoint shutdown"},
    {-10058, "Cannot send after transport endpoint shutdown"},
    {-109, "Too many references: cannot splice"},
    {-10059, "Too many references: cannot splice"},
    {-110, "Connection timed out"},
    {-10060, "Connection timed out"},
    {-111, "Connection refused"},
    {-10061, "Connection refused"},
    {-112, "Host is down"},
    {-10064, "Host is down"},
    {-113, "No route to host"},
    {-10065, "No route to host"},
    {-114, "Operation already in progress"},
    {-10037, "Operation already in progress"},
    {-115, "Operation now in progress"},
    {-10036, "Operation now in progress"},
    {-116, "Stale NFS file handle"},
    {-10070, "Stale NFS file handle"},
    {-117, "Structure needs cleaning"},
    {-118, "Not a XENIX named type file"},
    {-119, "No XENIX semaphores available"},
    {-120, "Is a named type file"},
    {-121, "Remote I/O error"},
    {-122, "Quota exceeded"},
    {-10069, "Quota exceeded"},
    {-123, "No medium found"},
    {-124, "Wrong medium type"},
    {-125, "Operation Canceled"},
    {-126, "Required key not available"},
    {-127, "Key has expired"},
    {-128, "Key has been revoked"},
    {-129, "Key was rejected by service"},
    {-130, "Owner died"},
    {-131, "State not recoverable"},
    {-10035, "WSAEWOULDBLOCK"},
    {-10067, "WSAEPROCLIM"},
    {-10101, "WSAEDISCON"},
    {-10091, "WSASYSNOTREADY"},
    {-10092, "WSAVERNOTSUPPORTED"},
    {-10093, "WSANOTINITIALISED"},
    {-11001, "WSAHOST_NOT_FOUND"},
    {-11002, "WSATRY_AGAIN"},
    {-11003, "WSANO_RECOVERY"},
    {-11004, "WSANO_DATA"},
    {-10102, "WSAENOMORE"},
    {-10103, "WSAECANCELLED"},
    {-10104, "WSAEINVALIDPROCTABLE"},
    {-10105, "WSAEINVALIDPROVIDER"},
    {-10106, "WSAEPROVIDERFAILEDINIT"},
    {-10107, "WSASYSCALLFAILURE"},
    {-10108, "WSASERVICE_NOT_FOUND"},
    {-10109, "WSATYPE_NOT_FOUND"},
    {-10110, "WSA_E_NO_MORE"},
    {-10111, "WSA_E_CANCELLED"},
    {-10112, "WSAEREFUSED"},
};

TEST(ErrorTextTable, EveryRowInOrder) {
  const auto table = ErrorTable();
  ASSERT_EQ(table.size(), 210u);
  ASSERT_EQ(kExpectedRows.size(), 208u);
  // Rows whose code an earlier row already has are skipped; everything else is the documented
  // table, row by row.
  std::vector<TRow> reachable;
  std::vector<size_t> repeats;
  for (size_t i = 0; i < table.size(); ++i) {
    bool seen = false;
    for (size_t j = 0; j < i; ++j)
      seen = seen || table[j].Code == table[i].Code;
    if (seen)
      repeats.push_back(i);
    else
      reachable.push_back({table[i].Code, table[i].Message});
  }
  EXPECT_EQ(repeats.size(), 2u);
  ASSERT_EQ(reachable.size(), kExpectedRows.size());
  for (size_t i = 0; i < reachable.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    EXPECT_EQ(reachable[i].Code, kExpectedRows[i].Code);
    EXPECT_STREQ(reachable[i].Text, kExpectedRows[i].Text);
  }
  // A repeated code carries the text of its first row.
  for (size_t i : repeats)
    EXPECT_EQ(table[i].Message, ErrorText(table[i].Code)) << "row " << i;
}

TEST(ErrorTextTable, FirstMatchWinsForEveryCode) {
  for (const TRow& row : kExpectedRows)
    EXPECT_EQ(ErrorText(static_cast<int>(row.Code)), row.Text) << row.Code;
}

TEST(ErrorText, PrefixAndUnknownCodes) {
  EXPECT_EQ(ErrorText("x.avi", -2), "x.avi: No such file or directory");
  EXPECT_EQ(ErrorText("", -99999), "Error number -99999 occurred");
  EXPECT_EQ(ErrorText(-99999), "Error number -99999 occurred");
  EXPECT_EQ(ErrorText("a.mkv", 0), "a.mkv: Error number 0 occurred");
  EXPECT_EQ(ErrorText(AVERROR_EOF), "End of file");
  EXPECT_EQ(ErrorText(AVERROR(EAGAIN)), "Resource temporarily unavailable / Try again");
  EXPECT_EQ(ErrorText("in.mp4", AVERROR_INVALIDDATA),
            "in.mp4: Invalid data found when processing input");
}

TEST(SizeText, Thresholds) {
  EXPECT_EQ(SizeToText(0), "0 Byte");
  EXPECT_EQ(SizeToText(1024), "1024 Byte");
  EXPECT_EQ(SizeToText(1025), "1.00 KB");
  EXPECT_EQ(SizeToText(1048576), "1024.00 KB");
  EXPECT_EQ(SizeToText(1048577), "1.00 MB");
  EXPECT_EQ(SizeToText(1073741824), "1024.00 MB");
  EXPECT_EQ(SizeToText(1073741825), "1.00 GB");
  EXPECT_EQ(SizeToText(5LL * 1073741824 + 536870912), "5.50 GB");
}

TEST(TimeText, RoundingAndLimits) {
  EXPECT_EQ(TimeToText(AV_NOPTS_VALUE), "N/A");
  EXPECT_EQ(TimeToText(3723004000LL), "01:02:03.009");
  EXPECT_EQ(TimeToText(1234567), "00:00:01.239");
  EXPECT_EQ(TimeToText(0), "00:00:00.005");
  EXPECT_EQ(TimeToText(99LL * 3600 * 1000000 + 999000), "99:00:01.004");
  EXPECT_EQ(TimeToText(100LL * 3600 * 1000000), "100:00:00.005");  // hours do not wrap
  // The 5 ms go onto the signed time; only what stays negative gets a sign.
  EXPECT_EQ(TimeToText(-4000), "00:00:00.001");
  EXPECT_EQ(TimeToText(-5000), "00:00:00.000");
  EXPECT_EQ(TimeToText(-1500000), "-00:00:01.495");
  EXPECT_EQ(TimeToText(-3723004000LL), "-01:02:02.999");
  EXPECT_EQ(TimeToText(AV_NOPTS_VALUE + 1), "-2562047788:00:54.770");
}

TEST(TimeText, DurationAndTimestamps) {
  EXPECT_EQ(DurationToText(AV_NOPTS_VALUE, AVRational{1, 90000}), "N/A");
  EXPECT_EQ(DurationToText(90000 * 61, AVRational{1, 90000}), "00:01:01.005");
  EXPECT_EQ(DurationToText(2500000, AVRational{1, 1000000}), "00:00:02.505");
  EXPECT_EQ(DurationToText(5, AVRational{0, 0}), "N/A");
  EXPECT_EQ(TimestampToText(AV_NOPTS_VALUE), "NOPTS");
  EXPECT_EQ(TimestampToText(-42), "-42");
  EXPECT_EQ(TimestampToSecondsText(AV_NOPTS_VALUE, AVRational{1, 25}), "NOPTS");
  EXPECT_EQ(TimestampToSecondsText(3, AVRational{1, 25}), "0.12");
  EXPECT_EQ(TimestampToSecondsText(1234567, AVRational{1, 1000}), "1234.57");
}

TEST(TimeZoneText, Offsets) {
  EXPECT_EQ(TimeZoneTextForOffset(0), "UTC");
  EXPECT_EQ(TimeZoneTextForOffset(3600), "UTC+01:00");
  EXPECT_EQ(TimeZoneTextForOffset(-(3 * 3600 + 30 * 60)), "UTC-03:30");
  EXPECT_EQ(TimeZoneTextForOffset(5 * 3600 + 45 * 60), "UTC+05:45");

  const char* old = getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "CET-1", 1);
  tzset();
  EXPECT_EQ(TimeZoneText(), "UTC+01:00");
  // 2000-01-01 00:00 UTC is 36526 days after 1899-12-30, one hour later locally.
  EXPECT_DOUBLE_EQ(UnixToLocalDateTime(946684800), 36526.0 + 1.0 / 24.0);
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(TimeZoneText(), "UTC");
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(TypeTexts, MediaAndPictureTypes) {
  const char* media[] = {"Video", "Audio", "Data", "Subtitle", "Attachment"};
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(MediaTypeText(i), media[i]);
  EXPECT_EQ(MediaTypeText(-1), "Unknown");
  EXPECT_EQ(MediaTypeText(5), "Unknown");
  const char* pict[] = {"Unknown", "Intra", "Predicted", "Bi-dir predicted", "S(GMC)-VOP MPEG4",
                        "Switching Intra", "Switching Predicted", "BI type", "Unknown"};
  for (int i = 0; i < 9; ++i)
    EXPECT_EQ(PictureTypeText(i), pict[i]);
}

TEST(CodecDescription, KnownUnknownAndTags) {
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_H264, 0, false), "h264(H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10)");
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_MPEG4, 0, true), "mpeg4(MPEG-4 part 2)");
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_MPEG2TS, 0, false), "mpeg2ts");
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_NONE, 0, false, "  mycodec "), "mycodec");
  const uint32_t tag = 'X' | ('V' << 8) | ('I' << 16) | ('D' << 24);
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_NONE, tag, false), "XVID / 0x44495658");
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_NONE, 0x1F, false), "0x001f");

  AVCodecParameters* par = avcodec_parameters_alloc();
  ASSERT_NE(par, nullptr);
  par->codec_id = AV_CODEC_ID_MP3;
  EXPECT_EQ(CodecDescription(par, false), "mp3float(MP3 (MPEG audio layer 3))");
  avcodec_parameters_free(&par);
}

TEST(SmallHelpers, FrameDurationAndMetadata) {
  EXPECT_EQ(FrameDuration(25, 1), 40000);
  EXPECT_EQ(FrameDuration(30000, 1001), 33366);
  EXPECT_EQ(FrameDuration(0, 1), 40000);
  EXPECT_EQ(FrameDuration(AVRational{24, 0}), 40000);

  AVDictionary* d = nullptr;
  av_dict_set(&d, "title", "Holiday", 0);
  av_dict_set(&d, "language", "eng", 0);
  EXPECT_EQ(MetadataValue(d, "title", "x"), "Holiday");
  EXPECT_EQ(MetadataValue(d, "TITLE", "x"), "x");
  EXPECT_EQ(MetadataValue(d, "tit", "und"), "und");
  EXPECT_EQ(MetadataValue(nullptr, "language", "und"), "und");
  av_dict_free(&d);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
