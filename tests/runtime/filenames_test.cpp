#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/UnicodeProtocol.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& p, const std::string& data) {
  std::ofstream out(p, std::ios::binary);
  out << data;
}

// Restores the code page even when an assertion leaves the test early.
struct CodePageScope {
  explicit CodePageScope(const std::string& cp) { SetFileNameCodePage(cp); }
  ~CodePageScope() { SetFileNameCodePage(""); }
};

TEST(FileNames, ImageSequenceNames) {
  EXPECT_EQ(IsImageSequenceName("/clips/frame%03d.png"), AV_CODEC_ID_PNG);
  EXPECT_EQ(IsImageSequenceName("a.JPG"), AV_CODEC_ID_MJPEG);
  EXPECT_EQ(IsImageSequenceName("a.Tif"), AV_CODEC_ID_TIFF);
  EXPECT_EQ(IsImageSequenceName("x.y"), AV_CODEC_ID_RAWVIDEO);
  EXPECT_EQ(IsImageSequenceName("x.mpg4-img"), AV_CODEC_ID_MPEG4);
  EXPECT_EQ(IsImageSequenceName("x.xwd"), AV_CODEC_ID_XWD);
  EXPECT_EQ(IsImageSequenceName("x.pnm"), AV_CODEC_ID_PPM);  // as FFmpeg's image demuxer reads it
  EXPECT_EQ(IsImageSequenceName("x.pgm"), AV_CODEC_ID_PGM);
  EXPECT_EQ(IsImageSequenceName("clip.avi"), 0);
  EXPECT_EQ(IsImageSequenceName("png"), 0);
  EXPECT_EQ(IsImageSequenceName("/pics.png/clip"), 0);
  EXPECT_EQ(IsImageSequenceName("a.png.avi"), 0);
}

TEST(FileNames, UnicodeNamesUnderUtf8CodePage) {
  EXPECT_EQ(FileNameCodePage(), "UTF-8");
  // Not an image sequence: passed as UTF-8 whatever its characters.
  EXPECT_EQ(FileNameToURL("C:\\clips\\a.avi"), "C:\\clips\\a.avi");
  EXPECT_EQ(FileNameToURL("/видео/клип.avi"), "/видео/клип.avi");
  // Every character exists in UTF-8: image names pass unchanged, without the prefix.
  EXPECT_FALSE(NeedsUnicodeProtocol("/кадры/кадр_%03d.png"));
  EXPECT_EQ(FileNameToURL("/кадры/кадр_%03d.png"), "/кадры/кадр_%03d.png");
  EXPECT_EQ(URLToFileName("/кадры/кадр_%03d.png"), "/кадры/кадр_%03d.png");
  EXPECT_EQ(URLToFileName("/видео/клип.avi"), "/видео/клип.avi");
}

TEST(FileNames, LegacyCodePage) {
  CodePageScope cp("ISO-8859-1");
  // Characters of the code page: converted to it, no prefix.
  EXPECT_FALSE(NeedsUnicodeProtocol("/pics/Zoë_%03d.png"));
  EXPECT_EQ(FileNameToURL("/pics/Zoë_%03d.png"), "/pics/Zo\xEB_%03d.png");
  EXPECT_EQ(URLToFileName("/pics/Zo\xEB_%03d.png"), "/pics/Zoë_%03d.png");
  // Characters outside it: the prefix and UTF-8, and back to the same text.
  const std::string name = "/кадры/кадр_%03d.png";
  EXPECT_TRUE(NeedsUnicodeProtocol(name));
  const std::string url = FileNameToURL(name);
  EXPECT_EQ(url, "unicode:utf8:" + name);
  EXPECT_EQ(URLToFileName(url), name);
  // Not an image sequence: UTF-8 even here.
  EXPECT_EQ(FileNameToURL("/кадры/клип.avi"), "/кадры/клип.avi");
  // A listed protocol never gets the prefix.
  EXPECT_FALSE(NeedsUnicodeProtocol("udp:кадр.png"));
  EXPECT_EQ(FileNameToURL("udp:кадр.png"), "udp:кадр.png");
  EXPECT_FALSE(NeedsUnicodeProtocol("http:кадр.png"));
  EXPECT_TRUE(NeedsUnicodeProtocol("ftp:кадр.png"));
  EXPECT_TRUE(NeedsUnicodeProtocol("dp:кадр.png"));  // only whole listed names count
  // Too short or not an image: left alone.
  EXPECT_EQ(URLToFileName("unicode:utf8:"), "unicode:utf8:");
  EXPECT_EQ(URLToFileName("unicode:utf8:a.avi"), "unicode:utf8:a.avi");
}

