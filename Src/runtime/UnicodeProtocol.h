#pragma once
// File names handed to FFmpeg, and the "unicode" protocol: "unicode:utf8:" + a UTF-8 name opens
// that file directly, whatever FFmpeg would make of the name. FFmpeg 5 cannot register
// protocols from outside, so the protocol is served through a format context's io_open /
// io_close2 callbacks and a custom AVIOContext.
//
// The 8-bit code page of image-sequence names is the system's, UTF-8, unless set otherwise
// (for file systems that keep names in a legacy character set). Every function returns its own
// string, so names may be converted from several threads at once.
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
}

inline constexpr const char* kUnicodePrefix = "unicode:utf8:";
// URL schemes that are left alone.
inline constexpr const char* kKnownProtocols = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";

// Kept for the loader's post-load step; always available here.
bool RegisterUnicodeProtocol();
bool UnicodeProtocolAvailable();

// iconv name of that code page; empty means UTF-8.
void SetFileNameCodePage(const std::string& charset);
std::string FileNameCodePage();

// Codec id of an image-sequence name (by its extension, case-insensitive), else 0.
int IsImageSequenceName(const std::string& name);
// False for names of a listed protocol ("udp:..."); else true when the name does not survive
// the trip to the system code page and back.
bool NeedsUnicodeProtocol(const std::string& name);
// The byte string handed to FFmpeg for a user's file name.
std::string FileNameToURL(const std::string& name);
// The URL that opens a user's input: an existing file is opened as itself, whatever ':' its
// name holds; any other name as FileNameToURL gives it, so an explicit protocol or an
// image-sequence pattern that names no existing file keeps its meaning.
std::string InputFileURL(const std::string& name);
// True when the name is an existing file with a '%' that an image demuxer would read as a
// sequence pattern (open it with the demuxer option pattern_type=none).
bool IsExistingFileWithPattern(const std::string& name);
// Back from such a byte string to the user's file name.
std::string URLToFileName(const std::string& url);
// True when the URL begins with "unicode:".
bool IsUnicodeURL(const char* url);

// Opens a URL for FFmpeg I/O: "unicode:" URLs through the protocol (flags AVIO_FLAG_READ,
// AVIO_FLAG_WRITE or both: read opens an existing file and never creates or truncates it;
// write creates or truncates, or with the option "truncate" 0 keeps what is there, as the file
// protocol does), anything else through avio_open2. A file that cannot be opened
// gives the system's reason as an FFmpeg code: -2 (AVERROR(ENOENT)) for a missing file,
// -13 when access is denied.
int UnicodeIOOpen(AVIOContext** pb, const char* url, int flags,
                  const AVIOInterruptCB* interruptCB = nullptr, AVDictionary** options = nullptr);
// Closes what UnicodeIOOpen opened (either kind) and clears *pb; returns 0 or an error code
// (a failed final write is reported).
int UnicodeIOClose(AVIOContext** pb);
// True for an AVIOContext of the protocol.
bool IsUnicodeIO(const AVIOContext* pb);

// Serve "unicode:" URLs for every file this context opens from now on: install before
// avformat_open_input on a context from avformat_alloc_context, or on an output context before
// opening its file with s->io_open(s, &s->pb, url, AVIO_FLAG_WRITE, &opts) and closing it with
// CloseFormatIO. Other URLs go to FFmpeg's own defaults.
// avformat_close_input closes the main input itself with avio_close, so that one file is
// handed to FFmpeg's file protocol by its plain name; every other file (image sequences,
// segments, an output's file) is served by the protocol itself.
void InstallUnicodeIO(AVFormatContext* s);
// Opens a user's file for reading as the readers beside the decoder do: a fresh context served by
// the protocol, an existing name with '%' taken as itself, timestamps generated as the decoder
// has them. Returns 0, or a negative FFmpeg code with *s left null.
int OpenUserInput(AVFormatContext** s, const std::string& name, const AVIOInterruptCB* interrupt = nullptr);
// Closes s->pb through the context's io_close2 and clears it (outputs).
int CloseFormatIO(AVFormatContext* s);