TEST(FileNames, ConversionsFromSeveralThreads) {
  CodePageScope cp("ISO-8859-1");
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &wrong] {
      const std::string name = "/кадр" + std::to_string(t) + "_%03d.png";
      for (int i = 0; i < 500; ++i)
        if (FileNameToURL(name) != "unicode:utf8:" + name || URLToFileName(FileNameToURL(name)) != name)
          ++wrong[t];
    });
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

class UnicodeProtocolFiles : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("trimora_ユニコード_" + std::to_string(getpid()));
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string Url(const std::string& name) const { return "unicode:utf8:" + (Dir / name).string(); }
  fs::path Dir;
};

TEST_F(UnicodeProtocolFiles, ReadAndSeekThroughAvio) {
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 13 % 251);
  const fs::path file = Dir / "видео 片段.dat";
  WriteFile(file, data);
  const auto mtime = fs::last_write_time(file);

  AVIOContext* pb = nullptr;
  ASSERT_EQ(UnicodeIOOpen(&pb, Url("видео 片段.dat").c_str(), AVIO_FLAG_READ), 0);
  ASSERT_TRUE(IsUnicodeIO(pb));
  EXPECT_EQ(avio_size(pb), 100000);
  unsigned char buf[16];
  ASSERT_EQ(avio_read(pb, buf, 16), 16);
  EXPECT_EQ(memcmp(buf, data.data(), 16), 0);
  EXPECT_EQ(avio_seek(pb, 77777, SEEK_SET), 77777);
  ASSERT_EQ(avio_read(pb, buf, 16), 16);
  EXPECT_EQ(memcmp(buf, data.data() + 77777, 16), 0);
  EXPECT_EQ(avio_seek(pb, 5, SEEK_SET), 5);  // backwards, outside the buffer
  ASSERT_EQ(avio_read(pb, buf, 4), 4);
  EXPECT_EQ(memcmp(buf, data.data() + 5, 4), 0);
  EXPECT_EQ(avio_seek(pb, avio_size(pb) - 10, SEEK_SET), 99990);
  EXPECT_EQ(avio_read(pb, buf, 16), 10);
  EXPECT_EQ(avio_read(pb, buf, 16), AVERROR_EOF);
  EXPECT_TRUE(avio_feof(pb));
  EXPECT_EQ(UnicodeIOClose(&pb), 0);
  EXPECT_EQ(pb, nullptr);

  // Reading neither truncated nor touched the file.
  EXPECT_EQ(ReadFile(file), data);
  EXPECT_EQ(fs::last_write_time(file), mtime);
}

TEST_F(UnicodeProtocolFiles, MissingFileIsNotCreated) {
  AVIOContext* pb = nullptr;
  EXPECT_EQ(UnicodeIOOpen(&pb, Url("нет.dat").c_str(), AVIO_FLAG_READ), -2);
  EXPECT_EQ(UnicodeIOOpen(&pb, Url("нет.dat").c_str(), AVIO_FLAG_READ), AVERROR(ENOENT));
  EXPECT_EQ(pb, nullptr);
  EXPECT_FALSE(fs::exists(Dir / "нет.dat"));
  // The same through a format context.
  AVFormatContext* ic = avformat_alloc_context();
  InstallUnicodeIO(ic);
  EXPECT_EQ(avformat_open_input(&ic, Url("нет.avi").c_str(), nullptr, nullptr), -2);
  EXPECT_EQ(ic, nullptr);
  EXPECT_FALSE(fs::exists(Dir / "нет.avi"));
}

TEST_F(UnicodeProtocolFiles, WriteCreatesAndReplaces) {
  const fs::path file = Dir / "выход.dat";
  WriteFile(file, std::string(5000, 'x'));
  AVIOContext* pb = nullptr;
  ASSERT_EQ(UnicodeIOOpen(&pb, Url("выход.dat").c_str(), AVIO_FLAG_WRITE), 0);
  avio_write(pb, reinterpret_cast<const unsigned char*>("hello world"), 11);
  avio_seek(pb, 0, SEEK_SET);
  avio_write(pb, reinterpret_cast<const unsigned char*>("J"), 1);
  EXPECT_EQ(UnicodeIOClose(&pb), 0);
  EXPECT_EQ(ReadFile(file), "Jello world");  // the old 5000 bytes are gone

  ASSERT_EQ(UnicodeIOOpen(&pb, Url("новый.dat").c_str(), AVIO_FLAG_READ_WRITE), 0);
  avio_write(pb, reinterpret_cast<const unsigned char*>("abc"), 3);
  EXPECT_EQ(UnicodeIOClose(&pb), 0);
  EXPECT_EQ(ReadFile(Dir / "новый.dat"), "abc");

  // A folder that does not exist.
  EXPECT_EQ(UnicodeIOOpen(&pb, Url("нет/x.dat").c_str(), AVIO_FLAG_WRITE), AVERROR(ENOENT));
  // Plain names go to FFmpeg's own protocols.
  ASSERT_EQ(UnicodeIOOpen(&pb, (Dir / "plain.dat").c_str(), AVIO_FLAG_WRITE), 0);
  EXPECT_FALSE(IsUnicodeIO(pb));
  avio_write(pb, reinterpret_cast<const unsigned char*>("p"), 1);
  EXPECT_EQ(UnicodeIOClose(&pb), 0);
  EXPECT_EQ(ReadFile(Dir / "plain.dat"), "p");
}

TEST_F(UnicodeProtocolFiles, TruncateZeroWritesOverWithoutEmptying) {
  // Both ways of opening take the file protocol's option and leave it out of the dictionary.
  for (const std::string& url : {Url("поверх.dat"), (Dir / "over.dat").string()}) {
    const fs::path file = url.find("unicode:") == 0 ? Dir / "поверх.dat" : Dir / "over.dat";
    WriteFile(file, "abcdef");
    AVDictionary* options = nullptr;
    av_dict_set(&options, "truncate", "0", 0);
    AVIOContext* pb = nullptr;
    ASSERT_EQ(UnicodeIOOpen(&pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, &options), 0) << url;
    EXPECT_EQ(av_dict_count(options), 0) << url;
    avio_write(pb, reinterpret_cast<const unsigned char*>("XY"), 2);
    EXPECT_EQ(UnicodeIOClose(&pb), 0);
    EXPECT_EQ(ReadFile(file), "XYcdef") << url;
    av_dict_free(&options);
  }
}

struct FormatCloser {
  void operator()(AVFormatContext* s) const { avformat_close_input(&s); }
};

constexpr int kW = 16, kH = 8, kFrames = 10;

// Raw BGR frames whose bytes all carry the frame number.
std::string RawFrame(int n) { return std::string(kW * kH * 3, static_cast<char>(n * 20 + 1)); }

// Writes a raw-video AVI through the protocol (the muxer seeks back to patch its headers).
void WriteRawAvi(const std::string& url) {
  AVFormatContext* oc = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&oc, nullptr, nullptr, url.c_str()), 0);
  ASSERT_STREQ(oc->oformat->name, "avi");
  InstallUnicodeIO(oc);
  AVStream* st = avformat_new_stream(oc, nullptr);
  st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  st->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
  st->codecpar->format = AV_PIX_FMT_BGR24;
  st->codecpar->bits_per_coded_sample = 24;
  st->codecpar->width = kW;
  st->codecpar->height = kH;
  st->time_base = AVRational{1, 10};
  ASSERT_EQ(oc->io_open(oc, &oc->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr), 0);
  EXPECT_TRUE(IsUnicodeIO(oc->pb));
  ASSERT_GE(avformat_write_header(oc, nullptr), 0);
  AVPacket* pkt = av_packet_alloc();
  for (int i = 0; i < kFrames; ++i) {
    const std::string frame = RawFrame(i);
    ASSERT_EQ(av_new_packet(pkt, static_cast<int>(frame.size())), 0);
    memcpy(pkt->data, frame.data(), frame.size());
    pkt->pts = pkt->dts = av_rescale_q(i, AVRational{1, 10}, st->time_base);
    pkt->duration = av_rescale_q(1, AVRational{1, 10}, st->time_base);
    pkt->flags |= AV_PKT_FLAG_KEY;
    pkt->stream_index = 0;
    ASSERT_EQ(av_interleaved_write_frame(oc, pkt), 0);
  }
  av_packet_free(&pkt);
  EXPECT_EQ(av_write_trailer(oc), 0);
  EXPECT_EQ(CloseFormatIO(oc), 0);
  EXPECT_EQ(oc->pb, nullptr);
  avformat_free_context(oc);
}

TEST_F(UnicodeProtocolFiles, MediaFileWrittenReadAndSought) {
  const std::string url = Url("фильм 映画.avi");
  ASSERT_NO_FATAL_FAILURE(WriteRawAvi(url));
  ASSERT_TRUE(fs::exists(Dir / "фильм 映画.avi"));

  AVFormatContext* raw = avformat_alloc_context();
  InstallUnicodeIO(raw);
  ASSERT_EQ(avformat_open_input(&raw, url.c_str(), nullptr, nullptr), 0);
  std::unique_ptr<AVFormatContext, FormatCloser> ic(raw);
  ASSERT_GE(avformat_find_stream_info(ic.get(), nullptr), 0);
  ASSERT_EQ(ic->nb_streams, 1u);
  EXPECT_EQ(ic->streams[0]->codecpar->width, kW);

  AVPacket* pkt = av_packet_alloc();
  std::vector<int> seen;
  while (av_read_frame(ic.get(), pkt) >= 0) {
    seen.push_back((pkt->data[0] - 1) / 20);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pkt->data), pkt->size), RawFrame(seen.back()));
    av_packet_unref(pkt);
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));

  // Back to frame 6, then on from there.
  ASSERT_GE(av_seek_frame(ic.get(), 0, 6, AVSEEK_FLAG_BACKWARD), 0);
  ASSERT_EQ(av_read_frame(ic.get(), pkt), 0);
  EXPECT_EQ((pkt->data[0] - 1) / 20, 6);
  av_packet_unref(pkt);
  ASSERT_EQ(av_read_frame(ic.get(), pkt), 0);
  EXPECT_EQ((pkt->data[0] - 1) / 20, 7);
  av_packet_free(&pkt);
}

TEST_F(UnicodeProtocolFiles, ImageSequenceWrittenThroughTheProtocol) {
  // Every picture of the sequence is a separate file the muxer opens with io_open.
  const std::string url = Url("кадр_%03d.bmp");
  AVFormatContext* oc = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&oc, nullptr, "image2", url.c_str()), 0);
  InstallUnicodeIO(oc);
  AVStream* st = avformat_new_stream(oc, nullptr);
  st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  st->codecpar->codec_id = AV_CODEC_ID_BMP;
  st->codecpar->width = kW;
  st->codecpar->height = kH;
  st->time_base = AVRational{1, 10};
  ASSERT_GE(avformat_write_header(oc, nullptr), 0);
  AVPacket* pkt = av_packet_alloc();
  for (int i = 0; i < 3; ++i) {
    const std::string body = "picture " + std::to_string(i + 1);
    ASSERT_EQ(av_new_packet(pkt, static_cast<int>(body.size())), 0);
    memcpy(pkt->data, body.data(), body.size());
    pkt->pts = pkt->dts = i;
    pkt->stream_index = 0;
    pkt->flags |= AV_PKT_FLAG_KEY;
    ASSERT_EQ(av_write_frame(oc, pkt), 0);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  EXPECT_EQ(av_write_trailer(oc), 0);
  avformat_free_context(oc);
  for (int i = 1; i <= 3; ++i) {
    char name[64];
    snprintf(name, sizeof name, "кадр_%03d.bmp", i);
    EXPECT_EQ(ReadFile(Dir / name), "picture " + std::to_string(i)) << name;
  }
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
